"""One materialization in a job process, with the traceback of a failure on standard error.

``_kevro.materialize_asset`` records a failure in ``result.json`` and raises ``SystemExit(1)``; it
neither prints nor keeps the traceback. A job process (a warm worker's child, ``python -m
kevro.worker --traceback``) calls `materialize` instead, which leaves the files exactly as
``materialize_asset`` writes them and prints what went wrong, as the interpreter prints it, to
standard error, which is the job's ``job.log``:

- an exception of the asset function: the asset's module attribute is swapped, for the one
  lookup that ``materialize_asset`` makes of it, for a stand-in whose ``__kevro_original__``
  puts the attribute back and hands out a function that calls the asset's own function and
  prints the traceback of what it raises before raising it on unchanged. The stand-in function
  carries the asset function as ``__wrapped__``, so ``inspect.signature`` describes the asset
  function itself; the module sees its own attribute again while the asset runs;
- an exception of the module's import: the module is imported here first; when that fails, the
  traceback is printed and the very same exception is raised again by the import that
  ``materialize_asset`` makes (the module's code does not run twice);
- a value that cannot be encoded as JSON: the traceback of encoding it again.

Every failure ends with the line ``kevro: FUNCTION failed: ERROR``, the recorded error.
"""

from __future__ import annotations

import importlib
import json
import os
import sys
import traceback
from types import TracebackType
from typing import Any, Callable, Dict, Optional, Tuple

import _kevro
from kevro.common import RESULT_FILE


def _print_traceback(exc: BaseException, tb: Optional[TracebackType]) -> None:
    try:
        traceback.print_exception(type(exc), exc, tb, file=sys.stderr)
        sys.stderr.flush()
    except BaseException:  # noqa: BLE001 - the report must never change the job's outcome
        pass


def _below_import_machinery(tb: Optional[TracebackType]) -> Optional[TracebackType]:
    """The frames of an import's traceback below the import system's own, as an import
    statement shows them: none when the import system itself raised (a module not found)."""
    rest = None
    walk = tb
    while walk is not None:
        if walk.tb_frame.f_code.co_name == "_call_with_frames_removed":
            rest = walk.tb_next
        walk = walk.tb_next
    return rest


class _Replay:
    """A meta path finder that raises, once, the exception that importing the module raised,
    for the first of the module's names (itself or a parent package) that is looked for."""

    def __init__(self, names: set, exc: BaseException) -> None:
        self.names = names
        self.exc = exc

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> None:
        if name not in self.names:
            return None
        self.disarm()
        raise self.exc

    def disarm(self) -> None:
        try:
            sys.meta_path.remove(self)
        except ValueError:
            pass


class _Called:
    """What became of the call of the asset function: whether it returned, and its value."""

    __slots__ = ("returned", "value")

    def __init__(self) -> None:
        self.returned = False
        self.value: Any = None


def _traced(function: Any, called: _Called) -> Callable[..., Any]:
    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            value = function(*args, **kwargs)
        except BaseException as exc:
            # From the asset's own frame on: this function's frame is not the user's code. A call
            # that fails before any of it runs (arguments that do not bind, an object that is not
            # callable) has nothing to show beyond the error line.
            tb = exc.__traceback__
            if tb is not None and tb.tb_next is not None:
                _print_traceback(exc, tb.tb_next)
            raise
        called.returned = True
        called.value = value
        return value

    call.__wrapped__ = function  # type: ignore[attr-defined]
    return call


class _StandIn:
    """The module attribute while materialize_asset looks it up; see the module docstring."""

    def __init__(self, namespace: Dict[str, Any], name: str, target: Any, called: _Called) -> None:
        self._namespace = namespace
        self._name = name
        self._target = target
        self._called = called

    @property
    def __kevro_original__(self) -> Callable[..., Any]:
        target = self._target
        self._namespace[self._name] = target
        try:
            function = target.__kevro_original__
        except BaseException:  # noqa: BLE001 - as materialize_asset: the target itself is called
            function = target
        return _traced(function, self._called)


def _recorded_error(output_dir: str) -> Optional[str]:
    try:
        with open(os.path.join(output_dir, RESULT_FILE), "rb") as handle:
            record = json.loads(handle.read())
        error = record["error"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return error if isinstance(error, str) else None


def materialize(module_name: str, function_name: str, output_dir: str, kwargs_json: Optional[str],
                tracebacks: bool = True) -> None:
    """_kevro.materialize_asset(module_name, function_name, output_dir, kwargs_json), with the
    same files, return and exceptions, and on standard error the traceback of a failure (unless
    `tracebacks` is false) and the line with its recorded error."""
    called = _Called()
    replay: Optional[_Replay] = None
    namespace: Optional[Dict[str, Any]] = None
    target: Any = None
    if tracebacks:
        replay, namespace, target = _prepare(module_name, function_name, called)
    failure: Optional[SystemExit] = None
    try:
        _kevro.materialize_asset(module_name, function_name, output_dir, kwargs_json)
    except SystemExit as exit_:
        if exit_.code != 1:
            raise
        failure = exit_
    finally:
        if replay is not None:
            replay.disarm()
        if namespace is not None and isinstance(namespace.get(function_name), _StandIn):
            namespace[function_name] = target
    if failure is not None:
        # Outside the handler, so that nothing is shown as chained to the SystemExit.
        _report_failure(function_name, output_dir, called)
        called.value = None
        raise failure


def _prepare(module_name: str, function_name: str,
             called: _Called) -> Tuple[Optional[_Replay], Optional[Dict[str, Any]], Any]:
    """Imports the module and swaps its attribute for the stand-in: (the finder that replays a
    failed import, the namespace whose attribute was swapped, the attribute), None for those
    that do not apply."""
    try:
        module = importlib.import_module(module_name)
    except BaseException as exc:  # noqa: BLE001 - whatever the import raised, materialize_asset records
        below = _below_import_machinery(exc.__traceback__)
        if below is not None:  # a module that is not found has only the error line to show
            _print_traceback(exc, below)
        parts = module_name.split(".")
        replay = _Replay({".".join(parts[:i]) for i in range(1, len(parts) + 1)}, exc)
        sys.meta_path.insert(0, replay)
        return replay, None, None
    # Only an attribute of the module's own namespace is swapped; one that a module-level
    # __getattr__ makes is left to materialize_asset as it is.
    namespace = getattr(module, "__dict__", None)
    if not isinstance(namespace, dict) or function_name not in namespace:
        return None, None, None
    target = namespace[function_name]
    namespace[function_name] = _StandIn(namespace, function_name, target, called)
    return None, namespace, target


def _report_failure(function_name: str, output_dir: str, called: _Called) -> None:
    if called.returned:
        try:
            json.dumps(called.value)
        except BaseException as exc:  # noqa: BLE001 - what materialize_asset met in encoding the value
            print(f"kevro: the value that {function_name} returned cannot be encoded as JSON:",
                  file=sys.stderr)
            _print_traceback(exc, exc.__traceback__.tb_next if exc.__traceback__ else None)
    error = _recorded_error(output_dir)
    print(f"kevro: {function_name} failed: {' '.join((error or '(no readable result.json)').split())}",
          file=sys.stderr)
    sys.stderr.flush()
