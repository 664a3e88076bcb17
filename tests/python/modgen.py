"""Throwaway modules for the inspection tests: written into a temporary directory, importable
for one test, gone from sys.path and sys.modules afterwards."""

from __future__ import annotations

import importlib
import json
import sys
import textwrap
from pathlib import Path
from typing import Dict, List, Optional

import pytest

# Imported by generated modules as `from kfake import fake_asset`. The attributes live on the
# instance only, so that the class (which getmembers also lists) is no asset itself.
FAKE_ASSET_SOURCE = '''
class FakeAsset:
    def __init__(self, function, metadata, kind):
        self.__kevro_kind__ = kind
        self.__kevro_metadata__ = metadata
        self.__kevro_original__ = function


def fake_asset(metadata=None, kind="asset"):
    if metadata is None:
        metadata = {"kind": "asset", "name": None}

    def wrap(function):
        return FakeAsset(function, metadata, kind)

    return wrap
'''


def hand_marked(metadata: Optional[str] = "{}") -> str:
    """Source of a module whose plain function `target` is marked as an asset by hand, its
    metadata the expression `metadata`, or no metadata at all for None."""
    source = 'def target():\n    pass\n\ntarget.__kevro_kind__ = "asset"\n'
    if metadata is not None:
        source += f"target.__kevro_metadata__ = {metadata}\n"
    return source


# An exception class `Nameless` whose `__name__` (that of its type) raises LookupError("no name").
NAMELESS_EXCEPTION = '''
class NoName(type):
    @property
    def __name__(cls):
        raise LookupError("no name")


class Nameless(Exception, metaclass=NoName):
    pass
'''


class ModuleFactory:
    def __init__(self, root: Path) -> None:
        self.root = root
        self.root.mkdir(parents=True, exist_ok=True)
        self._top_names: List[str] = []
        sys.path.insert(0, str(self.root))
        self.write("kfake", FAKE_ASSET_SOURCE)

    def path_of(self, name: str) -> Path:
        return self.root.joinpath(*name.split(".")).with_suffix(".py")

    def write(self, name: str, source: str, *, dedent: bool = True) -> str:
        """Writes module `name` (a dotted name creates its packages) and returns the name."""
        path = self.path_of(name)
        path.parent.mkdir(parents=True, exist_ok=True)
        package = path.parent
        while package != self.root:
            (package / "__init__.py").touch()
            package = package.parent
        path.write_text(textwrap.dedent(source) if dedent else source, encoding="utf-8")
        self._top_names.append(name.split(".")[0])
        importlib.invalidate_caches()
        return name

    def add_path(self, directory: Path) -> None:
        sys.path.insert(0, str(directory))
        self._extra_paths = getattr(self, "_extra_paths", []) + [str(directory)]

    def forget(self, name: str) -> None:
        sys.modules.pop(name, None)

    def cleanup(self) -> None:
        for entry in [str(self.root)] + getattr(self, "_extra_paths", []):
            while entry in sys.path:
                sys.path.remove(entry)
        tops = set(self._top_names)
        for loaded in list(sys.modules):
            if loaded.split(".")[0] in tops:
                del sys.modules[loaded]
        importlib.invalidate_caches()


@pytest.fixture
def mods(tmp_path):
    factory = ModuleFactory(tmp_path / "mods")
    yield factory
    factory.cleanup()


def records(report: str) -> List[Dict]:
    """The asset records of a report, after checking that it is one compact object."""
    parsed = json.loads(report)
    assert list(parsed) == ["assets"]
    assert report == compact(parsed)
    return parsed["assets"]


def compact(value) -> str:
    """The text that the compact writer gives for a value without floats."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def version_text() -> str:
    return "{}.{}.{}".format(*sys.version_info[:3])
