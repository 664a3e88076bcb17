// `asset(...)`: checks the declaration of one asset and returns the decorator that owns it.
#include <string>
#include <string_view>

#include "asset/asset.h"
#include "asset/dict_walk.h"
#include "asset/metadata.h"
#include "common/args.h"
#include "common/calls.h"
#include "common/contract.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/ref.h"
#include "common/registry.h"
#include "common/text.h"

namespace kevro {

namespace {

const char capsule_name[] = "kevro.AssetMetadata";

void destroy_metadata(PyObject* capsule) noexcept {
    delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, capsule_name));
}

/// The reference string of the upstream function `function` (the undecorated one): its
/// resolved source path, ":", its `__name__`.
bool asset_reference(PyObject* function, std::string& out) {
    // Both modules are asked for on every reference, before anything is read of the function.
    Ref inspect = import_module(inspect_name);
    Ref pathlib = inspect ? import_module(pathlib_name) : Ref();
    if (!pathlib) {
        return false;
    }
    std::string path;
    std::string name;
    if (!source_path(inspect.get(), pathlib.get(), function, MissingSource::raise, path) ||
        !attr_text(function, dunder_name, name)) {
        return false;
    }
    out.reserve(path.size() + 1 + name.size());
    out.assign(path);
    out += ':';
    out += name;
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
        return asset_reference(original_of(value).get(), out);
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

/// Walks the dict given for `inputs` or `partitions`: it must be a dict (or a subclass), and
/// each key a `str`, checked before its value. `each(key, value, walk)` takes one entry and
/// returns false with an exception set to end the walk.
template <class Each>
bool walk_entries(PyObject* dict, Each&& each) {
    if (!PyDict_Check(dict)) {
        return raise_cannot_convert(dict, "PyDict");
    }
    DictWalk walk(dict);
    if (!walk.start()) {
        return false;
    }
    for (;;) {
        Ref key, value;
        int r = walk.next(key, value);
        if (r <= 0) {
            return r == 0;
        }
        // The key's view stays valid while the entry is handled: the key object is held, and a
        // str's text never changes.
        std::string_view text;
        if (!extract_str(key.get(), text) || !each(text, value.get(), walk)) {
            return false;
        }
    }
}

bool read_inputs(PyObject* inputs, OrderedMap<std::string>& out) {
    return walk_entries(inputs, [&](std::string_view param, PyObject* value, DictWalk& walk) {
        if (!PyUnicode_CheckExact(value)) {
            walk.ran_python();  // attribute lookups and the upstream's source file
        }
        std::string reference;
        if (!resolve_input(value, reference)) {
            return false;
        }
        out.put(std::string(param), std::move(reference));
        return true;
    });
}

bool read_partitions(PyObject* partitions, OrderedMap<PartitionSpec>& out) {
    PyTypeObject* marker = partitions_type();
    if (marker == nullptr) {
        return false;
    }
    return walk_entries(partitions, [&](std::string_view dimension, PyObject* value, DictWalk&) {
        if (!PyObject_TypeCheck(value, marker)) {
            PyErr_SetString(PyExc_TypeError,
                            "partition values must be partitions([...]) instances");
            return false;
        }
        out.put(std::string(dimension), PartitionSpec{json::Value(partitions_values(value))});
        return true;
    });
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

PyObject* decorator_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject*) noexcept {
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

/// None given for an argument counts as not giving it.
PyObject* unless_none(PyObject* arg) { return arg == Py_None ? nullptr : arg; }

PyObject* asset_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = asset_signature.bind(args, nargs, kwnames);
    if (!bound) {
        return nullptr;
    }
    auto [name, inputs, partitions, serializer] = *bound;
    // The two texts are checked first, in parameter order except that the maps wait: a wrong
    // `serializer` is reported before anything in `inputs` runs code of the caller's.
    AssetMetadata metadata;
    if (!optional_text(name, "name", metadata.name) ||
        !optional_text(serializer, "serializer", metadata.serializer)) {
        return nullptr;
    }
    // Then the maps: the upstream references before the partition markers, so that an error
    // in `inputs` is the one reported when both are wrong.
    inputs = unless_none(inputs);
    partitions = unless_none(partitions);
    if ((inputs != nullptr && !read_inputs(inputs, metadata.inputs.emplace())) ||
        (partitions != nullptr && !read_partitions(partitions, metadata.partitions.emplace()))) {
        return nullptr;
    }
    // The decorator owns the record through its `__self__`, a capsule that deletes it.
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

PyMethodDef asset_def = fast_call_def<&asset_impl>(
    "asset",
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
    "  Reserved for future use.  Leave unset.");

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
