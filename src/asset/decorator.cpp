// `asset(...)`: checks the declaration of one asset and returns the decorator that owns it.
#include <string>
#include <string_view>

#include "asset/asset.h"
#include "asset/dict_walk.h"
#include "asset/metadata.h"
#include "asset/names.h"
#include "common/args.h"
#include "common/errors.h"
#include "common/ref.h"
#include "common/registry.h"
#include "common/text.h"

namespace kevro {

namespace {

const char capsule_name[] = "kevro.AssetMetadata";

void destroy_metadata(PyObject* capsule) {
    delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, capsule_name));
}

Name kevro_kind_name("__kevro_kind__");
Name kevro_original_name("__kevro_original__");
Name getsourcefile_name("getsourcefile");
Name path_name("Path");
Name resolve_name("resolve");
Name dunder_name("__name__");

/// `obj.name()` with no arguments; a new reference or null.
PyObject* call_method0(PyObject* obj, Name& name) {
    Ref method = Ref::steal(get_attr(obj, name));
    return method ? PyObject_CallNoArgs(method.get()) : nullptr;
}

/// `function(arg)` for `module.name`; a new reference or null.
PyObject* call_attr1(PyObject* module, Name& name, PyObject* arg) {
    Ref function = Ref::steal(get_attr(module, name));
    return function ? PyObject_CallOneArg(function.get(), arg) : nullptr;
}

/// True when `value` carries the asset mark: a `__kevro_kind__` that is the str "asset". A
/// lookup that raises, of whatever kind, only means "not an asset".
bool is_asset(PyObject* value) {
    Ref kind = Ref::steal(get_attr(value, kevro_kind_name));
    if (!kind) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(kind.get()) &&
           PyUnicode_CompareWithASCIIString(kind.get(), "asset") == 0;
}

/// The reference string of the upstream function `function` (the undecorated one): its
/// resolved source path, ":", its `__name__`.
bool asset_reference(PyObject* function, std::string& out) {
    // Step 2.
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        ensure_error();
        return false;
    }
    Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
    if (!pathlib) {
        ensure_error();
        return false;
    }
    // Step 3: str(pathlib.Path(inspect.getsourcefile(F)).resolve()).
    Ref source = Ref::steal(call_attr1(inspect.get(), getsourcefile_name, function));
    Ref path = source ? Ref::steal(call_attr1(pathlib.get(), path_name, source.get())) : Ref();
    Ref resolved = path ? Ref::steal(call_method0(path.get(), resolve_name)) : Ref();
    Ref text = resolved ? Ref::steal(PyObject_Str(resolved.get())) : Ref();
    std::string_view path_text;
    if (!text || !utf8_of(text.get(), path_text)) {
        ensure_error();
        return false;
    }
    // Step 4.
    Ref name = Ref::steal(get_attr(function, dunder_name));
    std::string_view name_text;
    if (!name || !extract_str(name.get(), name_text)) {
        ensure_error();
        return false;
    }
    // Step 5.
    out.reserve(path_text.size() + 1 + name_text.size());
    out.assign(path_text);
    out += ':';
    out += name_text;
    return true;
}

/// Resolves one `inputs` value into its reference string.
bool resolve_input(PyObject* value, std::string& out) {
    // An exact `str` has no `__kevro_kind__`. Where the interpreter keeps the class immutable,
    // an AssetWrapper is an asset whose `__kevro_original__` is its function (the class can be
    // neither subclassed nor changed). Both skip the lookups, with the same outcome.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (PyObject* held = asset_wrapper_function(value)) {
        return asset_reference(held, out);
    }
#endif
    if (!PyUnicode_CheckExact(value) && is_asset(value)) {
        // Step 1.1: the undecorated function, or the asset itself when it has none.
        Ref function = Ref::steal(get_attr(value, kevro_original_name));
        if (!function) {
            PyErr_Clear();
            function = Ref::borrow(value);
        }
        return asset_reference(function.get(), out);
    }
    if (!PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "inputs values must be @asset-decorated functions or asset ref strings");
        return false;
    }
    std::string_view text;
    if (!utf8_of(value, text)) {
        return false;
    }
    out.assign(text);
    return true;
}

bool read_inputs(PyObject* inputs, OrderedMap<std::string>& out) {
    if (!PyDict_Check(inputs)) {
        return raise_cannot_convert(inputs, "PyDict");
    }
    DictWalk walk(inputs);
    if (!walk.start()) {
        return false;
    }
    for (;;) {
        Ref key, value;
        int r = walk.next(key, value);
        if (r <= 0) {
            return r == 0;
        }
        std::string_view param;
        if (!extract_str(key.get(), param)) {
            return false;
        }
        std::string reference;
        if (!PyUnicode_CheckExact(value.get())) {
            walk.ran_python();  // attribute lookups and the upstream's source file
        }
        if (!resolve_input(value.get(), reference)) {
            return false;
        }
        // The key's view stays valid: the key object is held, and a str's text never changes.
        out.put(std::string(param), std::move(reference));
    }
}

