"""The asset graph: discovery in a child process, the dependency order, and the job plan.

`discover` runs ``python -m kevro.inspect`` and returns the report's asset records
(kevro.discovery); `build_graph` turns records into `Asset` objects in dependency order;
`select` narrows a graph to some assets and their upstream; `plan` expands assets into one
`Job` per partition combination and knows which upstream jobs feed each job; `list_table`
renders a graph for reading.

Partition rule, for a job of asset D and one input parameter naming upstream asset U:

- a dimension both declare maps D's key to U's job with the same key;
- U's dimensions that D lacks are gathered: the parameter receives a dict from key text to
  value (a str key as itself, any other key as its compact JSON text), nested in dimension-name
  order when U has several such dimensions;
- D's dimensions that U lacks do not narrow anything: every such D job receives the same value.

Keys are told apart by their canonical JSON text, so 1, 1.0 and true are three keys.

A job writes into <out>/<asset folder>, and a partitioned one into a sub-folder of it named
"dim=key,..."; `folder_name` keeps every such name one path component, visible, unique, and
clear of the run ledger <out>/runs.jsonl.
"""

from __future__ import annotations

import hashlib
import heapq
import itertools
import json
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from kevro.common import LEDGER_FILE, WORKERS_LOG, aligned, canonical, key_text
from kevro.discovery import Discovery, GraphError, discover

__all__ = [
    "Discovery",
    "GraphError",
    "Asset",
    "Job",
    "Plan",
    "discover",
    "build_graph",
    "select",
    "plan",
    "list_table",
    "folder_name",
    "partition_folder",
    "key_text",
]

# A folder or file name must stay well below the usual 255-byte limit of one path component.
MAX_FOLDER_BYTES = 200
# Length of the sha256 prefix that keeps a shortened folder name unique.
HASH_CHARS = 12


# --- key and folder texts ----------------------------------------------------------------------


def _identities(keys: Sequence[Any], memo: Dict[str, str]) -> List[str]:
    """The canonical texts of `keys`; those of string keys are remembered in `memo`, since
    most keys are strings that many assets share."""
    result = []
    for key in keys:
        if isinstance(key, str):
            text = memo.get(key)
            if text is None:
                text = memo[key] = canonical(key)
        else:
            text = canonical(key)
        result.append(text)
    return result


def _escape(char: str) -> str:
    data = char.encode("utf-8", "surrogatepass")
    return "".join("%%%02X" % byte for byte in data)


def _escape_table(extra: str) -> Dict[int, str]:
    # Path separators, the escape character itself, and every control character (C0, DEL and
    # C1) are escaped; lone surrogates too, since they have no UTF-8 form of their own.
    chars = ["/", "\\", "%"] + [chr(c) for c in range(0x20)] + [chr(c) for c in range(0x7F, 0xA0)]
    chars += [chr(c) for c in range(0xD800, 0xE000)]
    chars += list(extra)
    return {ord(c): _escape(c) for c in chars}


_FOLDER_TABLE = _escape_table("")
# Inside a partition folder "," and "=" separate the parts, so keys and dimension names escape
# them; that keeps the mapping from partitions to folder names one-to-one.
_PART_TABLE = _escape_table(",=")


def _utf8_len(text: str) -> int:
    return len(text.encode("utf-8", "surrogatepass"))


def _cap(encoded: str, digest_of: str) -> str:
    """`encoded` itself when it fits in MAX_FOLDER_BYTES, else its longest prefix that leaves
    room for "~" and a hash of `digest_of`, cut at a character boundary and never inside an
    escape."""
    if len(encoded) <= MAX_FOLDER_BYTES // 4 or _utf8_len(encoded) <= MAX_FOLDER_BYTES:
        return encoded
    room = MAX_FOLDER_BYTES - 1 - HASH_CHARS
    used = 0
    end = 0
    for char in encoded:
        size = _utf8_len(char)
        if used + size > room:
            break
        used += size
        end += 1
    # An escape is three characters, "%XX"; do not keep half of one.
    if end >= 1 and encoded[end - 1] == "%":
        end -= 1
    elif end >= 2 and encoded[end - 2] == "%":
        end -= 2
    digest = hashlib.sha256(digest_of.encode("utf-8", "surrogatepass")).hexdigest()[:HASH_CHARS]
    return encoded[:end] + "~" + digest


