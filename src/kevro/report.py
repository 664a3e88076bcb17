"""``python -m kevro report``: one self-contained HTML page of the asset graph and its state.

The graph is laid out by Graphviz (``dot -Tsvg``, top to bottom) and embedded as SVG; styles,
script and SVG are inline, so the page needs no network. Each asset is a node with its display
name, partition count and last duration, coloured by its state; each input is an edge labelled
with its parameter. The node and edge elements carry what they stand for in attributes
(``data-asset``, ``data-state``, ``data-from``, ``data-to``, ``data-param``) so that a program
can read the page too. Below a size where dot becomes slow, or when it takes too long, the page
says so and lists the assets instead.

An asset's state comes from its jobs, each judged the way `kevro status` judges it
(kevro.versions) together with the run ledger: up to date is "ok"; a last run that failed
(result.json or the ledger says so) is "failed"; a job the ledger last shows as skipped is
"skipped"; a job never materialized and absent from the ledger is "never-run"; any other job
that a run would run is "stale". An asset takes the first of failed, skipped, stale that one of
its jobs has, "never-run" when all of its jobs have never run, and "ok" when all are.
"""

from __future__ import annotations

import hashlib
import html
import json
import os
import re
import shutil
import subprocess
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from kevro import runner, versions
from kevro.common import FAILED, LEDGER_FILE, LOG_FILE, OK, SKIPPED, write_atomically
from kevro.ledger import History, entry_status, first_line, format_duration, job_key, partition_text, read_history

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Asset, Job, Plan

REPORT_FILE = "report.html"
# The laid-out graph of the last report, reused while the graph and its states are unchanged.
GRAPH_CACHE_FILE = ".kevro-graph.json"
GRAPH_FORMAT = "kevro-graph-1"

STALE = "stale"
NEVER_RUN = "never-run"
STATES = (OK, FAILED, SKIPPED, STALE, NEVER_RUN)
STATE_TEXT = {OK: "ok, up to date", FAILED: "failed", SKIPPED: "skipped", STALE: "stale: will run",
              NEVER_RUN: "never run"}
# (fill, outline) of each state.
COLOURS = {OK: ("#cdeccf", "#2e7d32"), FAILED: ("#f9c9c9", "#c62828"), SKIPPED: ("#ffe3a8", "#b26a00"),
           STALE: ("#cfe0fb", "#1f5fbf"), NEVER_RUN: ("#e6e6e6", "#757575")}

# What dot's time grows with, faster than linearly: the assets and, for each input, the ranks
# its edge spans (each a node to place as well; see layout_work). Labelled edges cost dot about
# eight times as much: 1,000 assets and 1,500 inputs of work 3,600 take 4 s of one core with
# labels, 0.4 s without, and twice that graph a minute with labels. Up to LABELLED_WORK the
# edges are labelled, up to MAX_WORK they are not (each names its parameter on hover), and
# past that, or past MAX_DOT_ASSETS, or when dot takes longer than DOT_TIMEOUT_S, the page lists
# the assets instead.
LABELLED_WORK = 4500
MAX_WORK = 20000
MAX_DOT_ASSETS = 3000
DOT_TIMEOUT_S = 120.0
# What the details show at most: partition rows of one asset, and of all of them together
# (each asset gets a share, at least MIN_ROWS); characters of one job.log, and of all the logs
# shown. With these, 1,000 assets stay well under 5 MB, whatever their partitions.
ROWS_PER_ASSET = 200
MIN_ROWS = 10
ALL_ROWS = 12000
LOG_CHARS = 8000
ALL_LOG_CHARS = 1_000_000

GRAPHVIZ_PACKAGE = "graphviz"


class GraphvizMissing(Exception):
    def __init__(self) -> None:
        super().__init__("Graphviz is not installed: `dot` is not on PATH; install the Debian package "
                         f"{GRAPHVIZ_PACKAGE} (apt-get install {GRAPHVIZ_PACKAGE})")


@dataclass
class JobView:
    job: "Job"
    state: str
    reason: Optional[str]
    latest: Optional[Dict[str, Any]]  # the newest ledger entry that ran or was skipped
    ran: Optional[Dict[str, Any]]  # the newest ledger entry that ran


