"""The native `_kevro` module."""

from typing import Any, Callable, Dict, Generic, List, Mapping, Optional, Sequence, TypeVar, Union

from typing_extensions import ParamSpec

_P = ParamSpec("_P")
_R = TypeVar("_R")

class AssetWrapper(Generic[_P, _R]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    @property
    def __kevro_metadata__(self) -> Dict[str, Any]: ...
    @property
    def __kevro_kind__(self) -> str: ...
    @property
    def __kevro_original__(self) -> Callable[_P, _R]: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R]: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R: ...
    def __get__(self, instance: object, owner: Optional[type] = None) -> AssetWrapper[_P, _R]: ...

class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

def asset(
    *,
    name: Optional[str] = None,
    inputs: Optional[Mapping[str, Union[AssetWrapper[..., Any], str]]] = None,
    partitions: Optional[Mapping[str, Partitions]] = None,
    serializer: Optional[str] = None,
) -> Callable[[Callable[_P, _R]], AssetWrapper[_P, _R]]:
    """Decorator that registers a Python function as a kevro asset."""

def partitions(values: List[Any]) -> Partitions:
    """Declare a static partition universe for use with ``@asset(partitions=...)``."""

def inspect_modules(modules: Sequence[str]) -> str:
    """Inspect modules for kevro assets. Called by the `python -m kevro.inspect` CLI stub."""

def materialize_asset(
    module_name: str,
    function_name: str,
    output_dir: str,
    input_kwargs_json: Optional[str] = None,
) -> None:
    """Materialize a single asset function. Called by the `python -m kevro.worker` CLI stub."""

__all__: List[str]
