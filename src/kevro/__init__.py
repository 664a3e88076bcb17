"""kevro: plain Python functions as data assets, with a native core.

Mark a function with ``@asset(...)``, name its upstream assets as ``inputs`` and declare static
``partitions``; ``python -m kevro.inspect`` discovers the assets of a code base and
``python -m kevro.worker`` materializes one of them into ``value.json`` and ``result.json``.
"""

from __future__ import annotations

import _kevro

__version__ = "0.1.0"

# The names users write in their own modules; the native module may be older than this package
# while it is being developed, so only what it offers is re-exported.
_PUBLIC = ("asset", "partitions", "AssetWrapper", "Partitions")
__all__ = [name for name in _PUBLIC if hasattr(_kevro, name)]
globals().update({name: getattr(_kevro, name) for name in __all__})