@dataclass
class AssetView:
    index: int
    asset: "Asset"
    state: str
    jobs: List[JobView]
    duration_s: Optional[float]  # summed last durations of its jobs; None when none has run
    failed: int = 0


@dataclass
class Written:
    """What write_report did: the page's path and size, and why the graph is a list, if it is."""

    path: str
    size: int
    fallback: Optional[str] = None


# --- states ----------------------------------------------------------------------------------------


def job_state(reason: Optional[str], latest: Optional[Dict[str, Any]]) -> str:
    if reason is None:
        return OK
    status = entry_status(latest) if latest is not None else None
    if reason == versions.LAST_RUN_FAILED or status == FAILED:
        return FAILED
    if status == SKIPPED:
        return SKIPPED
    if reason == versions.NEVER_MATERIALIZED and latest is None:
        return NEVER_RUN
    return STALE


def asset_state(states: Sequence[str]) -> str:
    seen = set(states)
    for state in (FAILED, SKIPPED, STALE):
        if state in seen:
            return state
    if seen == {NEVER_RUN}:
        return NEVER_RUN
    return STALE if NEVER_RUN in seen else OK


def asset_views(plan: "Plan", reasons: Sequence[Tuple["Job", Optional[str]]], history: History) -> List[AssetView]:
    """One view per asset of the plan, in plan order, from the reason each job would run."""
    by_ref: Dict[str, List[JobView]] = {asset.ref: [] for asset in plan.assets}
    for job, reason in reasons:
        key = job_key(job.asset.name, job.partition_keys)
        latest = history.latest.get(key)
        by_ref[job.asset.ref].append(JobView(job, job_state(reason, latest), reason, latest, history.ran.get(key)))
    views = []
    for index, asset in enumerate(plan.assets):
        jobs = by_ref[asset.ref]
        durations = [j.ran["duration_s"] for j in jobs
                     if j.ran is not None and isinstance(j.ran.get("duration_s"), (int, float))]
        views.append(AssetView(index, asset, asset_state([j.state for j in jobs]) if jobs else NEVER_RUN, jobs,
                               sum(durations) if durations else None, sum(1 for j in jobs if j.state == FAILED)))
    return views


def stored_after(result: "runner.RunResult", stored: Dict[str, versions.Stored]) -> Dict[str, versions.Stored]:
    """What the job folders hold after a run, from what they held before it: what the run
    wrote for the jobs that succeeded, and the folders of those that failed read again."""
    after = dict(stored)
    for outcome in result.outcomes:
        if outcome.status in (OK, FAILED):
            out_dir = outcome.job.out_dir
            known = result.remembered.get(out_dir) if outcome.status == OK else None
            after[out_dir] = known or versions.Stored(versions.read_record(out_dir),
                                                      versions.read_value_version(out_dir))
    return after


# --- text ------------------------------------------------------------------------------------------

# What a page cannot carry as it is: C0 controls but tab and line feed, DEL, lone surrogates.
_UNSHOWABLE = re.compile("[\x00-\x08\x0b-\x1f\x7f\ud800-\udfff]")


def clean(text: str) -> str:
    return _UNSHOWABLE.sub("\ufffd", text)


def one_line(text: str) -> str:
    return " ".join(clean(text).replace("\t", " ").split("\n"))


def esc(text: Any) -> str:
    text = text if type(text) is str else str(text)
    # Most texts of a page (names, times, keys) need nothing done to them.
    if (text.isprintable() and "&" not in text and "<" not in text and ">" not in text and '"' not in text
            and "'" not in text):
        return text
    return html.escape(clean(text), quote=True)


def dot_string(text: str) -> str:
    """`text` as a quoted dot string that dot shows as it is: no escape sequence of dot's and
    no entity reference survives."""
    text = one_line(text).replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;")
    return f'"{text}"'


def node_lines(view: AssetView) -> List[str]:
    count = len(view.jobs)
    parts = [f"{count} partition{'s' if count != 1 else ''}" if view.asset.dimensions else "no partitions"]
    if view.failed and view.asset.dimensions:
        parts.append(f"{view.failed} failed")
    parts.append(format_duration(view.duration_s) if view.duration_s is not None else "not run")
    return [one_line(view.asset.name), " · ".join(parts)]


