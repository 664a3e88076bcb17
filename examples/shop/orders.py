"""Orders as they arrive each day, and the revenue they bring in every currency."""

from kevro import asset, partitions

from shop import catalog

DAYS = partitions(["2024-03-01", "2024-03-02", "2024-03-03"])


@asset(partitions={"day": DAYS})
def raw_orders(day: str) -> list:
    """The day's orders as the web shop exports them: one row per order and SKU."""
    seed = int(day[-2:])
    skus = ["TEA-01", "TEA-02", "COF-01", "COF-02", "CUP-01"]
    return [
        {"order": f"{day}-{n:03d}", "sku": skus[(n * seed) % len(skus)], "quantity": 1 + (n + seed) % 3}
        for n in range(1, 7)
    ]


@asset(inputs={"raw_orders": raw_orders, "products": catalog.products}, partitions={"day": DAYS})
def order_lines(raw_orders: list, products: list, day: str) -> list:
    """Orders joined with the catalog; rows for unknown SKUs are dropped."""
    known = {p["sku"]: p for p in products}
    return [
        {**row, "day": day, "category": known[row["sku"]]["category"]}
        for row in raw_orders
        if row["sku"] in known
    ]


@asset(
    name="shop/daily_revenue",
    inputs={"order_lines": order_lines, "price_list": catalog.price_list},
    partitions={"day": DAYS, "currency": catalog.CURRENCIES},
)
def daily_revenue(order_lines: list, price_list: dict, day: str, currency: str) -> float:
    """Revenue of one day in one currency."""
    total = sum(price_list[row["sku"]] * row["quantity"] for row in order_lines)
    return round(total, 2)
