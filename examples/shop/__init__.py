"""A small shop: a product catalog, daily orders, warehouse stock and the reports built on them.

Discover its assets from the `examples` directory with

    python -m kevro.inspect shop.catalog shop.orders shop.inventory shop.reports --pretty
"""
