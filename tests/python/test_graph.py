"""kevro.graph: the asset graph built from inspection records, folder names, and the job plan."""

from __future__ import annotations

import hashlib
import itertools
import json
import math
import os

import pytest

from common import REPO_ROOT, child_env
from kevro import graph
from kevro.graph import GraphError, build_graph, folder_name, list_table, plan, select

FILE = "/proj/pkg/m.py"


def rec(function, *, name=None, inputs=None, partitions=None, file=FILE, module="pkg.m"):
    """One inspection record; `inputs` maps parameters to function names in FILE (or to refs
    with a ":"), `partitions` maps dimensions to key lists."""
    metadata = {
        "kind": "asset",
        "name": name,
        "serializer": None,
        "inputs": None if inputs is None else {p: ref(f) for p, f in inputs.items()},
        "partitions": None
        if partitions is None
        else {d: {"kind": "inline", "values_json": json.dumps(k)} for d, k in partitions.items()},
    }
    return {"decorator_metadata": metadata, "file_path": file, "function_name": function,
            "function_source": "", "kind": "asset", "module_path": module, "module_source": "",
            "python_version": "3.9.16", "return_type": None}


def ref(function):
    return function if ":" in function else f"{FILE}:{function}"


def planned(*records, out="out"):
    return plan(build_graph(records, cwd="/proj"), out)


def job_of(p, label):
    return next(job for job in p.jobs if job.label == label)


def kwargs_by_label(p, label):
    return p.kwargs(job_of(p, label), lambda i: p.jobs[i].label)


def test_diamond_is_ordered_upstream_first_with_ties_by_name():
    records = [rec("d", inputs={"l": "b", "r": "c"}), rec("c", name="c1", inputs={"x": "a"}),
               rec("b", name="c2", inputs={"x": "a"}), rec("a", name="z")]
    assets = build_graph(records, cwd="/proj")
    assert [a.name for a in assets] == ["z", "c1", "c2", "pkg/m.py:d"]
    assert build_graph(records[::-1], cwd="/proj") == assets
    p = plan(assets, "out")
    assert [job.upstream for job in p.jobs] == [(), (0,), (0,), (1, 2)]
    assert kwargs_by_label(p, "pkg/m.py:d") == {"l": "c2", "r": "c1"}
    assert p.jobs[3].out_dir == os.path.join("out", "pkg%2Fm.py:d")


KEY_TEXTS = [("d1", "d1"), (7, "7"), (1.5, "1.5"), (True, "true"), (None, "null"),
             ([1, "a"], '[1,"a"]'), ({"b": 1, "a": "é"}, '{"a":"é","b":1}')]


def test_gathered_dimension_becomes_a_dict_keyed_by_key_text():
    keys = [key for key, _ in KEY_TEXTS]
    p = planned(rec("up", partitions={"k": keys}), rec("down", inputs={"x": "up"}))
    down = p.jobs[-1]
    assert down.upstream == tuple(range(len(keys)))
    got = p.kwargs(down, lambda i: p.jobs[i].partition_keys["k"])
    assert got == {"x": {text: key for key, text in KEY_TEXTS}}
    assert list(got["x"]) == [text for _, text in KEY_TEXTS]
    assert [job.label for job in p.jobs[:2]] == ["pkg/m.py:up[k=d1]", "pkg/m.py:up[k=7]"]


def test_two_gathered_dimensions_nest_in_name_order():
    p = planned(rec("cube", partitions={"y": ["a", "b", "c"], "x": [2, 1]}),
                rec("total", inputs={"cube": "cube"}))
    got = kwargs_by_label(p, "pkg/m.py:total")
    assert got == {"cube": {
        x: {y: f"pkg/m.py:cube[x={x},y={y}]" for y in "abc"} for x in ("2", "1")}}
    assert p.jobs[-1].upstream == tuple(range(6))


