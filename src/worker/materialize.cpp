// materialize_asset: runs one asset and leaves value.json and result.json in its output directory.
#include "worker/worker.h"

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "common/args.h"
#include "common/calls.h"
#include "common/contract.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/ref.h"
#include "common/registry.h"
#include "common/text.h"
#include "json/value.h"
#include "json/writer.h"

namespace kevro {
namespace {

// The names that every call looks up, and the constant strings that it passes.
Name mkdir_name("mkdir");
Name parents_name("parents");
Name exist_ok_name("exist_ok");
Name truediv_name("__truediv__");
Name result_json_name("result.json");
Name value_json_name("value.json");
Name loads_name("loads");
Name write_text_name("write_text");
Name utf_8_name("utf-8");
Name exit_name("exit");

// Made when the function is registered, for the calls with keyword arguments.
PyObject* empty_tuple = nullptr;

/// The `__name__` of the type of `obj`, which must be a `str`.
bool type_name(PyObject* obj, std::string& out) {
    return attr_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)), dunder_name, out);
}

/// `path.__truediv__(FILE)`: the path of a file in the output directory.
Ref join(PyObject* path, Name& file) {
    PyObject* name = file.get();
    return name == nullptr ? Ref() : call_method(path, truediv_name, name);
}

/// `path.write_text(text, "utf-8")`, both positional.
bool write_text(PyObject* path, PyObject* text) {
    PyObject* encoding = utf_8_name.get();
    return encoding != nullptr && call_method(path, write_text_name, text, encoding);
}

/// Writes the compact text of `record` to `path`.
bool write_record(PyObject* path, json::Object record) {
    Ref text = Ref::steal(new_str(json::write_compact(json::Value(std::move(record)))));
    return text && write_text(path, text.get());
}

/// `path.mkdir(parents=True, exist_ok=True)`, the keywords in this order in a fresh dict.
bool make_directories(PyObject* path) {
    PyObject* parents = parents_name.get();
    PyObject* exist_ok = exist_ok_name.get();
    Ref kwargs = parents && exist_ok ? checked(PyDict_New()) : Ref();
    if (!kwargs || PyDict_SetItem(kwargs.get(), parents, Py_True) < 0 ||
        PyDict_SetItem(kwargs.get(), exist_ok, Py_True) < 0) {
        ensure_error();
        return false;
    }
    Ref mkdir = attr(path, mkdir_name);
    return mkdir && checked(PyObject_Call(mkdir.get(), empty_tuple, kwargs.get()));
}

struct Arguments {
    PyObject* module_name;
    PyObject* function_name;
    PyObject* output_dir;
    PyObject* input_kwargs_json;  // null when absent or None
    std::string_view module_text;
    std::string_view function_text;
};

/// The run phase. Returns false with the exception that ended the run set; value.json exists
/// from the moment its write returned.
bool run(const Arguments& a, PyObject* importlib, PyObject* inspect, PyObject* json_module,
         PyObject* output_path, PyObject* result_path) {
    Ref module = call_method(importlib, import_module_name, a.module_name);
    Ref target = module ? attr(module.get(), a.function_name) : Ref();
    if (!target) {
        return false;
    }
    Ref callable = original_of(target.get());

    Ref value;
    if (a.input_kwargs_json == nullptr) {
        value = checked(PyObject_CallNoArgs(callable.get()));
    } else {
        Ref kwargs = call_method(json_module, loads_name, a.input_kwargs_json);
        if (!kwargs) {
            return false;
        }
        if (!PyDict_Check(kwargs.get())) {
            return raise_cannot_convert(kwargs.get(), "PyDict");
        }
        value = checked(PyObject_Call(callable.get(), empty_tuple, kwargs.get()));
    }
    if (!value) {
        return false;
    }

    Ref value_path = join(output_path, value_json_name);
    Ref value_text = value_path ? call_method(json_module, dumps_name, value.get()) : Ref();
    if (!value_text || !write_text(value_path.get(), value_text.get())) {
        return false;
    }

    // The description, in this order: where the value went, what was called, what it returned.
    std::string value_path_text;
    if (!str_text(value_path.get(), value_path_text)) {
        return false;
    }
    std::string signature_text;
    {
        Ref signature = call_method(inspect, signature_name, callable.get());
        if (!signature || !str_text(signature.get(), signature_text)) {
            return false;
        }
    }
    std::string result_type;
    if (!type_name(value.get(), result_type)) {
        return false;
    }

    json::Object record;
    record.insert("artifact_format", json::Value::from_string("json"));
    record.insert("function_name", json::Value::from_string(std::string(a.function_text)));
    record.insert("module_path", json::Value::from_string(std::string(a.module_text)));
    record.insert("ok", json::Value::boolean(true));
    record.insert("result_type", json::Value::from_string(std::move(result_type)));
    record.insert("signature", json::Value::from_string(std::move(signature_text)));
    record.insert("value_path", json::Value::from_string(std::move(value_path_text)));
    return write_record(result_path, std::move(record));
}