# --- the graph -------------------------------------------------------------------------------------


def edges(plan: "Plan") -> List[Tuple[int, int, str]]:
    """(upstream asset index, downstream asset index, parameter) for every input."""
    index = {asset.ref: i for i, asset in enumerate(plan.assets)}
    return [(index[ref], i, param) for i, asset in enumerate(plan.assets) for param, ref in asset.inputs
            if ref in index]


def layout_work(count: int, links: Sequence[Tuple[int, int, str]]) -> int:
    """`count` plus the ranks that the edges span when each asset is one rank below its lowest
    upstream asset (an upper bound of what dot finds). `links` come in plan order, upstream
    assets first."""
    rank = [0] * count
    for up, down, _ in sorted(links, key=lambda link: link[1]):
        rank[down] = max(rank[down], rank[up] + 1)
    return count + sum(rank[down] - rank[up] for up, down, _ in links)


def dot_source(views: Sequence[AssetView], links: Sequence[Tuple[int, int, str]], labelled: bool = True) -> str:
    lines = [
        "digraph kevro {",
        '  graph [rankdir=TB, nodesep=0.35, ranksep=0.55, bgcolor="#ffffff", fontname="Helvetica"];',
        '  node [shape=box, style="rounded,filled", fontname="Helvetica", fontsize=12, penwidth=1.6, margin="0.14,0.06"];',
        '  edge [fontname="Helvetica", fontsize=10, color="#6b6b6b", fontcolor="#3c3c3c", arrowsize=0.7];',
    ]
    for view in views:
        fill, line = COLOURS[view.state]
        label = "\\n".join(dot_string(text)[1:-1] for text in node_lines(view))
        lines.append(f'  a{view.index} [id="a{view.index}", label="{label}", fillcolor="{fill}", color="{line}"];')
    for k, (up, down, param) in enumerate(links):
        label = f", label={dot_string(' ' + param + ' ')}" if labelled else ""
        lines.append(f'  a{up} -> a{down} [id="e{k}"{label}];')
    lines.append("}")
    return "\n".join(lines) + "\n"


