// What the module's two classes share: no constructor, no subclasses, no attribute assignment.
#include "asset/sealed.h"

#include <cstring>

#include "common/errors.h"
#include "common/ref.h"

namespace kevro {

bool attribute_is(PyObject* name, PyObject*& cache, const char* text) {
    if (cache == nullptr) {
        // Kept for the life of the process, like the types that use it.
        cache = PyUnicode_InternFromString(text);
        if (cache == nullptr) {
            PyErr_Clear();
        }
    }
    if (name == cache) {
        return true;
    }
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, text) == 0;
}

int refuse_setattr(PyObject* self, PyObject* name, const char* const* getsets) {
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

PyObject* raise_not_acceptable_base(PyTypeObject* base) {
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", base->tp_name);
    return nullptr;
}

PyObject* raise_no_constructor(const char* name) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name);
    return nullptr;
}

PyObject* raise_no_instance_dict(PyObject* self) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '__dict__'",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

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
