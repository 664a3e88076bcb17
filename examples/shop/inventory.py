"""Warehouse stock and what to reorder."""

from kevro import asset, partitions

from shop import orders

WAREHOUSES = partitions(["berlin", "lyon", "leeds"])

REORDER_BELOW = 20


@asset(partitions={"warehouse": WAREHOUSES})
def stock_levels(warehouse: str) -> "dict[str, int]":
    """Units on the shelf by SKU, as counted at the start of the day."""
    base = {"berlin": 40, "lyon": 25, "leeds": 12}[warehouse]
    skus = ["TEA-01", "TEA-02", "COF-01", "COF-02", "CUP-01"]
    return {sku: base + 7 * i for i, sku in enumerate(skus)}


if True:  # noqa: SIM108 - kept in a block to show that indented assets are found as well

    @asset(
        inputs={"stock_levels": stock_levels, "order_lines": orders.order_lines},
        partitions={"warehouse": WAREHOUSES, "day": orders.DAYS},
    )
    def restock_plan(stock_levels: dict, order_lines: list, warehouse: str, day: str) -> list:
        """Units to order per SKU so that the shelf stays above the reorder level."""
        sold: dict = {}
        for row in order_lines:
            sold[row["sku"]] = sold.get(row["sku"], 0) + row["quantity"]
        plan = []
        for sku, units in sorted(stock_levels.items()):
            left = units - sold.get(sku, 0)
            if left < REORDER_BELOW:
                plan.append({"sku": sku, "order": REORDER_BELOW * 2 - left, "warehouse": warehouse, "day": day})
        return plan


@asset(inputs={"stock_levels": stock_levels})
def low_stock_alerts(stock_levels: "dict[str, dict[str, int]]") -> "list[str]":
    """One "warehouse/SKU" text for every shelf already below the reorder level before any sale; the
    stock levels of all warehouses arrive as one dict from warehouse to that warehouse's value."""
    return sorted(
        f"{warehouse}/{sku}"
        for warehouse, levels in stock_levels.items()
        for sku, units in levels.items()
        if units < REORDER_BELOW
    )