# The files of an output folder beside the asset folders (its own files all start with ".").
_OUTPUT_FILES = (LEDGER_FILE, WORKERS_LOG)


def folder_name(name: str) -> str:
    """The folder of an asset with display name `name`: a single path component that cannot be
    hidden, cannot leave its parent and is not the name of a file kevro keeps beside the asset
    folders.

    "/", "\\", "%" and control characters become %XX escapes of their UTF-8 bytes; a leading
    "." and the names "runs.jsonl" and "workers.log" have their dot escaped; every other character stays as it is.
    Distinct names give distinct folders: an escape can only come from an escaped character,
    and a name longer than 200 UTF-8 bytes is shortened to a prefix plus "~" and the first 12
    hex digits of the sha256 of the name. The empty name has no folder (ValueError)."""
    if not name:
        raise ValueError("the empty name has no folder")
    encoded = name.translate(_FOLDER_TABLE)
    if encoded.startswith("."):
        encoded = "%2E" + encoded[1:]
    elif encoded in _OUTPUT_FILES:
        encoded = encoded.replace(".", "%2E", 1)
    return _cap(encoded, name)


def partition_folder(partition: Sequence[Tuple[str, Any]]) -> str:
    """The sub-folder of one partition combination: "dim=key" parts joined by ",", in the given
    (dimension-name) order, each dimension name and key text escaped like a folder name and
    with "," and "=" escaped as well; shortened like a folder name."""
    return _join_parts([_part(dim, key) for dim, key in partition])


def _part(dim: str, key: Any) -> str:
    return dim.translate(_PART_TABLE) + "=" + key_text(key).translate(_PART_TABLE)


def _join_parts(parts: Sequence[str]) -> str:
    encoded = ",".join(parts)
    if encoded.startswith("."):
        encoded = "%2E" + encoded[1:]
    # The escaped text is one-to-one, so it is what the hash of a shortened name is taken of.
    return _cap(encoded, encoded)


# --- the graph -----------------------------------------------------------------------------------


@dataclass(frozen=True)
class Asset:
    """One asset of the graph, as discovery found it."""

    ref: str  # "<file_path>:<function_name>", the identity that `inputs` values hold
    name: str  # the display name
    module: str  # dotted name of the module of the first record with this ref
    function: str  # the function's __name__
    inputs: Tuple[Tuple[str, str], ...]  # (parameter, upstream ref), sorted by parameter
    dimensions: Tuple[Tuple[str, Tuple[Any, ...]], ...]  # (dimension, keys), by dimension name
    folder: str  # file-system-safe folder name, unique in the graph
    # What the code version is computed from (kevro.versions): the function's source text, the
    # decorator metadata, and the source of every module whose record names this asset (the
    # defining module among them, though not always first when another module re-exports it).
    function_source: str = field(default="", compare=False, repr=False)
    metadata: Any = field(default=None, compare=False, repr=False)
    module_sources: List[str] = field(default_factory=list, compare=False, repr=False)

    # Keys may be lists or dicts, so the generated hash over every field would fail; the ref
    # identifies an asset anyway.
    def __hash__(self) -> int:
        return hash(self.ref)


def _source_field(record: dict, key: str) -> str:
    """A source text of the record; "" when it has none (its code version cannot be known)."""
    value = record.get(key)
    return value if isinstance(value, str) else ""


def _text_field(record: dict, key: str, where: str) -> str:
    value = record.get(key)
    if not isinstance(value, str):
        raise GraphError(f"{where} has no text {key!r}")
    return value


