"""`python -m kevro report` and the report that `run` leaves: the page as headless Chromium
renders it (a screenshot and the DOM), names that need escaping, the list that stands in for
the graph, no Graphviz, and the size of the page for 1,000 assets."""

from __future__ import annotations

import json
import os
import re
import selectors
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib
from html.parser import HTMLParser
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

import pytest

from common import REPO_ROOT, child_env, kevro, write_project
from kevro import graph, report, runner, versions

needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz (Debian package graphviz) is not installed")
CHROMIUM = shutil.which("chromium")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium (Debian package chromium) is not installed")

EXAMPLE_MODULES = ["shop.catalog", "shop.orders", "shop.inventory", "shop.reports"]


# --- reading pages -------------------------------------------------------------------------------


class Page(HTMLParser):
    """The node and edge elements of a report, and every src and href."""

    def __init__(self, text: str) -> None:
        super().__init__()
        self.nodes: Dict[str, str] = {}
        self.edges: List[Tuple[str, str, str]] = []
        self.links: List[str] = []
        self.svg = False
        self.feed(text)

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, Optional[str]]]) -> None:
        a = dict(attrs)
        self.svg = self.svg or tag == "svg"
        self.links += [value or "" for name, value in attrs if name in ("src", "href", "xlink:href")]
        classes = (a.get("class") or "").split()
        if "node" in classes and tag in ("g", "li"):
            assert a["data-asset"] not in self.nodes, a
            self.nodes[a["data-asset"]] = a["data-state"]
        elif "edge" in classes and tag in ("g", "li"):
            self.edges.append((a["data-from"], a["data-param"], a["data-to"]))


