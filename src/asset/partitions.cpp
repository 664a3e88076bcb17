// `partitions(values)` and the `Partitions` marker that holds the keys of one dimension.
#include <string>
#include <string_view>

#include "asset/metadata.h"
#include "asset/sealed.h"
#include "common/args.h"
#include "common/errors.h"
#include "common/ref.h"
#include "common/registry.h"
#include "common/text.h"
#include "json/parser.h"
#include "pyjson/from_python.h"

namespace kevro {

namespace {

struct PartitionsObject {
    PyObject ob_base;     // the object header
    json::Array* values;  // owned; set once at creation
};

PartitionsObject* as_partitions(PyObject* self) {
    return reinterpret_cast<PartitionsObject*>(self);
}

void release_values(PyObject* self) noexcept { delete as_partitions(self)->values; }

PyObject* partitions_repr(PyObject* self) noexcept {
    return boundary([&]() -> PyObject* {
        std::string text = "Partitions(";
        text += std::to_string(as_partitions(self)->values->size());
        text += " values)";
        return new_str(text);
    });
}

const char* const no_getsets[] = {nullptr};

int partitions_setattro(PyObject* self, PyObject* name, PyObject*) noexcept {
    return refuse_setattr(self, name, no_getsets);
}

PyType_Slot partitions_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Marker type returned by `partitions([...])`. Stores the static values.")},
    {Py_tp_new, reinterpret_cast<void*>(&sealed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&sealed_dealloc<&release_values>)},
    {Py_tp_repr, reinterpret_cast<void*>(&partitions_repr)},
    {Py_tp_setattro, reinterpret_cast<void*>(&partitions_setattro)},
#ifdef PYPY_VERSION
    {Py_tp_getattro, reinterpret_cast<void*>(&sealed_getattro)},
    {Py_tp_methods, sealed_methods<&partitions_type>},
#endif
    {0, nullptr},
};

PyType_Spec partitions_spec =
    sealed_spec<PartitionsObject>("builtins.Partitions", partitions_slots);

PyObject* partitions_type_object = nullptr;

/// A new marker that takes over `values`; null with an exception set.
PyObject* new_partitions(json::Array values) {
    PyTypeObject* type = partitions_type();
    if (type == nullptr) {
        return nullptr;
    }
    auto* held = new json::Array(std::move(values));
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) {
        delete held;
        ensure_error();
        return nullptr;
    }
    as_partitions(self)->values = held;
    return self;
}

/// Stores one list item: `json.dumps(item)`, then the parser.
bool store_key(PyObject* dumps, PyObject* item, json::Array& out) {
    json::Value value;
    if (!dumps_and_parse(dumps, item, value, PyExc_ValueError, "invalid partition value: ")) {
        return false;
    }
    out.push_back(std::move(value));
    return true;
}

const Signature partitions_signature("partitions()",
                                     {
                                         {"values", Param::Kind::positional_or_keyword, true},
                                     });

PyObject* partitions_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = partitions_signature.bind(args, nargs, kwnames);
    if (!bound) {
        return nullptr;
    }
    // `values` must be a list or a list subclass, before anything is imported.
    auto [values] = *bound;
    if (!PyList_Check(values)) {
        raise_cannot_convert(values, "PyList");
        convert_failed("values");
        return nullptr;
    }
    // The keys are encoded with the `json` module as it is at this call.
    Ref dumps = json_dumps();
    if (!dumps) {
        return nullptr;
    }
    // Each item in turn, by index over the list's storage (a subclass's own iteration is not
    // used). `json.dumps` may run code that changes the list, so the bound is taken anew before
    // each item and never exceeds the starting length.
    json::Array keys;
    const Py_ssize_t start = PyList_GET_SIZE(values);
    keys.reserve(static_cast<std::size_t>(start));
    for (Py_ssize_t i = 0;; ++i) {
        Py_ssize_t bound_now = PyList_GET_SIZE(values);
        if (bound_now > start) {
            bound_now = start;
        }
        if (i >= bound_now) {
            break;
        }
        Ref item = Ref::borrow(PyList_GET_ITEM(values, i));
        if (!store_key(dumps.get(), item.get(), keys)) {
            return nullptr;
        }
    }
    // The marker is made only once every key is stored: a refused key leaves nothing behind.
    return new_partitions(std::move(keys));
}

}  // namespace

PyMethodDef partitions_def = fast_call_def<&partitions_impl>(
    "partitions",
    "partitions(values)\n--\n\nDeclare a static partition universe for use with "
    "``@asset(partitions=...)``.\n\nExample::\n\n    from kevro import asset, partitions\n\n    "
    "@asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n    def "
    "prices(ticker: str): ...");

PyTypeObject* partitions_type() { return cached_type(partitions_type_object, &partitions_spec); }

const json::Array& partitions_values(PyObject* obj) { return *as_partitions(obj)->values; }

}  // namespace kevro