def test_shared_gathered_and_downstream_only_dimensions_together():
    p = planned(rec("up", partitions={"day": ["d1", "d2", "d3"], "kind": ["a", "b"]}),
                rec("down", inputs={"up": "up"},
                    partitions={"day": ["d3", "d1"], "region": ["eu", "us"]}))
    for day, region in itertools.product(["d3", "d1"], ["eu", "us"]):
        got = kwargs_by_label(p, f"pkg/m.py:down[day={day},region={region}]")
        assert got == {"up": {k: f"pkg/m.py:up[day={day},kind={k}]" for k in "ab"},
                       "day": day, "region": region}
    assert [j.label for j in p.jobs[6:]] == [
        "pkg/m.py:down[day=d3,region=eu]", "pkg/m.py:down[day=d3,region=us]",
        "pkg/m.py:down[day=d1,region=eu]", "pkg/m.py:down[day=d1,region=us]"]


def test_partition_keys_are_passed_with_their_json_types():
    p = planned(rec("src"), rec("by", inputs={"s": "src"}, partitions={"n": [3, None]}))
    assert kwargs_by_label(p, "pkg/m.py:by[n=null]") == {"s": "pkg/m.py:src", "n": None}
    assert p.jobs[1].partition_keys == {"n": 3} and p.jobs[1].upstream == (0,)


@pytest.mark.parametrize("keys, count", [
    (["a", "b", "a"], 2), ([1, 1.0, True, 1], 3), ([[1], [1], {}], 2)])
def test_duplicate_keys_run_once(keys, count):
    (asset,) = build_graph([rec("a", partitions={"k": keys})], cwd="/")
    assert len(asset.dimensions[0][1]) == count
    assert len(plan([asset], "out").jobs) == count


def brute_upstream(assets):
    """Every upstream job whose keys agree with the job's on the dimensions that both declare."""
    jobs, result = {}, []
    for asset in assets:
        dims = [d for d, _ in asset.dimensions]
        mine = []
        for combo in itertools.product(*[keys for _, keys in asset.dimensions]):
            keys = dict(zip(dims, combo))
            found = {i for _, up in asset.inputs for i, k in jobs[up]
                     if all(keys.get(d, v) == v for d, v in k.items())}
            mine.append((len(result), keys))
            result.append(tuple(sorted(found)))
        jobs[asset.ref] = mine
    return result


@pytest.mark.parametrize("shape", [
    [("a", {"p": [1, 2, 3]}, []), ("b", {"p": [3, 1], "q": ["x", "y"]}, ["a"]), ("c", {}, ["b", "a"])],
    [("a", {"x": [0, 1], "y": [0, 1, 2], "z": [0, 1]}, []), ("b", {"y": [2, 0]}, ["a"]),
     ("c", {"z": [1, 0], "w": [5, 6]}, ["a", "b"]), ("d", {"y": [0], "z": [0, 1]}, ["c", "a"])],
])
def test_upstream_jobs_match_a_brute_force_search(shape):
    records = [rec(n, partitions=dims or None, inputs={f"i{k}": u for k, u in enumerate(ups)} or None)
               for n, dims, ups in shape]
    p = planned(*records)
    assert [job.upstream for job in p.jobs] == brute_upstream(p.assets)
    assert all(u < job.index for job in p.jobs for u in job.upstream)
    assert [job.index for job in p.jobs] == list(range(len(p.jobs)))


CYCLE = "assets form a cycle of inputs: {} (each is an input of the next)"


