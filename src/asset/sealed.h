// What the module's two classes share: no constructor, no subclasses, no attribute assignment,
// no instance dict. CPython enforces the last three by itself; PyPy's C-API emulation does not,
// so the types enforce them through their own slots, with the same wording on both.
#pragma once

#include <Python.h>

namespace kevro {

/// True when `name` is the `str` `text`: by pointer against the interned `cache` (made on
/// first use), then by content.
bool attribute_is(PyObject* name, PyObject*& cache, const char* text);

/// The tp_setattro of a sealed type: refuses every assignment and deletion with AttributeError,
/// worded as CPython words it for a type without an instance dict. `getsets` names the type's
/// read-only computed attributes (null-terminated).
int refuse_setattr(PyObject* self, PyObject* name, const char* const* getsets);

/// Raises TypeError "type 'NAME' is not an acceptable base type" for `base`; returns null.
PyObject* raise_not_acceptable_base(PyTypeObject* base);

/// Raises TypeError "No constructor defined for NAME"; returns null.
PyObject* raise_no_constructor(const char* name);

/// Raises AttributeError "'NAME' object has no attribute '__dict__'" for `self`, as a type
/// without an instance dict answers; returns null.
PyObject* raise_no_instance_dict(PyObject* self);

/// Creates the type from `spec` once per process and returns it, borrowed; later calls return the
/// same type. Null with an exception set when creation fails (a later call tries again).
PyTypeObject* cached_type(PyObject*& cache, PyType_Spec* spec);

}  // namespace kevro
