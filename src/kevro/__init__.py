"""kevro: plain Python functions as data assets, with a native core.

Mark a function with ``@asset(...)``, name its upstream assets as ``inputs`` and declare static
``partitions``; ``python -m kevro.inspect`` discovers the assets of a code base and
``python -m kevro.worker`` materializes one of them into ``value.json`` and ``result.json``.
"""

from __future__ import annotations

from _kevro import AssetWrapper, Partitions, asset, partitions

__version__ = "0.1.0"

__all__ = ["asset", "partitions", "AssetWrapper", "Partitions"]