@pytest.mark.parametrize("records, message", [
    ([rec("a", inputs={"x": "b"}), rec("b", inputs={"x": "a"}), rec("c", inputs={"x": "a"})],
     CYCLE.format("'pkg/m.py:a' -> 'pkg/m.py:b' -> 'pkg/m.py:a'")),
    ([rec("a", name="n1", inputs={"x": "c"}), rec("b", name="n2", inputs={"x": "a"}),
      rec("c", name="n0", inputs={"x": "b"}), rec("d", name="a", inputs={"x": "c"})],
     CYCLE.format("'n0' -> 'n1' -> 'n2' -> 'n0'")),
    ([rec("a", inputs={"me": "a"})], CYCLE.format("'pkg/m.py:a' -> 'pkg/m.py:a'")),
    ([rec("a", inputs={"up": "/elsewhere.py:gone"})],
     "asset 'pkg/m.py:a' input 'up' names '/elsewhere.py:gone', which is not a discovered asset; "
     "is the module that defines it among the modules listed?"),
    ([rec("a", name="same"), rec("b", name="same")],
     "assets '/proj/pkg/m.py:a' and '/proj/pkg/m.py:b' have the same display name 'same'"),
    ([rec("a", name="pkg/m.py:b"), rec("b")],
     "assets '/proj/pkg/m.py:a' and '/proj/pkg/m.py:b' have the same display name 'pkg/m.py:b'"),
    ([rec("src"), rec("a", inputs={"day": "src"}, partitions={"day": [1]})],
     "asset 'pkg/m.py:a' input 'day' has the name of one of its partition dimensions; "
     "the dimension's key is passed under that name"),
    ([rec("a", partitions={"day": []})],
     "asset 'pkg/m.py:a' partition dimension 'day' has no partition keys"),
    ([rec("a", name="")], "asset '/proj/pkg/m.py:a' has an empty name"),
])
def test_graph_errors(records, message):
    with pytest.raises(GraphError) as excinfo:
        build_graph(records, cwd="/proj")
    assert str(excinfo.value) == message


def broken(change):
    record = rec("a", partitions={"d": [1]})
    change(record)
    return record


@pytest.mark.parametrize("record, message", [
    (broken(lambda r: r.update(decorator_metadata=["odd"])),
     "asset '/proj/pkg/m.py:a' (module 'pkg.m') has metadata that is not a dict: ['odd']"),
    (broken(lambda r: r["decorator_metadata"]["partitions"]["d"].update(values_json="[1,")),
     "asset 'pkg/m.py:a' partition dimension 'd': cannot parse its keys '[1,'"),
    (broken(lambda r: r["decorator_metadata"]["partitions"]["d"].update(values_json='{"a":1}')),
     "asset 'pkg/m.py:a' partition dimension 'd': its keys '{\"a\":1}' are not a list"),
    (broken(lambda r: r["decorator_metadata"]["partitions"]["d"].update(values_json="[NaN]")),
     "asset 'pkg/m.py:a' partition dimension 'd': cannot parse its keys '[NaN]'"),
    (broken(lambda r: r["decorator_metadata"]["partitions"].update(d={"kind": "dynamic"})),
     "asset 'pkg/m.py:a' partition dimension 'd' is not an inline list of keys: {'kind': 'dynamic'}"),
    (broken(lambda r: r.pop("file_path")), "inspection record 0 has no text 'file_path'"),
])
def test_malformed_records(record, message):
    with pytest.raises(GraphError) as excinfo:
        build_graph([record], cwd="/proj")
    assert str(excinfo.value).startswith(message)


@pytest.mark.parametrize("records, message", [
    ([rec("up", partitions={"day": ["d1"]}),
      rec("down", inputs={"u": "up"}, partitions={"day": ["d1", "d2"]})],
     "asset 'pkg/m.py:down' input 'u': its key \"d2\" of partition dimension 'day' is not a key of "
     "the upstream asset 'pkg/m.py:up'"),
    ([rec("up", partitions={"day": [1, "1"]})],
     "asset 'pkg/m.py:up' partition dimension 'day' has the keys 1 and \"1\", which share the text '1'"),
])
def test_plan_errors(records, message):
    assets = build_graph(records, cwd="/proj")
    with pytest.raises(GraphError) as excinfo:
        plan(assets, "out")
    assert str(excinfo.value) == message


def test_a_re_exported_asset_is_one_asset_of_its_first_module():
    records = [rec("a", module="pkg.m"), rec("a", module="pkg.reexports"), rec("b", inputs={"x": "a"})]
    assets = build_graph(records)
    assert [(a.function, a.module) for a in assets] == [("a", "pkg.m"), ("b", "pkg.m")]


