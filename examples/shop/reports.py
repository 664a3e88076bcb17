"""Reports for the people who run the shop."""

from typing import Dict, List

from kevro import asset

from shop import catalog, inventory, orders


def _every_day(order_lines: Dict[str, list]) -> List[dict]:
    """The rows of every day: an unpartitioned asset receives the order lines of a partitioned
    one gathered into a dict from day to that day's value."""
    return [row for day in sorted(order_lines) for row in order_lines[day]]


@asset(inputs={"order_lines": orders.order_lines})
def top_products(order_lines: Dict[str, list]) -> List[dict]:
    """The three SKUs sold most often over all days, by units."""
    units: Dict[str, int] = {}
    for row in _every_day(order_lines):
        units[row["sku"]] = units.get(row["sku"], 0) + row["quantity"]
    ranked = sorted(units.items(), key=lambda item: (-item[1], item[0]))
    return [{"sku": sku, "units": n} for sku, n in ranked[:3]]


@asset(inputs={"order_lines": orders.order_lines, "categories": catalog.categories})
def category_mix(order_lines: Dict[str, list], categories: dict) -> Dict[str, float]:
    """Share of units sold by category over all days, in percent."""
    of_sku = {sku: name for name, skus in categories.items() for sku in skus}
    units: Dict[str, int] = {}
    for row in _every_day(order_lines):
        name = of_sku.get(row["sku"], "other")
        units[name] = units.get(name, 0) + row["quantity"]
    total = sum(units.values()) or 1
    return {name: round(100.0 * n / total, 1) for name, n in sorted(units.items())}


@asset(
    name="shop/dashboard",
    inputs={
        "revenue": orders.daily_revenue,
        "top": top_products,
        "mix": category_mix,
        "alerts": inventory.low_stock_alerts,
    },
)
def dashboard(revenue: Dict[str, Dict[str, float]], top: list, mix: dict, alerts: list) -> dict:
    """Everything on one page. The revenue arrives gathered over both of its dimensions, by
    currency and then by day; the page shows each currency's total."""
    totals = {currency: round(sum(by_day.values()), 2) for currency, by_day in sorted(revenue.items())}
    return {"revenue": totals, "top_products": top, "category_mix": mix, "low_stock": alerts}