def png_pixels(data: bytes) -> Tuple[int, int, List[bytes]]:
    """(width, height, one bytes object of RGB triples per row) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, [], b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = chunk
        elif kind == b"IDAT":
            idat.append(chunk)
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", header[:10])
    assert depth == 8 and colour in (2, 6), (depth, colour)
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(idat))
    stride = width * step
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                corner = previous[i - step] if i >= step else 0
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        previous = line
        rows.append(bytes(line) if step == 3 else bytes(b for i, b in enumerate(line) if i % 4 != 3))
    return width, height, rows


# Headless Chromium sometimes stays alive after it has written its output, so a page counts
# as rendered once the output is complete (the PNG's end chunk, the DOM's closing tag), and the
# browser is stopped then with every process it started. A browser that produced nothing gets
# one more try with a fresh profile.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-dev-shm-usage",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-extensions", "--disable-breakpad", "--no-default-browser-check"]


# The browser is no part of what a test run checks: it gets no preloaded sanitizer runtime
# (under which it never finishes a page) and none of the sanitizers' settings.
BROWSER_ENV = {name: value for name, value in os.environ.items()
               if name != "LD_PRELOAD" and not name.endswith("SAN_OPTIONS")}


def chromium(mode: List[str], url: str, scratch: Path, complete: Callable[[bytes], bool]) -> bytes:
    """Standard output of Chromium in `mode` on `url`, once `complete(output)` holds."""
    for attempt in range(2):
        profile = scratch / f"profile-{mode[0].lstrip('-').split('=')[0]}-{attempt}"
        with subprocess.Popen([CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *mode, url],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=BROWSER_ENV,
                              start_new_session=True) as child:
            out, deadline = b"", time.monotonic() + 60
            try:
                with selectors.DefaultSelector() as wait:
                    wait.register(child.stdout, selectors.EVENT_READ)
                    while not complete(out) and time.monotonic() < deadline:
                        if wait.select(timeout=0.1):
                            chunk = os.read(child.stdout.fileno(), 1 << 16)
                            out += chunk
                            if not chunk and child.poll() is not None:
                                break
            finally:
                try:
                    os.killpg(child.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if complete(out):
            return out
    raise AssertionError(f"Chromium {mode} on {url} gave no complete output twice "
                         f"(exit status {child.returncode}): {out[-300:]!r}")


def browse(page: Path, scratch: Path) -> Tuple[bytes, str]:
    """(screenshot PNG, DOM after the page's script ran) of `page` in headless Chromium."""
    shot, url = scratch / "shot.png", page.resolve().as_uri()

    def png_written(_: bytes) -> bool:
        return shot.exists() and shot.read_bytes()[-12:-4] == b"\0\0\0\0IEND"

    chromium([f"--screenshot={shot}", "--window-size=1200,800"], url, scratch, png_written)
    dom = chromium(["--dump-dom"], url, scratch, lambda out: b"</html>" in out)
    return shot.read_bytes(), dom.decode("utf-8")


def colour_count(png: bytes, wanted: str) -> Tuple[int, int, float]:
    """(distinct colours, pixels of the colour `wanted` (#rrggbb), share of pixels that are not
    the commonest colour) of a screenshot."""
    width, height, rows = png_pixels(png)
    target = bytes.fromhex(wanted[1:])
    counts: Dict[bytes, int] = {}
    for row in rows:
        for x in range(0, len(row), 3):
            pixel = row[x:x + 3]
            counts[pixel] = counts.get(pixel, 0) + 1
    background = max(counts.values())
    return len(counts), counts.get(target, 0), 1 - background / (width * height)


def svg_of(page: str) -> str:
    return page[page.index("<svg"):page.index("</svg>")]


def ledger_run_id(out: Path) -> str:
    return json.loads((out / "runs.jsonl").read_text(encoding="utf-8").splitlines()[-1])["run_id"]


# --- in the browser ------------------------------------------------------------------------------


@needs_dot
@needs_chromium
def test_example_report_in_chromium(tmp_path):
    out = tmp_path / "out"
    done = kevro(REPO_ROOT / "examples", "run", *EXAMPLE_MODULES, "--out", str(out), "--jobs", "2")
    assert done.returncode == 0, done.stderr
    page = out / "report.html"
    assert f"report: {page}\n" in done.stdout
    png, dom = browse(page, tmp_path)
    colours, green, busy = colour_count(png, report.COLOURS["ok"][0])
    assert colours > 50 and busy > 0.05 and green > 1000, (colours, green, busy)

    shown = Page(dom)
    examples = str(REPO_ROOT / "examples")
    assets = graph.build_graph(graph.discover(EXAMPLE_MODULES, cwd=examples), cwd=examples)
    names = {a.ref: a.name for a in assets}
    assert shown.svg and shown.nodes == {a.name: "ok" for a in assets}
    assert sorted(shown.edges) == sorted((names[ref], param, a.name) for a in assets for param, ref in a.inputs)
    assert shown.links == []

    # A rerun with nothing to do: the same picture (last durations are those of the jobs that
    # ran), the last run's jobs all counted.
    first = page.read_text(encoding="utf-8")
    done = kevro(REPO_ROOT / "examples", "run", *EXAMPLE_MODULES, "--out", str(out))
    assert done.returncode == 0 and "36 jobs: 0 ok, 0 failed, 0 skipped, 36 up to date" in done.stdout
    again = page.read_text(encoding="utf-8")
    assert svg_of(again) == svg_of(first) and svg_of(first).count('data-state="ok"') == len(assets)
    assert f"last run <code>{ledger_run_id(out)}</code>: 36 jobs" in again


FAILING = """
from kevro import asset, partitions

@asset(name="base")
def base():
    return 1

@asset(name="broken", inputs={"x": base})
def broken(x):
    print("about to fail")
    raise ValueError("no such <thing> & more")

@asset(name="after", inputs={"value": broken, "base": base})
def after(value, base):
    return value

@asset(name="fine", partitions={"k": partitions([1, 2])})
def fine(k):
    return k

@asset(name="later", inputs={"fine": fine})
def later(fine):
    return fine
"""


@needs_dot
@needs_chromium
def test_states_after_a_failed_run_in_chromium(tmp_path):
    project = write_project(tmp_path / "project", {"m": FAILING})
    done = kevro(project, "run", "pkg.m", "--select", "after", "fine")
    assert done.returncode == 1, done.stderr
    assert "report: kevro-out/report.html\n" in done.stdout
    # fine's code changes after the run: it is stale; later was never selected.
    source = project / "pkg" / "m.py"
    source.write_text(source.read_text().replace("return k\n", "return [k]\n"))
    done = kevro(project, "report", "pkg.m", "-o", "page.html")
    assert done.returncode == 0, done.stderr
    page = project / "page.html"
    text = page.read_text(encoding="utf-8")
    assert '<div class="error">ValueError: no such &lt;thing&gt; &amp; more</div>' in text
    assert f"last run <code>{ledger_run_id(project / 'kevro-out')}</code>: 5 jobs" in text

    png, dom = browse(page, tmp_path)
    assert colour_count(png, report.COLOURS["failed"][0])[1] > 500
    shown = Page(dom)
    assert shown.nodes == {"base": "ok", "broken": "failed", "after": "skipped", "fine": "stale", "later": "never-run"}
    assert sorted(shown.edges) == [("base", "base", "after"), ("base", "x", "broken"), ("broken", "value", "after"),
                                   ("fine", "fine", "later")]
    # The failed asset's details are open at first, its traceback folded.
    assert '<section class="asset" id="asset-1" data-index="1" data-asset="broken" data-state="failed">' in dom
    folded = re.search(r"<details><summary>traceback from job.log</summary><pre>(.*?)</pre></details>", dom, re.S)
    assert folded and folded.group(1).startswith("Traceback (most recent call last):"), dom
    assert ", in broken\n" in folded.group(1) and "ValueError: no such &lt;thing&gt; &amp; more" in folded.group(1)


# --- without a browser ---------------------------------------------------------------------------

ODD = ["bad\udcff", 'a<b>&amp;"c\'', "back\\slash \\n \\l", "new\nline\ttab", "ctl\x01\x7f", "ünï 📈", "&#45;"]


def odd_plan(out: str, count: int = len(ODD), name=lambda i: ODD[i], width: int = 2) -> graph.Plan:
    """Assets named `name(i)` in layers of `width`, each reading one or two assets of the layer
    above through parameters whose names need escaping as well, and partitioned over three
    keys."""
    assets = []
    for i in range(count):
        inputs = tuple(sorted({(f"in{j}<&>", f"f.py:a{j}") for j in {i - width, i - width + i % 2} if 0 <= j}))
        assets.append(graph.Asset(f"f.py:a{i}", name(i), "m", f"a{i}", inputs,
                                  (("day", ("d1", "d2", "d3")),), f"folder{i}"))
    return graph.plan(assets, out)


def page_of(plan: graph.Plan, out: str) -> Tuple[str, Optional[str]]:
    codes = {asset.ref: versions.CodeVersion("v", {}) for asset in plan.assets}
    return report.build(plan, out, runner.status(plan, out, stored={}, codes=codes), modules=["m"])


@needs_dot
@pytest.mark.parametrize("limit", [report.MAX_DOT_ASSETS, 3])
def test_names_are_escaped_in_the_graph_and_in_the_list(tmp_path, monkeypatch, limit):
    monkeypatch.setattr(report, "MAX_DOT_ASSETS", limit)
    plan = odd_plan(str(tmp_path))
    text, fallback = page_of(plan, str(tmp_path))
    shown = Page(text)
    assert shown.svg == (fallback is None) == (limit > len(ODD))
    assert shown.nodes == {report.clean(name): "never-run" for name in ODD}
    names = {a.ref: report.clean(a.name) for a in plan.assets}
    assert sorted(shown.edges) == sorted((names[r], p, report.clean(a.name)) for a in plan.assets for p, r in a.inputs)
    if fallback:
        assert "more than kevro has Graphviz lay out" in text


def test_without_graphviz(tmp_path):
    project = write_project(tmp_path, {"m": FAILING})
    env = child_env()
    env["PATH"] = str(tmp_path / "nothing")  # no dot, and nothing else either
    run = [sys.executable, "-m", "kevro"]
    done = subprocess.run(run + ["report", "pkg.m"], cwd=project, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert "Debian package graphviz" in done.stderr and done.stdout == ""
    # A run still ends as its jobs did, with a page that lists the assets.
    done = subprocess.run(run + ["run", "pkg.m"], cwd=project, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "report: kevro-out/report.html\n" in done.stdout
    assert "Debian package graphviz" in done.stderr
    shown = Page((project / "kevro-out" / "report.html").read_text(encoding="utf-8"))
    assert not shown.svg and shown.nodes["broken"] == "failed" and len(shown.edges) == 4


@needs_dot
def test_a_thousand_assets_make_a_page_under_5_mb(tmp_path):
    plan = odd_plan(str(tmp_path), 1000, lambda i: f"warehouse/region_{i % 17}/daily_metric_number_{i}", 40)
    text, fallback = page_of(plan, str(tmp_path))
    assert fallback is None and "edges are not labelled" not in text
    shown = Page(text)
    assert len(shown.nodes) == 1000 and len(shown.edges) == sum(len(a.inputs) for a in plan.assets)
    assert len(text.encode("utf-8")) < 5_000_000


def test_history_read_on_from_where_it_stopped(tmp_path):
    """A run reads the ledger while discovery runs and the rest after its jobs: that must find
    what one read of the whole file finds, a line torn at the first read included."""
    from kevro import ledger

    path = tmp_path / "runs.jsonl"

    def line(run: str, asset: str, ok: bool, at: str) -> str:
        return json.dumps({"run_id": run, "asset": asset, "partition": {}, "ok": ok, "skipped": False,
                           "state": "ok" if ok else "failed", "started_at": at, "ended_at": at})

    first = line("r1", "a", False, "2026-01-01T00:00:01.000Z") + "\n" + line("r1", "b", True, "2026-01-01T00:00:02.000Z")
    path.write_text(first + "\n" + line("r2", "a", True, "2026-01-01T00:00:04.000Z")[:30])
    earlier = ledger.read_history(str(path))
    assert (earlier.run_id, earlier.run_jobs) == ("r1", 2)
    with open(path, "a") as handle:
        handle.write(line("r2", "a", True, "2026-01-01T00:00:04.000Z")[30:] + "\n"
                     + line("r2", "b", True, "2026-01-01T00:00:03.000Z") + "\n")
    on, whole = ledger.read_history(str(path), earlier), ledger.read_history(str(path))
    assert on == whole
    assert (on.run_id, on.run_jobs, on.run_started, on.run_ended, on.unreadable) == (
        "r2", 2, "2026-01-01T00:00:03.000Z", "2026-01-01T00:00:04.000Z", 0)
    assert on.ran[ledger.job_key("a", {})]["ok"] is True
    path.write_text(first + "\n")  # shorter than what was read: read again from the start
    assert ledger.read_history(str(path), on) == ledger.read_history(str(path))