bool read_partitions(PyObject* partitions, OrderedMap<PartitionSpec>& out) {
    if (!PyDict_Check(partitions)) {
        return raise_cannot_convert(partitions, "PyDict");
    }
    PyTypeObject* marker = partitions_type();
    if (marker == nullptr) {
        return false;
    }
    DictWalk walk(partitions);
    if (!walk.start()) {
        return false;
    }
    for (;;) {
        Ref key, value;
        int r = walk.next(key, value);
        if (r <= 0) {
            return r == 0;
        }
        std::string_view dimension;
        if (!extract_str(key.get(), dimension)) {
            return false;
        }
        if (!PyObject_TypeCheck(value.get(), marker)) {
            PyErr_SetString(PyExc_TypeError,
                            "partition values must be partitions([...]) instances");
            return false;
        }
        out.put(std::string(dimension), PartitionSpec{json::Value(partitions_values(value.get()))});
    }
}

/// Takes the text of an optional `str` argument; None counts as absent.
bool optional_text(PyObject* arg, const char* param, std::optional<std::string>& out) {
    if (arg == nullptr || arg == Py_None) {
        return true;
    }
    std::string_view text;
    if (!extract_str(arg, text)) {
        return convert_failed(param);
    }
    out.emplace(text);
    return true;
}

// asset_decorator(function): exactly one positional argument; keywords are ignored.
PyObject* decorator_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError,
                        "asset() decorator expects exactly one argument (the function)");
        return nullptr;
    }
    auto* metadata = static_cast<AssetMetadata*>(PyCapsule_GetPointer(self, capsule_name));
    if (metadata == nullptr) {
        ensure_error();
        return nullptr;
    }
    return new_asset_wrapper(args[0], *metadata);
}

PyObject* decorator_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    return boundary([&] { return decorator_impl(self, args, nargs); });
}

PyMethodDef decorator_def = {
    "asset_decorator",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decorator_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "",
};

const Signature asset_signature("asset()", {
                                               {"name", Param::Kind::keyword_only, false},
                                               {"inputs", Param::Kind::keyword_only, false},
                                               {"partitions", Param::Kind::keyword_only, false},
                                               {"serializer", Param::Kind::keyword_only, false},
                                           });

PyObject* asset_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Step 1.
    PyObject* bound[4];
    if (!asset_signature.bind(args, nargs, kwnames, bound)) {
        return nullptr;
    }
    AssetMetadata metadata;
    // Steps 2 to 4: the two texts; the maps wait, and None counts as absent.
    if (!optional_text(bound[0], "name", metadata.name) ||
        !optional_text(bound[3], "serializer", metadata.serializer)) {
        return nullptr;
    }
    PyObject* inputs = bound[1] == Py_None ? nullptr : bound[1];
    PyObject* partitions = bound[2] == Py_None ? nullptr : bound[2];
    // Step 5.
    if (inputs != nullptr && !read_inputs(inputs, metadata.inputs.emplace())) {
        return nullptr;
    }
    // Step 6.
    if (partitions != nullptr && !read_partitions(partitions, metadata.partitions.emplace())) {
        return nullptr;
    }
    // Step 7: the decorator owns the record through its `__self__`, a capsule.
    auto* owned = new AssetMetadata(std::move(metadata));
    Ref capsule = Ref::steal(PyCapsule_New(owned, capsule_name, &destroy_metadata));
    if (!capsule) {
        delete owned;
        ensure_error();
        return nullptr;
    }
    PyObject* decorator = PyCFunction_NewEx(&decorator_def, capsule.get(), nullptr);
    if (decorator == nullptr) {
        ensure_error();
    }
    return decorator;
}

PyObject* asset_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&] { return asset_impl(args, nargs, kwnames); });
}

PyMethodDef asset_def = {
    "asset",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&asset_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n--\n\nDecorator that "
    "registers a Python function as a kevro asset.\n\nUsage\n-----\n    from kevro import "
    "asset\n\n    @asset()\n    def my_data():\n        return {\"value\": "
    "42}\n\nParameters\n----------\nname : str, optional\n    Override the asset's display name / "
    "continuity key.\n    Defaults to ``\"<file>:<function_name>\"``.\ninputs : dict[str, asset], "
    "optional\n    Declare upstream dependencies.  Map parameter names to other\n    "
    "``@asset``-decorated functions.  Kevro will materialize upstream\n    assets first and pass "
    "their values as keyword arguments.\n\n    Example::\n\n        @asset()\n        def raw(): "
    "return [1, 2, 3]\n\n        @asset(inputs={\"data\": raw})\n        def processed(data): "
    "return [x * 2 for x in data]\n\npartitions : dict[str, partitions(...)], optional\n    "
    "Declare a partitioned asset.  Each dimension maps to a\n    ``partitions([...])`` call that "
    "enumerates the static partition keys.\n    Kevro will create one materialization job per "
    "partition combination.\n\n    Example::\n\n        from kevro import asset, partitions\n\n    "
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n        def "
    "prices(ticker: str):\n            return fetch_price(ticker)\n\nserializer : str, optional\n  "
    "  Reserved for future use.  Leave unset.",
};

}  // namespace

int add_asset(PyObject* module) {
    // A type is made when it is first asked for: the wrapper's before the marker's.
    if (register_type(module, "AssetWrapper", asset_wrapper_type()) < 0 ||
        register_type(module, "Partitions", partitions_type()) < 0 ||
        add_function(module, &asset_def) < 0 || add_function(module, &partitions_def) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace kevro
