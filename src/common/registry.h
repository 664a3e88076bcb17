// Registration of a class or function in the module, in the order the module lists them.
#pragma once

#include <Python.h>

#include "common/errors.h"

namespace kevro {

/// The body of a module function: a fast call with keywords, its self unused.
using FastCallBody = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// The entry that the interpreter calls for `Body`: no C++ exception crosses (see boundary).
template <FastCallBody Body>
PyObject* fast_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
    return boundary([&] { return Body(args, nargs, kwnames); });
}

/// The definition of a module function with the fast-call convention; `doc` begins with the
/// text signature, then "\n--\n\n".
template <FastCallBody Body>
PyMethodDef fast_call_def(const char* name, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_call<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

/// Appends `name` to the module's `__all__` (creating the list when the module has none) and
/// sets the attribute; `obj` is borrowed. Returns -1 with an exception set on failure.
int register_object(PyObject* module, const char* name, PyObject* obj);

/// Registers a type under `name`; a null `type` (its creation failed, with an exception set)
/// gives -1 at once.
int register_type(PyObject* module, const char* name, PyTypeObject* type);

/// Creates a built-in function bound to the module (its `__self__` the module, its `__module__`
/// the module's name) from a definition with static storage, and registers it under its
/// `__name__`.
int add_function(PyObject* module, PyMethodDef* def);

}  // namespace kevro
