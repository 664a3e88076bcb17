// `AssetWrapper`: what a decorated function becomes. Calls through to the function and carries
// the asset's metadata under the attribute names by which the rest of the system finds assets.
#include <cstddef>
#include <string>

#include "asset/metadata.h"
#include "asset/sealed.h"
#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/ref.h"
#include "common/text.h"
#include "json/writer.h"

#ifndef PYPY_VERSION
#include <structmember.h>
#endif

namespace kevro {

namespace {

struct AssetWrapperObject {
    PyObject ob_base;  // the object header
#ifndef PYPY_VERSION
    vectorcallfunc vectorcall;  // the interpreter's fast call protocol
#endif
    PyObject* function;       // strong reference, never null
    AssetMetadata* metadata;  // owned; set once at creation
};

AssetWrapperObject* as_wrapper(PyObject* self) {
    return reinterpret_cast<AssetWrapperObject*>(self);
}

void release_function_and_metadata(PyObject* self) noexcept {
    AssetWrapperObject* w = as_wrapper(self);
    Py_CLEAR(w->function);
    delete w->metadata;
    w->metadata = nullptr;
}

// Calls go straight to the function; a call without keywords passes no keyword dict at all.
PyObject* asset_wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (kwargs != nullptr && PyDict_Size(kwargs) == 0) {
        kwargs = nullptr;
    }
    return PyObject_Call(as_wrapper(self)->function, args, kwargs);
}

#ifndef PYPY_VERSION
PyObject* asset_wrapper_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
    return PyObject_Vectorcall(as_wrapper(self)->function, args, nargsf, kwnames);
}
#endif

// A wrapper stored on a class is never bound to an instance.
PyObject* asset_wrapper_descr_get(PyObject* self, PyObject*, PyObject*) noexcept {
    Py_INCREF(self);
    return self;
}

PyObject* get_metadata(PyObject* self, void*) noexcept {
    return boundary([&] { return metadata_to_dict(*as_wrapper(self)->metadata); });
}
PyObject* get_kind(PyObject*, void*) noexcept {
    PyObject* kind = asset_kind.get();
    Py_XINCREF(kind);
    return kind;
}
PyObject* get_original(PyObject* self, void*) noexcept {
    Py_INCREF(as_wrapper(self)->function);
    return as_wrapper(self)->function;
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return attr(as_wrapper(self)->function, dunder_name).release();
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return attr(as_wrapper(self)->function, qualname_name).release();
}

