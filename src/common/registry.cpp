// Registration of a class or function in the module.
#include "common/registry.h"

#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/ref.h"

namespace kevro {

namespace {

Name all_name("__all__");
Name append_name("append");

}  // namespace

int register_object(PyObject* module, const char* name, PyObject* obj) {
    Ref all = attr(module, all_name);
    if (!all) {
        // Only a missing `__all__` is made here; the name itself was interned by the read.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) {
            ensure_error();
            return -1;
        }
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) {
        return -1;
    }
    if (PyList_Check(all.get())) {
        if (PyList_Append(all.get(), text.get()) < 0) {
            return -1;
        }
    } else {
        if (!call_method(all.get(), append_name, text.get())) {
            return -1;
        }
    }
    return PyObject_SetAttrString(module, name, obj);
}

int register_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) {
        return -1;
    }
    return register_object(module, name, reinterpret_cast<PyObject*>(type));
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = attr(module, dunder_name);
    if (!module_name) {
        return -1;
    }
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) {
        ensure_error();
        return -1;
    }
    Ref name = attr(function.get(), dunder_name);
    if (!name) {
        return -1;
    }
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr) {
        ensure_error();
        return -1;
    }
    return register_object(module, text, function.get());
}

}  // namespace kevro
