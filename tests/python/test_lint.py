"""Text lints over the C++ sources, run as tests."""

from __future__ import annotations

import re
from collections import Counter

from common import REPO_ROOT

SRC = REPO_ROOT / "src"

# Every place that discards a pending exception, by file and function, with how many times it
# does and why. Anywhere else an exception is passed on: a new PyErr_Clear needs a line here.
ALLOWED_CLEARS = {
    ("common/contract.cpp", "is_asset"): (
        1, "a __kevro_kind__ read that raises means 'not an asset'"),
    ("common/contract.cpp", "original_of"): (
        1, "without a readable __kevro_original__ an asset is its own function"),
    ("common/contract.cpp", "source_path"): (
        1, "inspection records the file path '' when getsourcefile raises"),
    ("common/errors.cpp", "type_qualname"): (
        2, "an unreadable __qualname__ gives '<failed to extract type name>'"),
    ("common/errors.cpp", "prefix_argument_error"): (
        1, "the TypeError keeps its own message when str() of it fails"),
    ("common/errors.cpp", "exception_display_text"): (
        1, "a failing str() gives '<exception str() failed>'"),
    ("common/names.cpp", "Name::intern_and_is"): (
        1, "a name that cannot be interned is matched by its text instead"),
    ("common/registry.cpp", "register_object"): (
        1, "a module without __all__ gets a new list"),
    ("common/text.cpp", "str_text"): (
        1, "a lone surrogate, when asked for, is replaced instead of refused"),
    ("inspect/inspect.cpp", "convert_modules"): (
        1, "the length of `modules` only sizes the list"),
}

# A function definition starts at the left margin: a return type, then the (qualified) name
# and its opening parenthesis.
DEFINITION = re.compile(r"^(?!return\b)[A-Za-z_][\w:<>,*& ]*?[\s*&]([A-Za-z_][\w:]*)\(")


def clears_by_function() -> Counter:
    found = Counter()
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        function = None
        for line in path.read_text(encoding="utf-8").splitlines():
            match = DEFINITION.match(line)
            if match:
                function = match.group(1)
            if "PyErr_Clear(" in line.split("//")[0]:
                found[(path.relative_to(SRC).as_posix(), function)] += 1
    return found


def test_exceptions_are_discarded_only_where_listed():
    expected = Counter({place: count for place, (count, _) in ALLOWED_CLEARS.items()})
    assert clears_by_function() == expected
