// What the module's two classes share: no constructor, no subclasses, no attribute assignment.
#include "asset/sealed.h"

#include <cstring>

#include "common/errors.h"
#include "common/names.h"
#include "common/ref.h"

namespace kevro {

int refuse_setattr(PyObject* self, PyObject* name, const char* const* getsets) noexcept {
    const char* type_name = Py_TYPE(self)->tp_name;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    for (const char* const* g = getsets; *g != nullptr; ++g) {
        if (PyUnicode_CompareWithASCIIString(name, *g) == 0) {
            PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable",
                         name, type_name);
            return -1;
        }
    }
    // A class attribute that is not one of ours (the class doc, `__module__`, a slot wrapper,
    // something of `object`) is read-only on an instance without a dict.
    if (_PyType_Lookup(Py_TYPE(self), name) != nullptr) {
        PyErr_Format(PyExc_AttributeError, "'%s' object attribute '%U' is read-only", type_name,
                     name);
        return -1;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", type_name, name);
    return -1;
}

PyObject* sealed_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    // CPython keeps the spec's dotted name in tp_name, PyPy the bare one; the message names the
    // class as `__name__` does.
    const char* name = std::strrchr(type->tp_name, '.');
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s",
                 name != nullptr ? name + 1 : type->tp_name);
    return nullptr;
}

#ifdef PYPY_VERSION
namespace {

Name dict_name("__dict__");

}  // namespace

PyObject* sealed_getattro(PyObject* self, PyObject* name) noexcept {
    if (dict_name.matches(name)) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '__dict__'",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return PyObject_GenericGetAttr(self, name);
}

PyObject* raise_not_acceptable_base(PyTypeObject* base) noexcept {
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", base->tp_name);
    return nullptr;
}
#endif

PyTypeObject* cached_type(PyObject*& cache, PyType_Spec* spec) {
    if (cache == nullptr) {
        cache = PyType_FromSpec(spec);
        if (cache == nullptr) {
            ensure_error();
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject*>(cache);
}

}  // namespace kevro
