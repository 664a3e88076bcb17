"""`python -m kevro.inspect`: the report on stdout, warnings and errors on stderr, exit codes."""

from __future__ import annotations

import importlib
import json
from pathlib import Path

import pytest

import _kevro
from common import run_module, run_python

import kevro.inspect as cli

SHOP = """\
from kfake import fake_asset

@fake_asset({"kind": "asset", "name": "caf\\u00e9 orders", "partitions": {"day": [1, 2]}})
def orders() -> int:
    return 1

@fake_asset()
def totals(orders) -> "dict[str, float]":
    '''Sums per caf\u00e9.'''
    return {}
"""


@pytest.fixture
def shop(mods):
    return mods.write("cli_shop", SHOP), mods.root


def test_help():
    result = run_module("kevro.inspect", "--help")
    assert result.returncode == 0
    assert result.stdout.startswith("usage: python -m kevro.inspect [-h] [--pretty] MODULE [MODULE ...]\n")
    assert "--pretty" in result.stdout
    assert result.stderr == ""


def test_at_least_one_module_is_required():
    result = run_module("kevro.inspect")
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.splitlines()[-1] == (
        "python -m kevro.inspect: error: the following arguments are required: MODULE"
    )


def test_prints_the_report_and_one_line_feed(shop):
    name, root = shop
    result = run_module("kevro.inspect", name, "nosuch_cli_mod", cwd=root)
    assert result.returncode == 0, result.stderr
    assert result.stdout == _kevro.inspect_modules([name]) + "\n"
    assert result.stderr == (
        "kevro: skipping module 'nosuch_cli_mod': ModuleNotFoundError: No module named 'nosuch_cli_mod'\n"
    )


def test_what_modules_print_goes_to_stderr(mods):
    name = mods.write("cli_loud", 'import os\nprint("hello")\nos.write(1, b"raw\\n")\n' + SHOP)
    result = run_module("kevro.inspect", name, cwd=mods.root)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["assets"] and result.stdout.count("\n") == 1
    assert sorted(result.stderr.splitlines()) == ["hello", "raw"]


def test_pretty_is_the_same_report_indented(shop):
    name, root = shop
    result = run_module("kevro.inspect", "--pretty", name, cwd=root)
    assert result.returncode == 0, result.stderr
    compact = _kevro.inspect_modules([name])
    assert json.loads(result.stdout) == json.loads(compact)
    assert result.stdout == json.dumps(json.loads(compact), indent=2, ensure_ascii=False) + "\n"
    assert '\n  "assets": [\n    {\n      "decorator_metadata": {\n' in result.stdout
    assert "caf\u00e9 orders" in result.stdout