// `__doc__` and `__module__` are answered by asset_wrapper_getattro: as getset entries they
// would lose to the class's own entries on CPython and replace them on PyPy.
PyGetSetDef asset_wrapper_getset[] = {
    {"__kevro_metadata__", &get_metadata, nullptr, nullptr, nullptr},
    {"__kevro_kind__", &get_kind, nullptr, nullptr, nullptr},
    {"__kevro_original__", &get_original, nullptr, nullptr, nullptr},
    {"__name__", &get_name, nullptr, nullptr, nullptr},
    {"__qualname__", &get_qualname, nullptr, nullptr, nullptr},
    {"__wrapped__", &get_original, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* const read_only_names[] = {
    "__kevro_metadata__", "__kevro_kind__", "__kevro_original__", "__name__", "__qualname__",
    "__wrapped__",        nullptr,
};

Name doc_name("__doc__");
Name module_name("__module__");

PyObject* asset_wrapper_getattro(PyObject* self, PyObject* name) noexcept {
    // The contract's names arrive interned, from the module and from Python code alike, as
    // these very objects: none of them is one of the names below.
    if (kevro_kind_name.is(name) || kevro_original_name.is(name) || kevro_metadata_name.is(name)) {
        return PyObject_GenericGetAttr(self, name);
    }
    // The class keeps its own `__doc__` and `__module__`; an instance shows the function's.
    if (doc_name.matches(name) || module_name.matches(name)) {
        return attr(as_wrapper(self)->function, name).release();
    }
#ifdef PYPY_VERSION
    return sealed_getattro(self, name);
#else
    return PyObject_GenericGetAttr(self, name);
#endif
}

int asset_wrapper_setattro(PyObject* self, PyObject* name, PyObject*) noexcept {
    return refuse_setattr(self, name, read_only_names);
}

#ifndef PYPY_VERSION
PyMemberDef asset_wrapper_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(AssetWrapperObject, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

PyType_Slot asset_wrapper_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "The `@asset()` decorator wrapper. Stores the original function and metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(&sealed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&sealed_dealloc<&release_function_and_metadata>)},
    {Py_tp_call, reinterpret_cast<void*>(&asset_wrapper_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&asset_wrapper_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(&asset_wrapper_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(&asset_wrapper_setattro)},
    {Py_tp_getset, asset_wrapper_getset},
#ifdef PYPY_VERSION
    {Py_tp_methods, sealed_methods<&asset_wrapper_type>},
#else
    {Py_tp_members, asset_wrapper_members},
#endif
    {0, nullptr},
};

#ifdef PYPY_VERSION
PyType_Spec asset_wrapper_spec =
    sealed_spec<AssetWrapperObject>("builtins.AssetWrapper", asset_wrapper_slots);
#else
PyType_Spec asset_wrapper_spec = sealed_spec<AssetWrapperObject>(
    "builtins.AssetWrapper", asset_wrapper_slots, Py_TPFLAGS_HAVE_VECTORCALL);
#endif

PyObject* asset_wrapper_type_object = nullptr;

// Keys of the metadata dicts.
Name kind_key("kind");
Name name_key("name");
Name serializer_key("serializer");
Name inputs_key("inputs");
Name partitions_key("partitions");
Name values_json_key("values_json");

/// dict[key] = value, where `value` is a new reference (null when making it failed).
bool put(PyObject* dict, PyObject* key, Ref value) {
    if (!value) {
        ensure_error();
        return false;
    }
    return PyDict_SetItem(dict, key, value.get()) == 0;
}

bool put(PyObject* dict, Name& key, Ref value) {
    PyObject* k = key.get();
    return k != nullptr && put(dict, k, std::move(value));
}

/// A `str` from optional text, or None.
Ref optional_str(const std::optional<std::string>& text) {
    if (!text) {
        return Ref::borrow(Py_None);
    }
    return Ref::steal(new_str(*text));
}

Ref inputs_dict(const OrderedMap<std::string>& inputs) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (const auto& [param, reference] : inputs) {
        Ref key = Ref::steal(new_str(param));
        if (!key || !put(dict.get(), key.get(), Ref::steal(new_str(reference)))) {
            return Ref();
        }
    }
    return dict;
}

Ref partitions_dict(const OrderedMap<PartitionSpec>& partitions) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return dict;
    }
    std::string text;
    for (const auto& [dimension, spec] : partitions) {
        Ref inner = Ref::steal(PyDict_New());
        if (!inner || !put(inner.get(), kind_key, Ref::steal(PyUnicode_FromString("inline")))) {
            return Ref();
        }
        text.clear();
        json::write_compact(spec.values, text);
        if (!put(inner.get(), values_json_key, Ref::steal(new_str(text)))) {
            return Ref();
        }
        Ref key = Ref::steal(new_str(dimension));
        if (!key || !put(dict.get(), key.get(), std::move(inner))) {
            return Ref();
        }
    }
    return dict;
}

}  // namespace

PyObject* metadata_to_dict(const AssetMetadata& metadata) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        ensure_error();
        return nullptr;
    }
    // The five keys in their documented order; each value is new, so that a change to the dict
    // never reaches the wrapper.
    if (!put(dict.get(), kind_key, Ref::steal(PyUnicode_FromString("asset"))) ||
        !put(dict.get(), name_key, optional_str(metadata.name)) ||
        !put(dict.get(), serializer_key, optional_str(metadata.serializer)) ||
        !put(dict.get(), inputs_key,
             metadata.inputs ? inputs_dict(*metadata.inputs) : Ref::borrow(Py_None)) ||
        !put(dict.get(), partitions_key,
             metadata.partitions ? partitions_dict(*metadata.partitions) : Ref::borrow(Py_None))) {
        return nullptr;
    }
    return dict.release();
}

PyTypeObject* asset_wrapper_type() {
    return cached_type(asset_wrapper_type_object, &asset_wrapper_spec);
}

PyObject* asset_wrapper_function(PyObject* obj) noexcept {
    if (asset_wrapper_type_object == nullptr ||
        Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(asset_wrapper_type_object)) {
        return nullptr;
    }
    return as_wrapper(obj)->function;
}

PyObject* new_asset_wrapper(PyObject* function, AssetMetadata metadata) {
    PyTypeObject* type = asset_wrapper_type();
    if (type == nullptr) {
        return nullptr;
    }
    auto* held = new AssetMetadata(std::move(metadata));
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) {
        delete held;
        ensure_error();
        return nullptr;
    }
    AssetWrapperObject* w = as_wrapper(self);
#ifndef PYPY_VERSION
    w->vectorcall = &asset_wrapper_vectorcall;
#endif
    Py_INCREF(function);
    w->function = function;
    w->metadata = held;
    return self;
}

}  // namespace kevro