@pytest.mark.parametrize("file, cwd, name", [
    ("/proj/pkg/m.py", "/proj", "pkg/m.py:f"),
    ("/proj/pkg/m.py", "/proj/", "pkg/m.py:f"),
    ("/proj/pkg/m.py", "/", "proj/pkg/m.py:f"),
    ("/project/m.py", "/proj", "/project/m.py:f"),
    ("/other/m.py", "/proj", "/other/m.py:f"),
])
def test_default_display_name(file, cwd, name):
    (asset,) = build_graph([rec("f", file=file)], cwd=cwd)
    assert (asset.name, asset.ref) == (name, f"{file}:f")


FOLDERS = [
    ("shop/daily_revenue", "shop%2Fdaily_revenue"), ("x/y", "x%2Fy"), ("x%2Fy", "x%252Fy"),
    ("..", "%2E."), (".", "%2E"), (".hidden", "%2Ehidden"), ("a\\b", "a%5Cb"),
    ("nul\x00", "nul%00"), ("tab\tnl\n", "tab%09nl%0A"), ("del\x7f\x85", "del%7F%C2%85"),
    ("runs.jsonl", "runs%2Ejsonl"), ("runs%2Ejsonl", "runs%252Ejsonl"),
    ("café: a b,c=d~", "café: a b,c=d~"),
]


@pytest.mark.parametrize("name, folder", FOLDERS)
def test_folder_names(name, folder):
    assert folder_name(name) == folder


def test_folders_are_distinct_real_directories(tmp_path):
    long_names = {"n" * 300: "n" * 300, "n" * 299 + "m": "n" * 299 + "m", "é" * 150: "é" * 150,
                  "/" * 120: "%2F" * 120}
    names = [name for name, _ in FOLDERS] + list(long_names)
    assets = build_graph([rec(f"f{i}", name=n) for i, n in enumerate(names)])
    for asset in assets:
        os.mkdir(tmp_path / asset.folder)
    assert sorted(os.listdir(tmp_path)) == sorted(a.folder for a in assets)
    assert len(assets) == len(names) and "runs.jsonl" not in os.listdir(tmp_path)
    for name, encoded in long_names.items():
        folder = folder_name(name)
        head, digest = folder.rsplit("~", 1)
        assert digest == hashlib.sha256(name.encode()).hexdigest()[:12]
        # The head is the longest whole-character, whole-escape prefix that fits.
        assert encoded.startswith(head) and 184 <= len(head.encode()) <= 187
    assert folder_name("/" * 120) == "%2F" * 62 + "~" + hashlib.sha256(b"/" * 120).hexdigest()[:12]


def test_partition_folders_are_one_to_one(tmp_path):
    p = planned(rec("a", partitions={"a": ["b,c=d", "b"], "c": ["d", "/", ".."]}),
                rec("long", partitions={"k": ["x" * 250, "x" * 249 + "y"]}), out=str(tmp_path))
    for job in p.jobs:
        os.makedirs(job.out_dir)
    assert len({job.out_dir for job in p.jobs}) == len(p.jobs) == 8
    assert [os.path.basename(j.out_dir) for j in p.jobs[:3]] == [
        "a=b%2Cc%3Dd,c=d", "a=b%2Cc%3Dd,c=%2F", "a=b%2Cc%3Dd,c=.."]
    assert all(len(os.path.basename(j.out_dir).encode()) <= 200 for j in p.jobs)
    assert os.path.dirname(p.jobs[0].out_dir) == str(tmp_path / "pkg%2Fm.py:a")


def test_select_pulls_in_upstream_in_graph_order():
    assets = build_graph([rec("a", name="a"), rec("b", name="b", inputs={"x": "a"}),
                          rec("c", name="c"), rec("d", name="d", inputs={"x": "b", "y": "c"})])
    assert [a.name for a in select(assets, ["b"])] == ["a", "b"]
    assert [a.name for a in select(assets, ["d", "a"])] == ["a", "b", "c", "d"]
    with pytest.raises(GraphError) as excinfo:
        select(assets, ["b", "nope"])
    assert str(excinfo.value) == "no asset is named 'nope'"
    with pytest.raises(GraphError) as excinfo:
        plan(assets[1:], "out")
    assert str(excinfo.value) == (
        "asset 'b' input 'x' names '/proj/pkg/m.py:a', which is not among the assets to plan")