Dimensions = Tuple[Tuple[str, Tuple[Any, ...]], ...]


def _dimensions(name: str, partitions: Any, memo: Dict[str, str]) -> Dimensions:
    """The (dimension, keys) pairs of one asset's metadata "partitions", by dimension name."""
    if partitions is None:
        return ()
    if not isinstance(partitions, dict):
        raise GraphError(f"asset {name!r} has partitions that are not a dict: {partitions!r}")
    dims = []
    for dim in sorted(partitions):
        declared = partitions[dim]
        where = f"asset {name!r} partition dimension {dim!r}"
        values_json = declared.get("values_json") if isinstance(declared, dict) else None
        if not isinstance(values_json, str) or declared.get("kind") != "inline":
            raise GraphError(f"{where} is not an inline list of keys: {declared!r}")
        try:
            values = json.loads(values_json, parse_constant=_refuse_constant)
        except ValueError as exc:
            raise GraphError(f"{where}: cannot parse its keys {values_json!r}: {exc}") from exc
        if not isinstance(values, list):
            raise GraphError(f"{where}: its keys {values_json!r} are not a list")
        if not values:
            raise GraphError(f"{where} has no partition keys")
        seen = set()
        keys = []
        for key, identity in zip(values, _identities(values, memo)):
            if identity not in seen:
                seen.add(identity)
                keys.append(key)
        dims.append((dim, tuple(keys)))
    return tuple(dims)


def _refuse_constant(text: str) -> Any:
    raise ValueError(f"{text} is no JSON value")


def _default_name(file_path: str, function: str, base: str) -> str:
    prefix = base if base.endswith(os.sep) else base + os.sep
    shown = file_path[len(prefix):] if file_path.startswith(prefix) else file_path
    return f"{shown}:{function}"


def build_graph(records: Sequence[dict], *, cwd: Optional[str] = None) -> List[Asset]:
    """Assets in topological order (upstream first; ties broken by display name).

    Records that share a ref ("<file_path>:<function_name>", as when one module re-exports an
    asset of another) are one asset; the first of them gives its module. The display name is
    the metadata "name", else "<file>:<function_name>", where <file> is file_path relative to
    `cwd` (default: the current directory) when it lies below it and the absolute path
    otherwise.

    GraphError, naming the assets involved, for: a record that is not an inspection record or
    whose metadata is not a dict; an empty display name; two assets with one display name; an
    input that names no discovered asset; a parameter named like one of the asset's own
    dimensions; a partition dimension whose keys cannot be read as a JSON list, or that has no
    keys at all (an empty dimension would silently plan no job for the asset and everything
    that shares the dimension, which is never what the author meant); a cycle of inputs; and
    two display names whose shortened folder names collide."""
    base = os.path.realpath(cwd if cwd is not None else os.getcwd())
    by_ref: Dict[str, Asset] = {}
    memo: Dict[str, str] = {}
    for position, record in enumerate(records):
        if not isinstance(record, dict):
            raise GraphError(f"inspection record {position} is not an object: {record!r}")
        where = f"inspection record {position}"
        file_path = _text_field(record, "file_path", where)
        function = _text_field(record, "function_name", where)
        ref = f"{file_path}:{function}"
        if ref in by_ref:
            source = record.get("module_source")
            sources = by_ref[ref].module_sources
            if isinstance(source, str) and source not in sources:
                sources.append(source)
            continue
        where = f"asset {ref!r}"
        module = _text_field(record, "module_path", where)
        metadata = record.get("decorator_metadata")
        if not isinstance(metadata, dict):
            raise GraphError(
                f"asset {ref!r} (module {module!r}) has metadata that is not a dict: {metadata!r}"
            )
        name = metadata.get("name")
        if name is None:
            name = _default_name(file_path, function, base)
        elif not isinstance(name, str):
            raise GraphError(f"asset {ref!r} has a name that is not a string: {name!r}")
        elif not name:
            raise GraphError(f"asset {ref!r} has an empty name")
        inputs = metadata.get("inputs")
        if inputs is None:
            inputs = {}
        if not isinstance(inputs, dict) or not all(isinstance(v, str) for v in inputs.values()):
            raise GraphError(
                f"asset {name!r} has inputs that are not a dict of asset refs: {inputs!r}"
            )
        dimensions = _dimensions(name, metadata.get("partitions"), memo)
        for parameter in inputs:
            if any(parameter == dim for dim, _ in dimensions):
                raise GraphError(
                    f"asset {name!r} input {parameter!r} has the name of one of its partition "
                    f"dimensions; the dimension's key is passed under that name"
                )
        by_ref[ref] = Asset(
            ref=ref,
            name=name,
            module=module,
            function=function,
            inputs=tuple(sorted(inputs.items())),
            dimensions=dimensions,
            folder=folder_name(name),
            function_source=_source_field(record, "function_source"),
            metadata=metadata,
            module_sources=[_source_field(record, "module_source")],
        )

    named: Dict[str, Asset] = {}
    folders: Dict[str, Asset] = {}
    for asset in by_ref.values():
        other = named.setdefault(asset.name, asset)
        if other is not asset:
            raise GraphError(
                f"assets {other.ref!r} and {asset.ref!r} have the same display name {asset.name!r}"
            )
        # Distinct names only share a folder when both were shortened and their hashes agree.
        other = folders.setdefault(asset.folder, asset)
        if other is not asset:
            raise GraphError(
                f"assets {other.name!r} and {asset.name!r} share the folder name {asset.folder!r}"
            )
    for asset in by_ref.values():
        for parameter, upstream in asset.inputs:
            if upstream not in by_ref:
                raise GraphError(
                    f"asset {asset.name!r} input {parameter!r} names {upstream!r}, which is not a "
                    f"discovered asset; is the module that defines it among the modules listed?"
                )

    return _topological(list(by_ref.values()), by_ref)


