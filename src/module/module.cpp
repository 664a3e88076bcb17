// Module entry: creates `_kevro` once per process and registers its classes and functions.
#include <Python.h>

#include "common/errors.h"
#include "common/ref.h"
#include "module/registry.h"

namespace kevro {

int register_object(PyObject* module, const char* name, PyObject* obj) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
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
        Ref ignored = Ref::steal(PyObject_CallMethod(all.get(), "append", "O", text.get()));
        if (!ignored) {
            ensure_error();
            return -1;
        }
    }
    return PyObject_SetAttrString(module, name, obj);
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) {
        return -1;
    }
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) {
        ensure_error();
        return -1;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
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

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_kevro",
    .m_doc = "The native `_kevro` module.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module, once it has been initialised successfully; kept for the life of the process.
PyObject* cached_module = nullptr;

PyObject* init_module() {
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        ensure_error();
        return nullptr;
    }
    if (add_asset_wrapper_type(module.get()) < 0 || add_partitions_type(module.get()) < 0 ||
        add_asset_function(module.get()) < 0 || add_partitions_function(module.get()) < 0 ||
        add_inspect_modules(module.get()) < 0 || add_materialize_asset(module.get()) < 0) {
        ensure_error();
        return nullptr;
    }
    cached_module = module.new_ref();
    return module.release();
}

}  // namespace
}  // namespace kevro

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kevro() {
    return kevro::boundary([] { return kevro::init_module(); });
}