def test_report_is_utf8_whatever_the_locale(shop):
    name, root = shop
    result = run_python(
        """
        import subprocess, sys, os
        env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONIOENCODING="ascii")
        out = subprocess.run([sys.executable, "-m", "kevro.inspect", sys.argv[1]],
                             env=env, capture_output=True)
        sys.stdout.write(repr((out.returncode, out.stdout.decode("utf-8")[-3:], out.stderr)))
        """,
        name,
        cwd=root,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == repr((0, "]}\n", b""))


def test_a_failing_call_prints_one_line_and_exits_1(mods):
    bad = mods.write("cli_bad_first", "raise ValueError('skip me')\n")
    multi = mods.write(
        "cli_multiline",
        """\
        class Odd:
            @property
            def __kevro_metadata__(self):
                raise ValueError("line one\\nline two")


        odd = Odd()
        odd.__kevro_kind__ = "asset"
        """,
    )
    result = run_module("kevro.inspect", bad, multi, cwd=mods.root)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == (
        f"kevro: skipping module '{bad}': ValueError: skip me\n"
        "kevro.inspect: error: ValueError: line one line two\n"
    )

    result = run_module("kevro.inspect", "sys", cwd=mods.root)
    assert result.returncode == 1
    assert result.stderr == "kevro.inspect: error: TypeError: <module 'sys' (built-in)> is a built-in module\n"


def test_main_in_process(shop, capfd):
    name, _ = shop
    assert cli.main([name, "nosuch_in_process"]) == 0
    captured = capfd.readouterr()
    assert captured.out == _kevro.inspect_modules([name]) + "\n"
    assert captured.err == (
        "kevro: skipping module 'nosuch_in_process': ModuleNotFoundError: No module named 'nosuch_in_process'\n"
    )
    assert cli.main(["sys"]) == 1
    assert capfd.readouterr().err.startswith("kevro.inspect: error: TypeError: ")


def test_the_package_module_does_not_shadow_the_standard_inspect(shop):
    name, root = shop
    result = run_python(
        """
        import kevro.inspect
        import inspect
        import _kevro
        assert inspect is not kevro.inspect
        assert inspect.__name__ == "inspect" and hasattr(inspect, "getsource")
        assert inspect.getsourcefile(inspect) != kevro.inspect.__file__
        import sys
        print(len(_kevro.inspect_modules([sys.argv[1]])) > 0)
        """,
        name,
        cwd=root,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"
    stdlib_inspect = importlib.import_module("inspect")
    assert stdlib_inspect is not cli
    assert cli.__name__ == "kevro.inspect"


EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SHOP_MODULES = ["shop.catalog", "shop.orders", "shop.inventory", "shop.reports"]


@pytest.mark.skipif(not hasattr(_kevro, "asset"), reason="the asset decorator is not built")
def test_the_example_shop_is_discovered():
    result = run_module("kevro.inspect", *SHOP_MODULES, cwd=EXAMPLES)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    found = {
        (r["module_path"], r["function_name"]): r for r in json.loads(result.stdout)["assets"]
    }
    assert len(found) == 12 == len(json.loads(result.stdout)["assets"])
    dims = {key: sorted(r["decorator_metadata"]["partitions"] or {}) for key, r in found.items()}
    assert dims[("shop.orders", "daily_revenue")] == ["currency", "day"]
    assert dims[("shop.inventory", "restock_plan")] == ["day", "warehouse"]
    assert dims[("shop.catalog", "price_list")] == ["currency"]
    dashboard = found[("shop.reports", "dashboard")]
    assert dashboard["decorator_metadata"]["name"] == "shop/dashboard"
    assert dashboard["decorator_metadata"]["inputs"]["revenue"] == (
        str((EXAMPLES / "shop" / "orders.py").resolve()) + ":daily_revenue"
    )
    assert found[("shop.catalog", "categories")]["return_type"] == "dict[str, list[str]]"
    assert found[("shop.inventory", "restock_plan")]["function_source"].startswith("@asset(\n")


@pytest.mark.skipif(not hasattr(_kevro, "asset"), reason="the asset decorator is not built")
def test_the_example_shop_runs_from_end_to_end():
    # Upstream values handed on by hand, as `kevro run` would: a shared dimension passes the
    # value of the same key, a dimension the downstream asset lacks is gathered into a dict.
    result = run_python(
        """
        from shop import catalog, inventory, orders, reports
        products = catalog.products()
        prices = catalog.price_list(products, currency="USD")
        lines = orders.order_lines(orders.raw_orders(day="2024-03-02"), products, day="2024-03-02")
        revenue = orders.daily_revenue(lines, prices, day="2024-03-02", currency="USD")
        stock = inventory.stock_levels(warehouse="leeds")
        plan = inventory.restock_plan(stock, lines, warehouse="leeds", day="2024-03-02")
        board = reports.dashboard(
            revenue={"USD": {"2024-03-02": revenue}},
            top=reports.top_products({"2024-03-02": lines}),
            mix=reports.category_mix({"2024-03-02": lines}, catalog.categories(products)),
            alerts=inventory.low_stock_alerts({"leeds": stock}),
        )
        print(sorted(board), board["low_stock"], len(plan) > 0, round(sum(board["category_mix"].values())))
        """,
        cwd=EXAMPLES,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "['category_mix', 'low_stock', 'revenue', 'top_products'] ['leeds/TEA-01', 'leeds/TEA-02'] True 100\n"
    )
