// The asset attribute contract, as the decorator, discovery and materialization read it: an
// asset is recognised and unwrapped by its attributes alone, never by its class. And where the
// source of a function lives, which an asset reference and an inspection record both name.
#pragma once

#include <Python.h>

#include <string>

#include "common/ref.h"

namespace kevro {

/// True when `obj` carries the asset mark: a `__kevro_kind__` that is a `str` whose text is
/// exactly "asset". A read that raises, of whatever kind, only means "not an asset"; its
/// exception is discarded.
bool is_asset(PyObject* obj);

/// The undecorated function of `obj`: its `__kevro_original__`, or `obj` itself when that read
/// raises anything (the exception is discarded). One level only; never null.
Ref original_of(PyObject* obj);

/// What `source_path` does when `inspect.getsourcefile` raises.
enum class MissingSource {
    raise,  // the exception propagates
    empty,  // the exception is discarded and the path is ""
};

/// The resolved path of the file holding `function`'s source:
/// `str(pathlib.Path(inspect.getsourcefile(function)).resolve())`, from the modules `inspect`
/// and `pathlib` given. Whatever getsourcefile returns goes to `Path`: None makes it raise,
/// and that exception propagates like those of `resolve` and `str()`.
bool source_path(PyObject* inspect, PyObject* pathlib, PyObject* function, MissingSource missing,
                 std::string& out);

}  // namespace kevro