def test_list_table():
    prices = rec("prices", name="prices", partitions={"day": [1, 2], "ccy": ["EUR", "USD", "GBP"]})
    assets = build_graph([prices, rec("report", inputs={"p": "prices", "q": "prices"})], cwd="/proj")
    assert list_table(assets).split("\n") == [
        "ASSET            FUNCTION      INPUTS                  PARTITIONS",
        "prices           pkg.m:prices  -                       ccy×day = 6",
        "pkg/m.py:report  pkg.m:report  p ← prices, q ← prices  -",
    ]
    assert list_table([]) == "ASSET  FUNCTION  INPUTS  PARTITIONS"


SHOP_MODULES = ["shop.catalog", "shop.orders", "shop.inventory", "shop.reports"]


def test_shop_example_plan():
    examples = REPO_ROOT / "examples"
    records = graph.discover(SHOP_MODULES, cwd=str(examples), env=child_env())
    expected = sum(math.prod(len(json.loads(declared["values_json"])) for declared in
                             (r["decorator_metadata"]["partitions"] or {}).values()) for r in records)
    p = plan(build_graph(records, cwd=str(examples)), "out")
    assert len(p.jobs) == expected and len(p.assets) == 12
    restock = [job for job in p.jobs if job.asset.function == "restock_plan"]
    assert len(restock) == 9
    for job in restock:
        keys = job.partition_keys
        assert sorted(p.jobs[u].label for u in job.upstream) == [
            f"shop/inventory.py:stock_levels[warehouse={keys['warehouse']}]",
            f"shop/orders.py:order_lines[day={keys['day']}]"]
    alerts = kwargs_by_label(p, "shop/inventory.py:low_stock_alerts")
    assert alerts == {"stock_levels": {w: f"shop/inventory.py:stock_levels[warehouse={w}]"
                                       for w in ["berlin", "lyon", "leeds"]}}
    revenue = kwargs_by_label(p, "shop/dashboard")["revenue"]
    assert list(revenue) == ["EUR", "USD", "GBP"]
    assert list(revenue["USD"]) == ["2024-03-01", "2024-03-02", "2024-03-03"]


def test_discover_forwards_warnings_and_reports_failures(tmp_path, capsys):
    (tmp_path / "tiny_assets.py").write_text(
        "from kevro import asset\n\n@asset(name='tiny')\ndef tiny() -> int:\n    return 1\n")
    (tmp_path / "tiny_broken.py").write_text("raise ImportError('not today')\n")
    records = graph.discover(["tiny_broken", "tiny_assets"], cwd=str(tmp_path), env=child_env())
    assert [(r["module_path"], r["decorator_metadata"]["name"]) for r in records] == [
        ("tiny_assets", "tiny")]
    assert capsys.readouterr().err == "kevro: skipping module 'tiny_broken': ImportError: not today\n"
    for modules, message in [
        (["tiny_assets", "sys"],
         "kevro.inspect: error: TypeError: <module 'sys' (built-in)> is a built-in module"),
        ([], "no modules to discover assets in"),
        (["--pretty"], "module name '--pretty' starts with '-'"),
    ]:
        with pytest.raises(GraphError) as excinfo:
            graph.discover(modules, cwd=str(tmp_path), env=child_env())
        assert str(excinfo.value) == message
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("key", [
    {}, {"b": "x", "a": "y"}, {"z": "1", "é": "2", "y": "3"}, {"a": 'q"'}, {"a": "\\"}, {"a": "é中"},
    {"a": "\x01"}, {"a": "\ud800"}, {"a": "\u00a0"}, {"\u2028": "x"}, {"a": 1}, {"a": {"b": "c"}}, "s", 1.5,
])
def test_job_texts_put_together_by_hand_equal_the_encoders(key):
    from kevro.common import canonical
    from kevro.ledger import json_text

    assert canonical(key) == json.dumps(key, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    assert json_text(key) == json.dumps(key, ensure_ascii=False)