def _topological(assets: List[Asset], by_ref: Dict[str, Asset]) -> List[Asset]:
    """Kahn's algorithm; among the assets that are ready, the smallest display name goes first."""
    downstream: Dict[str, List[str]] = {asset.ref: [] for asset in assets}
    waiting: Dict[str, int] = {}
    for asset in assets:
        upstream = {ref for _, ref in asset.inputs}
        waiting[asset.ref] = len(upstream)
        for ref in upstream:
            downstream[ref].append(asset.ref)
    ready = [(asset.name, asset.ref) for asset in assets if waiting[asset.ref] == 0]
    heapq.heapify(ready)
    ordered = []
    while ready:
        _, ref = heapq.heappop(ready)
        ordered.append(by_ref[ref])
        for child in downstream[ref]:
            waiting[child] -= 1
            if waiting[child] == 0:
                heapq.heappush(ready, (by_ref[child].name, child))
    if len(ordered) < len(assets):
        raise GraphError(_cycle_message(by_ref, waiting))
    return ordered


def _cycle_message(by_ref: Dict[str, Asset], waiting: Dict[str, int]) -> str:
    # Every asset left over waits for another left-over one, so walking upstream from any of
    # them must come back to an asset already on the path.
    stuck = {ref for ref, count in waiting.items() if count > 0}
    def name_of(ref: str) -> str:
        return by_ref[ref].name

    start = min(stuck, key=name_of)
    path = [start]
    on_path = {start: 0}
    while True:
        nxt = min((ref for _, ref in by_ref[path[-1]].inputs if ref in stuck), key=name_of)
        if nxt in on_path:
            cycle = path[on_path[nxt]:] + [nxt]
            break
        on_path[nxt] = len(path)
        path.append(nxt)
    # The walk went upstream; show the cycle in the direction in which values flow, from the
    # smallest display name on it.
    flow = list(reversed(cycle))[:-1]
    first = flow.index(min(flow, key=name_of))
    flow = flow[first:] + flow[:first]
    names = " -> ".join(repr(name_of(ref)) for ref in flow + flow[:1])
    return f"assets form a cycle of inputs: {names} (each is an input of the next)"


