// What the module's two classes share: no constructor, no subclasses, no attribute assignment,
// no instance dict. CPython enforces the last three by itself; PyPy's C-API emulation does not,
// so the types enforce them through their own slots, with the same wording on both.
#pragma once

#include <Python.h>

namespace kevro {

/// The tp_setattro of a sealed type: refuses every assignment and deletion with AttributeError,
/// worded as CPython words it for a type without an instance dict. `getsets` names the type's
/// read-only computed attributes (null-terminated).
int refuse_setattr(PyObject* self, PyObject* name, const char* const* getsets) noexcept;

/// Raises TypeError "No constructor defined for NAME"; returns null.
PyObject* raise_no_constructor(const char* name) noexcept;

#ifdef PYPY_VERSION
// PyPy lets Python subclass a type without Py_TPFLAGS_BASETYPE and gives its instances a dict;
// a sealed type refuses both itself.

/// The tp_getattro of a sealed type: AttributeError "'NAME' object has no attribute
/// '__dict__'", as a type without an instance dict answers, and the generic read for every
/// other name.
PyObject* sealed_getattro(PyObject* self, PyObject* name) noexcept;

/// Raises TypeError "type 'NAME' is not an acceptable base type" for `base`; returns null.
PyObject* raise_not_acceptable_base(PyTypeObject* base) noexcept;

/// The `__init_subclass__` of the type that `Type()` returns: refuses every subclass.
template <PyTypeObject* (*Type)()>
PyObject* refuse_subclass(PyObject*, PyObject*, PyObject*) noexcept {
    return raise_not_acceptable_base(Type());
}

/// The method table of a sealed type: `__init_subclass__` only.
template <PyTypeObject* (*Type)()>
inline PyMethodDef sealed_methods[] = {
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&refuse_subclass<Type>)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#endif

/// Creates the type from `spec` once per process and returns it, borrowed; later calls return the
/// same type. Null with an exception set when creation fails (a later call tries again).
PyTypeObject* cached_type(PyObject*& cache, PyType_Spec* spec);

}  // namespace kevro