/// The failure report: describes the pending exception in result.json, then `sys.exit(1)`.
/// Anything that fails here propagates as it is.
PyObject* report_failure(PyObject* result_path) {
    ensure_error();
    json::Object record;
    {
        // The caught exception is dropped, with its traceback, at the end of this block: it
        // is neither raised again nor kept alive by what follows.
        SavedError caught;
        if (caught.value() == nullptr) {
            ensure_error();
            return nullptr;
        }
        std::string error = exception_display_text(caught.value());
        std::string error_type;
        if (!type_name(caught.value(), error_type)) {
            return nullptr;
        }
        record.insert("error", json::Value::from_string(std::move(error)));
        record.insert("error_type", json::Value::from_string(std::move(error_type)));
        record.insert("ok", json::Value::boolean(false));
    }
    if (!write_record(result_path, std::move(record))) {
        return nullptr;
    }
    Ref sys = import_module(sys_name);
    Ref one = sys ? checked(PyLong_FromLong(1)) : Ref();
    if (!one || !call_method(sys.get(), exit_name, one.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* materialize(const Arguments& a) {
    // Preparation: every exception goes to the caller unchanged, and nothing is written.
    Ref importlib, inspect, json_module, pathlib;
    if (!import_in_order({{importlib_name, importlib},
                          {inspect_name, inspect},
                          {json_name, json_module},
                          {pathlib_name, pathlib}})) {
        return nullptr;
    }
    Ref output_path = call_method(pathlib.get(), path_name, a.output_dir);
    if (!output_path || !make_directories(output_path.get())) {
        return nullptr;
    }
    Ref result_path = join(output_path.get(), result_json_name);
    if (!result_path) {
        return nullptr;
    }

    // The run phase catches what the module itself fails with too: running out of memory
    // there is recorded like a MemoryError of the asset's own code.
    if (boundary([&] {
            return run(a, importlib.get(), inspect.get(), json_module.get(), output_path.get(),
                       result_path.get());
        })) {
        Py_RETURN_NONE;
    }
    return report_failure(result_path.get());
}

const Signature materialize_signature(
    "materialize_asset()", {
                               {"module_name", Param::Kind::positional_or_keyword, true},
                               {"function_name", Param::Kind::positional_or_keyword, true},
                               {"output_dir", Param::Kind::positional_or_keyword, true},
                               {"input_kwargs_json", Param::Kind::positional_or_keyword, false},
                           });

/// Takes the text of each argument in parameter order; the first that is not a `str` is
/// reported against its parameter. A None `input_kwargs_json` counts as absent.
bool convert_arguments(Arguments& a) {
    std::string_view ignored;
    if (!extract_str(a.module_name, a.module_text)) {
        return convert_failed("module_name");
    }
    if (!extract_str(a.function_name, a.function_text)) {
        return convert_failed("function_name");
    }
    if (!extract_str(a.output_dir, ignored)) {
        return convert_failed("output_dir");
    }
    if (a.input_kwargs_json == Py_None) {
        a.input_kwargs_json = nullptr;
    }
    if (a.input_kwargs_json != nullptr && !extract_str(a.input_kwargs_json, ignored)) {
        return convert_failed("input_kwargs_json");
    }
    return true;
}

PyObject* materialize_asset(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = materialize_signature.bind(args, nargs, kwnames);
    if (!bound) {
        return nullptr;
    }
    auto [module_name, function_name, output_dir, input_kwargs_json] = *bound;
    Arguments a{module_name, function_name, output_dir, input_kwargs_json, {}, {}};
    return convert_arguments(a) ? materialize(a) : nullptr;
}

PyMethodDef materialize_asset_def = fast_call_def<&materialize_asset>(
    "materialize_asset",
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n--\n\n"
    "Materialize a single asset function. Called by the `python -m kevro.worker` CLI stub.\n\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.");

}  // namespace

int add_worker(PyObject* module) {
    if (empty_tuple == nullptr) {
        empty_tuple = PyTuple_New(0);
        if (empty_tuple == nullptr) {
            ensure_error();
            return -1;
        }
    }
    return add_function(module, &materialize_asset_def);
}

}  // namespace kevro