def select(assets: Sequence[Asset], names: Sequence[str]) -> List[Asset]:
    """The named assets (by display name) and everything upstream of them, topological order.
    GraphError for a name that no asset has."""
    by_name = {asset.name: asset for asset in assets}
    by_ref = {asset.ref: asset for asset in assets}
    wanted = set()
    stack = []
    for name in names:
        asset = by_name.get(name)
        if asset is None:
            raise GraphError(f"no asset is named {name!r}")
        stack.append(asset.ref)
    while stack:
        ref = stack.pop()
        if ref in wanted:
            continue
        wanted.add(ref)
        for parameter, upstream in by_ref[ref].inputs:
            if upstream not in by_ref:
                raise GraphError(
                    f"asset {by_ref[ref].name!r} input {parameter!r} names {upstream!r}, "
                    f"which is not among the assets"
                )
            stack.append(upstream)
    return [asset for asset in assets if asset.ref in wanted]


# --- the plan ------------------------------------------------------------------------------------


class Job:
    """One run of one asset for one partition combination. Treated as immutable; a plain class
    with slots rather than a frozen dataclass, since a plan makes one per partition
    combination and every run makes the plan."""

    __slots__ = ("index", "asset", "partition", "out_dir", "upstream", "_label")

    def __init__(self, index: int, asset: Asset, partition: Tuple[Tuple[str, Any], ...], out_dir: str,
                 upstream: Tuple[int, ...]) -> None:
        self.index = index  # position in Plan.jobs
        self.asset = asset
        self.partition = partition  # (dimension, key), dimension-name order
        self.out_dir = out_dir  # <out>/<asset.folder>[/<partition folder>]
        self.upstream = upstream  # indexes of the jobs whose values this job receives, ascending
        self._label: Optional[str] = None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Job):
            return NotImplemented
        return (self.index, self.asset, self.partition, self.out_dir, self.upstream) == (
            other.index, other.asset, other.partition, other.out_dir, other.upstream)

    def __hash__(self) -> int:
        return hash((self.index, self.asset.ref))

    def __repr__(self) -> str:
        return f"Job({self.index}, {self.label!r}, out_dir={self.out_dir!r}, upstream={self.upstream!r})"

    @property
    def label(self) -> str:
        """The asset's display name with the partition, e.g. 'sales[day=2024-03-01,region=eu]'."""
        label = self._label
        if label is None:
            if not self.partition:
                label = self.asset.name
            else:
                parts = ",".join(f"{dim}={key_text(key)}" for dim, key in self.partition)
                label = f"{self.asset.name}[{parts}]"
            self._label = label
        return label

    @property
    def partition_keys(self) -> Dict[str, Any]:
        """{dimension: key} of this job."""
        return dict(self.partition)


class _Input:
    """How one input parameter of an asset reads its upstream asset's jobs.

    For a downstream job whose key positions are `pos`, the upstream jobs are
    first + sum(shift[d][pos[d]]) + g for g in `offsets`; `offsets` lists the gathered
    combinations in nesting order (outer dimension slowest), and `gathered` holds the key
    texts of each gathered dimension."""

    __slots__ = ("parameter", "first", "shift", "offsets", "gathered", "strides")

    def __init__(self, parameter: str, first: int, shift, offsets, gathered, strides) -> None:
        self.parameter = parameter
        self.first = first
        self.shift = shift  # [(downstream dimension position, [offset per key position])]
        self.offsets = offsets
        self.gathered = gathered  # [[key text, ...] per gathered dimension]
        self.strides = strides  # job-index stride of each gathered dimension


