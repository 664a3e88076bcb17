"""The product catalog and its price lists, one per currency."""

from kevro import asset, partitions

CURRENCIES = partitions(["EUR", "USD", "GBP"])

# Exchange rates against the catalog's base currency, the euro.
RATES = {"EUR": 1.0, "USD": 1.08, "GBP": 0.86}


@asset(name="shop/products")
def products() -> list:
    """Every product on sale, with its base price in euros."""
    return [
        {"sku": "TEA-01", "name": "Sencha", "category": "tea", "price_eur": 7.5},
        {"sku": "TEA-02", "name": "Assam", "category": "tea", "price_eur": 6.0},
        {"sku": "COF-01", "name": "Espresso beans", "category": "coffee", "price_eur": 11.9},
        {"sku": "COF-02", "name": "Filter roast", "category": "coffee", "price_eur": 9.4},
        {"sku": "CUP-01", "name": "Stoneware cup", "category": "tableware", "price_eur": 14.0},
    ]


@asset(inputs={"products": products}, partitions={"currency": CURRENCIES})
def price_list(products: list, currency: str) -> "dict[str, float]":
    """Unit prices by SKU in one currency, rounded to cents."""
    rate = RATES[currency]
    return {p["sku"]: round(p["price_eur"] * rate, 2) for p in products}


@asset(inputs={"products": products})
def categories(products: list) -> "dict[str, list[str]]":
    """SKUs grouped by category, each group sorted."""
    groups: dict = {}
    for product in products:
        groups.setdefault(product["category"], []).append(product["sku"])
    return {name: sorted(skus) for name, skus in sorted(groups.items())}
