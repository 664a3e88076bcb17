import sys
from pathlib import Path

# The tests import their shared helpers as `common`.
sys.path.insert(0, str(Path(__file__).resolve().parent))

# `mods`, the fixture that writes generated modules, for every test module.
from modgen import mods  # noqa: E402,F401