class _Keys:
    """The key texts of each dimension of an asset, and the position of each key by its
    canonical text."""

    __slots__ = ("texts", "positions")

    def __init__(self, texts: List[List[str]], positions: List[Dict[str, int]]) -> None:
        self.texts = texts
        self.positions = positions


class _Layout:
    """Where an asset's jobs are in the plan and how its inputs are read."""

    __slots__ = ("first", "sizes", "inputs")

    def __init__(self, first: int, sizes: List[int], inputs: List[_Input]) -> None:
        self.first = first
        self.sizes = sizes
        self.inputs = inputs

    def positions(self, index: int) -> List[int]:
        """Key position in each dimension of the job at plan index `index`."""
        offset = index - self.first
        pos = [0] * len(self.sizes)
        for d in range(len(self.sizes) - 1, -1, -1):
            offset, pos[d] = divmod(offset, self.sizes[d])
        return pos


@dataclass(frozen=True)
class Plan:
    """Every job of a graph, upstream jobs first."""

    assets: Tuple[Asset, ...]
    jobs: Tuple[Job, ...]  # every upstream index is below the job's own index
    _layouts: Dict[str, _Layout] = field(default_factory=dict, compare=False, repr=False)

    def kwargs(self, job: Job, value_of: Callable[[int], Any]) -> Dict[str, Any]:
        """Keyword arguments of the job: each input parameter's upstream value (mapped by the
        partition rule, reading upstream values through value_of(job_index)) and each partition
        key under its dimension's name."""
        layout = self._layouts[job.asset.ref]
        pos = layout.positions(job.index)
        result: Dict[str, Any] = {}
        for entry in layout.inputs:
            base = entry.first
            for d, shift in entry.shift:
                base += shift[pos[d]]
            if not entry.gathered:
                result[entry.parameter] = value_of(base)
            else:
                result[entry.parameter] = _gather(entry, 0, base, value_of)
        for dim, key in job.partition:
            result[dim] = key
        return result

    def input_jobs(self, job: Job) -> List[Tuple[str, List[int]]]:
        """(parameter, indexes of the upstream jobs whose values it receives) for each input
        of the job, in parameter order; the indexes in the order kwargs() reads them."""
        layout = self._layouts[job.asset.ref]
        pos = layout.positions(job.index)
        result = []
        for entry in layout.inputs:
            base = entry.first
            for d, shift in entry.shift:
                base += shift[pos[d]]
            result.append((entry.parameter, [base + g for g in entry.offsets]))
        return result


def select_partitions(plan: Plan, wanted: Sequence[Tuple[str, str]]) -> List[int]:
    """The indexes (ascending) of the jobs that `--partition DIM=KEY` selects: the jobs of the
    assets that declare every named dimension whose key text is among those given for each
    dimension, and every job upstream of them. With nothing wanted, every job.

    GraphError for a dimension that no asset of the plan declares, a key that none of the
    assets with that dimension has, and dimensions that no asset declares together."""
    if not wanted:
        return [job.index for job in plan.jobs]
    keys: Dict[str, set] = {}
    for dim, text in wanted:
        keys.setdefault(dim, set()).add(text)
    declared: Dict[str, set] = {}
    for asset in plan.assets:
        for dim, dim_keys in asset.dimensions:
            if dim in keys:
                declared.setdefault(dim, set()).update(key_text(key) for key in dim_keys)
    for dim, texts in keys.items():
        if dim not in declared:
            raise GraphError(f"no selected asset declares the partition dimension {dim!r}")
        for text in sorted(texts - declared[dim]):
            raise GraphError(f"no selected asset has the key {text!r} in its partition dimension {dim!r}")
    chosen = set()
    targets = False
    for job in plan.jobs:
        own = {dim: key_text(key) for dim, key in job.partition}
        if all(dim in own for dim in keys):
            targets = True
            if all(own[dim] in texts for dim, texts in keys.items()):
                chosen.add(job.index)
    if not targets:
        names = ", ".join(repr(dim) for dim in keys)
        raise GraphError(f"no selected asset declares all of the partition dimensions {names}")
    # Upstream jobs have lower indexes, so one pass from the top collects them all.
    for index in range(len(plan.jobs) - 1, -1, -1):
        if index in chosen:
            chosen.update(plan.jobs[index].upstream)
    return sorted(chosen)


