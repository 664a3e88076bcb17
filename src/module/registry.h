// Registration of the module's classes and functions, in the order the module lists them.
#pragma once

#include <Python.h>

namespace kevro {

/// Appends `name` to the module's `__all__` (creating the list when the module has none) and
/// sets the attribute; `obj` is borrowed. Returns -1 with an exception set on failure.
int register_object(PyObject* module, const char* name, PyObject* obj);

/// Creates a built-in function bound to the module (its `__self__` the module, its `__module__`
/// the module's name) from a definition with static storage, and registers it under its
/// `__name__`.
int add_function(PyObject* module, PyMethodDef* def);

// Each area adds what it owns; the module's init calls them in this order.
int add_asset_wrapper_type(PyObject* module);   // src/asset/wrapper.cpp
int add_partitions_type(PyObject* module);      // src/asset/partitions.cpp
int add_asset_function(PyObject* module);       // src/asset/decorator.cpp
int add_partitions_function(PyObject* module);  // src/asset/partitions.cpp
int add_inspect_modules(PyObject* module);      // src/inspect/inspect.cpp
int add_materialize_asset(PyObject* module);    // src/worker/materialize.cpp

}  // namespace kevro