def run_dot(source: str, timeout: float = DOT_TIMEOUT_S) -> str:
    """The SVG that `dot -Tsvg` makes of `source`. GraphvizMissing without dot;
    subprocess.TimeoutExpired (dot killed) when it takes longer than `timeout`; RuntimeError
    when it fails."""
    dot = shutil.which("dot")
    if dot is None:
        raise GraphvizMissing()
    done = subprocess.run([dot, "-Tsvg"], input=source.encode("utf-8"), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip()
        raise RuntimeError(f"dot failed with status {done.returncode}: {first_line(message)}")
    return done.stdout.decode("utf-8", "replace")


SVG_NS = "http://www.w3.org/2000/svg"
_SVG = "{%s}" % SVG_NS


def annotate(svg: str, views: Sequence[AssetView], links: Sequence[Tuple[int, int, str]]) -> str:
    """dot's SVG with each node's and edge's texts set to the exact names (whatever dot made of
    them) and data attributes naming what the element stands for; dot's comments, doctype and
    size in points dropped."""
    ET.register_namespace("", SVG_NS)
    ET.register_namespace("xlink", "http://www.w3.org/1999/xlink")
    root = ET.fromstring(svg)
    names = [one_line(view.asset.name) for view in views]
    for group in root.iter(_SVG + "g"):
        ident = group.get("id", "")
        kind = group.get("class")
        if kind == "node" and ident.startswith("a") and ident[1:].isdigit() and int(ident[1:]) < len(views):
            view = views[int(ident[1:])]
            group.set("class", f"node s-{view.state}")
            group.set("data-asset", clean(view.asset.name))
            group.set("data-state", view.state)
            group.set("data-index", str(view.index))
            _set_texts(group, [names[view.index]], node_lines(view))
        elif kind == "edge" and ident.startswith("e") and ident[1:].isdigit() and int(ident[1:]) < len(links):
            up, down, param = links[int(ident[1:])]
            group.set("data-from", clean(views[up].asset.name))
            group.set("data-to", clean(views[down].asset.name))
            group.set("data-param", clean(param))
            _set_texts(group, [f"{names[up]} → {names[down]}: {one_line(param)}"], [one_line(param)])
    width, height = root.get("width"), root.get("height")
    for attribute in ("width", "height"):
        root.attrib.pop(attribute, None)
    if width and height and width.endswith("pt") and height.endswith("pt"):
        # Points at 96 dpi, as the browser would show them.
        root.set("style", f"width:{float(width[:-2]) * 4 / 3:.0f}px;height:{float(height[:-2]) * 4 / 3:.0f}px")
    root.set("id", "graph")
    return ET.tostring(root, encoding="unicode")


def _set_texts(group: ET.Element, title: List[str], texts: List[str]) -> None:
    for element in group.findall(_SVG + "title"):
        element.text = title[0]
    found = group.findall(".//" + _SVG + "text")
    for element, text in zip(found, texts):
        element.text = text


def graph_svg(out: str, views: Sequence[AssetView], links: Sequence[Tuple[int, int, str]],
              timeout: float = DOT_TIMEOUT_S, labelled: bool = True) -> str:
    """The annotated SVG of the graph, from the copy kept in the output folder when the dot
    source is the same as last time (a rerun with nothing to do changes nothing in it)."""
    source = dot_source(views, links, labelled)
    # What annotate() adds goes into the key as well: the names as they are, and this format.
    keyed = "\0".join([GRAPH_FORMAT, source] + [v.asset.name for v in views] + [p for _, _, p in links])
    digest = hashlib.sha256(keyed.encode("utf-8", "surrogatepass")).hexdigest()
    path = os.path.join(out, GRAPH_CACHE_FILE)
    try:
        with open(path, "rb") as handle:
            kept = json.loads(handle.read())
        if isinstance(kept, dict) and kept.get("dot") == digest and isinstance(kept.get("svg"), str):
            return kept["svg"]
    except (OSError, ValueError):
        pass
    svg = annotate(run_dot(source, timeout), views, links)
    if os.path.isdir(out):
        try:
            write_atomically(path, json.dumps({"dot": digest, "svg": svg}, ensure_ascii=False).encode("utf-8"))
        except OSError:
            pass  # only a cache
    return svg


# --- the page --------------------------------------------------------------------------------------

STYLE = """
*{box-sizing:border-box}
body{margin:0;font:14px/1.4 Helvetica,Arial,sans-serif;color:#1d1d1d;background:#f6f6f4;display:flex;flex-direction:column;height:100vh}
header{padding:10px 16px;background:#263238;color:#fff}
header h1{margin:0 8px 0 0;font-size:18px;display:inline}
header .meta{color:#cfd8dc}
.legend{margin-top:6px}
.legend span{display:inline-block;margin-right:12px}
.legend i{display:inline-block;width:12px;height:12px;border-radius:3px;margin-right:4px;vertical-align:-1px;border:1.5px solid}
main{display:flex;flex:1;min-height:0}
#canvas{flex:1 1 62%;overflow:auto;background:#fff;border-right:1px solid #ddd;position:relative}
#canvas.fit svg{max-width:100%!important;height:auto!important}
#tools{position:sticky;top:0;left:0;padding:4px 8px;background:rgba(255,255,255,.9);z-index:1}
#details{flex:1 1 38%;overflow:auto;padding:12px 16px}
svg .node{cursor:pointer}
svg .node.selected path,svg .node.selected polygon{stroke-width:4px}
.note{background:#fff3cd;border:1px solid #e0c36c;padding:8px 10px;border-radius:4px}
.list li{margin:3px 0}
.list li.node{cursor:pointer}
.b{display:inline-block;padding:0 6px;border-radius:8px;font-size:12px;border:1px solid;white-space:nowrap}
td.n{white-space:nowrap}
table{border-collapse:collapse;width:100%;font-size:13px}
th,td{text-align:left;padding:3px 6px;border-bottom:1px solid #e3e3e3;vertical-align:top}
pre{white-space:pre-wrap;word-break:break-word;background:#272822;color:#f8f8f2;padding:8px;border-radius:4px;font-size:12px;max-height:420px;overflow:auto}
.error{color:#b71c1c}
section.asset h2{margin:4px 0;font-size:17px;word-break:break-word}
.muted{color:#666}
"""

SCRIPT = """
(function(){
var shown=null;
function show(i){
  var s=document.getElementById('asset-'+i);
  if(!s){return;}
  if(shown){shown.hidden=true;}
  s.hidden=false;shown=s;
  var hint=document.getElementById('hint');if(hint){hint.hidden=true;}
  document.querySelectorAll('.selected').forEach(function(e){e.classList.remove('selected');});
  document.querySelectorAll('.node[data-index="'+i+'"]').forEach(function(e){e.classList.add('selected');});
}
document.addEventListener('click',function(ev){
  var t=ev.target.closest('[data-index]');
  if(t){ev.preventDefault();show(t.getAttribute('data-index'));}
});
var fit=document.getElementById('fit');
if(fit){fit.addEventListener('click',function(){document.getElementById('canvas').classList.toggle('fit');});}
var canvas=document.getElementById('canvas'),svg=document.getElementById('graph');
if(svg&&svg.getBoundingClientRect().width<=2.5*canvas.clientWidth){canvas.classList.add('fit');}
var wanted=/^#asset-([0-9]+)$/.exec(location.hash);
var first=document.querySelector('section.asset[data-state="failed"]');
if(wanted){show(wanted[1]);}else if(first){show(first.getAttribute('data-index'));}
})();
"""


def _state_style() -> str:
    return "".join(f".b.s-{state}{{background:{fill};border-color:{line}}}" for state, (fill, line) in COLOURS.items())


def _badge(state: str, short: bool = False) -> str:
    text = STATE_TEXT[state].split(",")[0].split(":")[0] if short else STATE_TEXT[state]
    return f'<span class="b s-{state}">{esc(text)}</span>'


_SHORT_BADGES: Dict[str, str] = {}


def _short_badge(state: str) -> str:
    """_badge(state, True), made once per state: a page has one in every partition row."""
    badge = _SHORT_BADGES.get(state)
    if badge is None:
        badge = _SHORT_BADGES[state] = _badge(state, True)
    return badge


TRACEBACK_HEAD = "Traceback (most recent call last):"


def traceback_of(out_dir: str) -> Optional[str]:
    """The last traceback in a job's job.log (at most LOG_CHARS of its end), else the end of the
    log: all the job printed, since the worker records an asset's own exception in result.json
    only. None when there is no log or it is empty."""
    try:
        with open(os.path.join(out_dir, LOG_FILE), "rb") as handle:
            handle.seek(0, os.SEEK_END)
            size = handle.tell()
            handle.seek(max(0, size - 4 * LOG_CHARS))
            text = handle.read().decode("utf-8", "replace")
    except OSError:
        return None
    start = text.rfind(TRACEBACK_HEAD)
    if start >= 0:
        text = text[start:]
    text = text.rstrip()
    if not text:
        return None
    if len(text) > LOG_CHARS:
        text = "…" + text[-LOG_CHARS:]
    return text


def _when(stamp: Any) -> str:
    """A ledger time, 2024-03-01T12:00:00.250Z, as 2024-03-01 12:00:00 UTC."""
    if not isinstance(stamp, str):
        return ""
    if len(stamp) == 24 and stamp[10] == "T" and stamp.endswith("Z"):
        return f"{stamp[:10]} {stamp[11:19]} UTC"
    return stamp


def _shown_jobs(jobs: Sequence[JobView], most: int) -> List[JobView]:
    """At most `most` jobs, failed ones first, in plan order."""
    if len(jobs) <= most:
        return list(jobs)
    chosen = [j for j in jobs if j.state == FAILED][:most]
    rest = most - len(chosen)
    if rest:
        chosen += [j for j in jobs if j.state != FAILED][:rest]
    return sorted(chosen, key=lambda j: j.job.index)


class _Budget:
    """What is left of the rows and log characters that all the details may show."""

    def __init__(self, assets: int) -> None:
        self.rows = min(ROWS_PER_ASSET, max(MIN_ROWS, ALL_ROWS // max(1, assets)))
        self.log_chars = ALL_LOG_CHARS


def _details(view: AssetView, names: Dict[str, str], budget: _Budget) -> str:
    asset = view.asset
    parts = [f'<section class="asset" id="asset-{view.index}" data-index="{view.index}" '
             f'data-asset="{esc(asset.name)}" data-state="{view.state}" hidden>',
             f"<h2>{esc(asset.name)}</h2>",
             f"<p>{_badge(view.state)} <span class=\"muted\">{esc(asset.module)}:{esc(asset.function)}</span></p>"]
    if asset.inputs:
        items = "".join(f"<li><code>{esc(param)}</code> ← {esc(names.get(ref, ref))}</li>" for param, ref in asset.inputs)
        parts.append(f"<p>Inputs:</p><ul>{items}</ul>")
    if asset.dimensions:
        dims = ", ".join(f"{esc(dim)} ({len(keys)})" for dim, keys in asset.dimensions)
        parts.append(f"<p>Partitions: {dims}, {len(view.jobs)} in all.</p>")
    shown = _shown_jobs(view.jobs, budget.rows)
    if len(shown) < len(view.jobs):
        parts.append(f'<p class="muted">{len(view.jobs) - len(shown)} more partitions not shown.</p>')
    parts.append("<table><tr><th>partition</th><th>state</th><th>duration</th><th>last run</th><th>run id</th></tr>")
    for job in shown:
        ran = job.ran or {}
        when = _when(ran.get("ended_at") or ran.get("started_at"))
        duration = format_duration(ran.get("duration_s")) if ran else ""
        reason = f' <span class="muted">({esc(job.reason)})</span>' if job.reason and job.state != FAILED else ""
        parts.append(f"<tr><td>{esc(partition_text(job.job.partition_keys)) or '—'}</td>"
                     f'<td>{_short_badge(job.state)}{reason}</td><td class="n">{esc(duration)}</td>'
                     f'<td class="n">{esc(when)}</td>'
                     f"<td class=\"n\"><code>{esc(str(ran.get('run_id', ''))[:8])}</code></td></tr>")
        if job.state == FAILED:
            latest = job.latest or {}
            error = latest.get("error") if isinstance(latest.get("error"), str) else job.reason
            log = traceback_of(job.job.out_dir) if budget.log_chars > 0 else None
            if log:
                budget.log_chars -= len(log)
                what = "traceback from" if log.startswith(TRACEBACK_HEAD) else "the end of"
                folded = f"<details><summary>{what} {esc(LOG_FILE)}</summary><pre>{esc(log)}</pre></details>"
            elif budget.log_chars <= 0:
                folded = f'<span class="muted">see {esc(os.path.join(job.job.out_dir, LOG_FILE))}</span>'
            else:
                folded = f'<span class="muted">{esc(LOG_FILE)} is empty or missing</span>'

            parts.append(f'<tr><td colspan="5"><div class="error">{esc(error or "")}</div>{folded}</td></tr>')
    parts.append("</table></section>")
    return "".join(parts)


def _plain_list(views: Sequence[AssetView], links: Sequence[Tuple[int, int, str]], why: str) -> str:
    inputs: Dict[int, List[Tuple[int, str]]] = {}
    for up, down, param in links:
        inputs.setdefault(down, []).append((up, param))
    rows = [f'<div class="list"><p class="note">{esc(why)} The assets are listed instead, upstream first.</p><ol>']
    for view in views:
        name = esc(view.asset.name)
        edges_html = "".join(
            f'<li class="edge" data-from="{esc(views[up].asset.name)}" data-to="{name}" data-param="{esc(param)}">'
            f"<code>{esc(param)}</code> ← {esc(views[up].asset.name)}</li>" for up, param in inputs.get(view.index, []))
        rows.append(f'<li class="node" data-index="{view.index}" data-asset="{name}" data-state="{view.state}">'
                    f"<b>{name}</b> {_badge(view.state)} <span class=\"muted\">{esc(node_lines(view)[1])}</span>"
                    + (f"<ul>{edges_html}</ul>" if edges_html else "") + "</li>")
    rows.append("</ol></div>")
    return "".join(rows)


def render(views: Sequence[AssetView], links: Sequence[Tuple[int, int, str]], history: History, *,
           modules: Sequence[str], out: str, svg: Optional[str], fallback: Optional[str],
           note: Optional[str] = None) -> str:
    counts = {state: sum(1 for v in views if v.state == state) for state in STATES}
    if history.run_id is not None:
        when = " to ".join(_when(t) for t in (history.run_started, history.run_ended) if t)
        last = (f"last run <code>{esc(history.run_id)}</code>: {history.run_jobs} jobs"
                + (f", {esc(when)}" if when else ""))
    else:
        last = "no run recorded yet"
    legend = "".join(f'<span><i class="b s-{s}"></i>'
                     f"{esc(STATE_TEXT[s])} ({counts[s]})</span>" for s in STATES)
    names = {view.asset.ref: view.asset.name for view in views}
    budget = _Budget(len(views))
    if svg is not None:
        canvas = ('<div id="tools"><button id="fit" type="button">fit to width</button> '
                  '<span class="muted">click an asset for its details</span>'
                  + (f' <span class="note">{esc(note)}</span>' if note else "") + "</div>" + svg)
    else:
        canvas = _plain_list(views, links, fallback or "")
    generated = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime())
    return "".join([
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
        f"<title>kevro report: {esc(', '.join(modules))}</title><style>{STYLE}{_state_style()}</style></head><body>",
        f"<header><h1>kevro report</h1><span class=\"meta\">{esc(' '.join(modules))} · {esc(out)} · "
        f"{len(views)} assets · {last} · generated {generated}</span>",
        f'<div class="legend">{legend}</div></header>',
        f'<main><div id="canvas">{canvas}</div><div id="details">',
        '<p id="hint" class="muted">Click an asset to see its partitions, their state, duration and '
        "last run, and the error and traceback of each failed job.</p>",
        "".join(_details(view, names, budget) for view in views),
        f"</div></main><script>{SCRIPT}</script></body></html>\n",
    ])


def build(plan: "Plan", out: str, reasons: Sequence[Tuple["Job", Optional[str]]], *, modules: Sequence[str],
          require_dot: bool = True, timeout: float = DOT_TIMEOUT_S,
          history: Optional[History] = None) -> Tuple[str, Optional[str]]:
    """(the page, why the graph is a list instead of a picture or None). GraphvizMissing when
    dot is not installed and `require_dot`; without it the page says so and lists the assets.
    `history` is what an earlier read of the ledger found; only the lines since are read."""
    history = read_history(os.path.join(out, LEDGER_FILE), history)
    views = asset_views(plan, reasons, history)
    links = edges(plan)
    svg: Optional[str] = None
    fallback: Optional[str] = None
    work = layout_work(len(views), links)
    note = None
    if len(views) > MAX_DOT_ASSETS or work > MAX_WORK:
        fallback = (f"The graph of {len(views)} assets and {len(links)} inputs is more than kevro has Graphviz "
                    f"lay out (layout work {work:,}, at most {MAX_WORK:,}; at most {MAX_DOT_ASSETS:,} assets): "
                    "dot would take minutes.")
    else:
        if work > LABELLED_WORK:
            note = (f"The edges are not labelled: with {len(links)} inputs, that would take Graphviz too "
                    "long. Point at an edge for its parameter.")
        try:
            svg = graph_svg(out, views, links, timeout, labelled=note is None)
        except GraphvizMissing as exc:
            if require_dot:
                raise
            fallback = f"{exc}."
        except subprocess.TimeoutExpired:
            fallback = f"Graphviz took more than {timeout:.0f} s to lay out the graph and was stopped."
        except (RuntimeError, ET.ParseError) as exc:
            fallback = f"Graphviz could not lay out the graph: {exc}."
    page = render(views, links, history, modules=modules, out=out, svg=svg, fallback=fallback, note=note)
    return page, fallback


def write_report(plan: "Plan", out: str, path: str, *, stored: Dict[str, versions.Stored],
                 codes: Dict[str, versions.CodeVersion], modules: Sequence[str], require_dot: bool = True,
                 timeout: float = DOT_TIMEOUT_S, history: Optional[History] = None) -> Written:
    """Writes the report of `plan` over the output folder `out` to `path` (a temporary file,
    then a rename, so a browser never sees half a page)."""
    reasons = runner.status(plan, out, stored=stored, codes=codes)
    page, fallback = build(plan, out, reasons, modules=modules, require_dot=require_dot, timeout=timeout,
                           history=history)
    data = page.encode("utf-8", "replace")
    write_atomically(path, data)
    return Written(path, len(data), fallback)