def _gather(entry: _Input, level: int, base: int, value_of: Callable[[int], Any]) -> Dict[str, Any]:
    stride = entry.strides[level]
    texts = entry.gathered[level]
    if level + 1 == len(entry.gathered):
        return {text: value_of(base + i * stride) for i, text in enumerate(texts)}
    return {
        text: _gather(entry, level + 1, base + i * stride, value_of)
        for i, text in enumerate(texts)
    }


def _strides(sizes: Sequence[int]) -> List[int]:
    strides = [1] * len(sizes)
    for d in range(len(sizes) - 2, -1, -1):
        strides[d] = strides[d + 1] * sizes[d + 1]
    return strides


def _key_texts(asset: Asset, dim: str, keys: Sequence[Any]) -> List[str]:
    """The key texts of one dimension; two keys with one text (the string "1" and the number 1)
    would share a folder and a gathered dict entry, so they are refused."""
    texts = []
    seen: Dict[str, Any] = {}
    for key in keys:
        text = key_text(key)
        if text in seen:
            raise GraphError(
                f"asset {asset.name!r} partition dimension {dim!r} has the keys "
                f"{canonical(seen[text])} and {canonical(key)}, which share the text {text!r}"
            )
        seen[text] = key
        texts.append(text)
    return texts


def plan(assets: Sequence[Asset], out: str) -> Plan:
    """One job per partition combination of every asset, in the order of `assets` (which must
    list every upstream asset before the assets that read it), combinations in dimension-name
    order with the keys in declared order.

    GraphError for what the partition rule cannot map: an upstream asset missing from
    `assets`, a key of a shared dimension that the upstream asset does not declare, and two keys
    of one dimension with the same key text."""
    layouts: Dict[str, _Layout] = {}
    keys_of: Dict[str, _Keys] = {}
    jobs: List[Job] = []
    by_ref = {asset.ref: asset for asset in assets}
    memo: Dict[str, str] = {}
    for asset in assets:
        sizes = [len(keys) for _, keys in asset.dimensions]
        identities = [_identities(keys, memo) for _, keys in asset.dimensions]
        keys_of[asset.ref] = _Keys(
            [_key_texts(asset, dim, keys) for dim, keys in asset.dimensions],
            [{text: i for i, text in enumerate(ids)} for ids in identities],
        )
        inputs = [
            _input(asset, identities, parameter, by_ref.get(upstream), upstream, layouts, keys_of)
            for parameter, upstream in asset.inputs
        ]
        first = len(jobs)
        layouts[asset.ref] = _Layout(first, sizes, inputs)
        asset_dir = os.path.join(out, asset.folder)

        if not sizes:
            upstream_jobs = sorted({entry.first + g for entry in inputs for g in entry.offsets})
            jobs.append(Job(first, asset, (), asset_dir, tuple(upstream_jobs)))
            continue

        pairs = [[(dim, key) for key in keys] for dim, keys in asset.dimensions]
        pieces = [[_part(dim, key) for key in keys] for dim, keys in asset.dimensions]
        ndims = len(sizes)
        single = inputs[0] if len(inputs) == 1 and len(inputs[0].offsets) == 1 else None
        shortened: Dict[str, Job] = {}
        index = first
        for pos in itertools.product(*[range(n) for n in sizes]):
            partition = tuple([pairs[d][pos[d]] for d in range(ndims)])
            folder = _join_parts([pieces[d][pos[d]] for d in range(ndims)])
            if single is not None:
                up = single.first + single.offsets[0]
                for d, shift in single.shift:
                    up += shift[pos[d]]
                upstream_jobs = (up,)
            else:
                found = set()
                for entry in inputs:
                    up = entry.first
                    for d, shift in entry.shift:
                        up += shift[pos[d]]
                    for g in entry.offsets:
                        found.add(up + g)
                upstream_jobs = tuple(sorted(found))
            job = Job(index, asset, partition, asset_dir + os.sep + folder, upstream_jobs)
            jobs.append(job)
            index += 1
            # Only shortened folder names (the ones with "~") can collide, and only if their
            # hashes agree; still, two jobs must never share a folder.
            if "~" in folder:
                other = shortened.setdefault(folder, job)
                if other is not job:
                    raise GraphError(
                        f"jobs {other.label!r} and {job.label!r} share the folder {job.out_dir!r}"
                    )
    return Plan(tuple(assets), tuple(jobs), layouts)


