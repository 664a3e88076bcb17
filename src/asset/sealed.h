// What the module's two classes share: no constructor, no subclasses, no attribute assignment,
// no instance dict. CPython enforces the last three by itself; PyPy's C-API emulation does not,
// so the types enforce them through their own slots, with the same wording on both.
#pragma once

#include <Python.h>

namespace kevro {

/// The flags of a sealed type: no base type, no cyclic GC; immutable where the interpreter
/// offers the flag (PyPy does not).
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned int sealed_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int sealed_flags = Py_TPFLAGS_DEFAULT;
#endif

/// The spec of a sealed type whose instances are `Object`s; `name` places it in a module.
template <class Object>
constexpr PyType_Spec sealed_spec(const char* name, PyType_Slot* slots,
                                  unsigned int extra_flags = 0) noexcept {
    return {
        .name = name,
        .basicsize = static_cast<int>(sizeof(Object)),
        .itemsize = 0,
        .flags = sealed_flags | extra_flags,
        .slots = slots,
    };
}

/// The tp_setattro of a sealed type: refuses every assignment and deletion with AttributeError,
/// worded as CPython words it for a type without an instance dict. `getsets` names the type's
/// read-only computed attributes (null-terminated).
int refuse_setattr(PyObject* self, PyObject* name, const char* const* getsets) noexcept;

/// The tp_new of a sealed type: TypeError "No constructor defined for NAME"; instances are
/// made only by the module's own functions.
PyObject* sealed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

/// The tp_dealloc of a sealed type: `Release` frees what the instance owns, then the instance
/// goes and, as for every heap type, the reference that it held to its type.
template <void (*Release)(PyObject*) noexcept>
void sealed_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    Release(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

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