def _input(
    asset: Asset,
    identities: List[List[str]],
    parameter: str,
    upstream: Optional[Asset],
    ref: str,
    layouts: Dict[str, _Layout],
    keys_of: Dict[str, _Keys],
) -> _Input:
    """Works out once, for one input of `asset`, how its jobs find their upstream jobs."""
    if upstream is None:
        raise GraphError(
            f"asset {asset.name!r} input {parameter!r} names {ref!r}, "
            f"which is not among the assets to plan"
        )
    layout = layouts.get(upstream.ref)
    if layout is None:
        raise GraphError(
            f"asset {asset.name!r} comes before its input {upstream.name!r} in the assets to plan"
        )
    own = {dim: d for d, (dim, _) in enumerate(asset.dimensions)}
    up_strides = _strides(layout.sizes)
    shift = []
    gathered_dims = []
    up_keys = keys_of[upstream.ref]
    for u, (dim, _) in enumerate(upstream.dimensions):
        d = own.get(dim)
        if d is None:
            gathered_dims.append(u)
            continue
        positions = up_keys.positions[u]
        offsets = []
        for identity in identities[d]:
            found = positions.get(identity)
            if found is None:
                raise GraphError(
                    f"asset {asset.name!r} input {parameter!r}: its key {identity} of partition "
                    f"dimension {dim!r} is not a key of the upstream asset {upstream.name!r}"
                )
            offsets.append(found * up_strides[u])
        shift.append((d, offsets))
    gathered = [up_keys.texts[u] for u in gathered_dims]
    strides = [up_strides[u] for u in gathered_dims]
    offsets = [0]
    for u in gathered_dims:
        offsets = [o + i * up_strides[u] for o in offsets for i in range(layout.sizes[u])]
    return _Input(parameter, layout.first, shift, offsets, gathered, strides)


# --- the table -----------------------------------------------------------------------------------


LIST_COLUMNS = ("ASSET", "FUNCTION", "INPUTS", "PARTITIONS")


def list_table(assets: Sequence[Asset]) -> str:
    """The assets as a plain-text table, one line per asset after a header line, with the
    columns ASSET (display name), FUNCTION (module:function), INPUTS ("parameter ← upstream
    display name", comma-separated) and PARTITIONS ("day×currency = 6"). Columns are
    separated by at least two spaces; lines carry no trailing blanks and are joined by line
    feeds, with none after the last line."""
    names = {asset.ref: asset.name for asset in assets}
    rows = []
    for asset in assets:
        inputs = ", ".join(f"{param} ← {names.get(ref, ref)}" for param, ref in asset.inputs)
        if asset.dimensions:
            count = 1
            for _, keys in asset.dimensions:
                count *= len(keys)
            partitions = "×".join(dim for dim, _ in asset.dimensions) + f" = {count}"
        else:
            partitions = ""
        function = f"{asset.module}:{asset.function}"
        rows.append((asset.name, function, inputs or "-", partitions or "-"))
    return aligned(LIST_COLUMNS, rows)[:-1]
