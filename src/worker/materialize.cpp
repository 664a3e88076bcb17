// materialize_asset: runs one asset and leaves value.json and result.json in its output directory.
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "worker/worker.h"

#include "common/args.h"
#include "common/errors.h"
#include "common/ref.h"
#include "common/registry.h"
#include "common/text.h"
#include "json/value.h"
#include "json/writer.h"

namespace kevro {
namespace {

// The constant strings that every call passes or looks up, interned once per process when the
// function is registered, so that a call crosses into the interpreter only for the calls that
// its contract names (a crossing costs about half a microsecond on PyPy).
enum Name : std::size_t {
    name_Path,
    name_mkdir,
    name_parents,
    name_exist_ok,
    name_truediv,
    name_result_json,
    name_value_json,
    name_import_module,
    name_kevro_original,
    name_loads,
    name_dumps,
    name_write_text,
    name_utf_8,
    name_signature,
    name_dunder_name,
    name_exit,
    name_importlib,
    name_inspect,
    name_json,
    name_pathlib,
    name_sys,
    name_count,
};

constexpr const char* name_texts[name_count] = {
    "Path",       "mkdir",         "parents",
    "exist_ok",   "__truediv__",   "result.json",
    "value.json", "import_module", "__kevro_original__",
    "loads",      "dumps",         "write_text",
    "utf-8",      "signature",     "__name__",
    "exit",       "importlib",     "inspect",
    "json",       "pathlib",       "sys",
};

PyObject* names[name_count] = {};
PyObject* empty_tuple = nullptr;

bool make_constants() {
    if (!intern_all(name_texts, names, name_count)) {
        return false;
    }
    if (empty_tuple == nullptr) {
        empty_tuple = PyTuple_New(0);
        if (empty_tuple == nullptr) {
            ensure_error();
            return false;
        }
    }
    return true;
}

Ref import(Name module) { return checked(PyImport_Import(names[module])); }

Ref get_attr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

/// `obj.name(arg)`: the method is looked up by name on the object, as Python does.
Ref call_method(PyObject* obj, Name name, PyObject* arg) {
    return checked(PyObject_CallMethodOneArg(obj, names[name], arg));
}

/// `obj.name(a, b)`, both positional.
Ref call_method(PyObject* obj, Name name, PyObject* a, PyObject* b) {
    PyObject* args[] = {obj, a, b};
    return checked(PyObject_VectorcallMethod(names[name], args, 3, nullptr));
}

/// str() of `obj` as UTF-8 text.
bool str_text(PyObject* obj, std::string& out) {
    Ref text = checked(PyObject_Str(obj));
    std::string_view view;
    if (!text || !utf8_of(text.get(), view)) {
        return false;
    }
    out.assign(view);
    return true;
}

/// The `__name__` of a type, which must be a `str`.
bool type_name(PyObject* type, std::string& out) {
    Ref name = get_attr(type, names[name_dunder_name]);
    std::string_view view;
    if (!name || !extract_str(name.get(), view)) {
        return false;
    }
    out.assign(view);
    return true;
}

/// `path.write_text(TEXT, "utf-8")` with the compact text of `record`. A failure of the writer
/// itself becomes RuntimeError "JSON error: ...".
bool write_record(PyObject* path, json::Object record) {
    std::string text;
    try {
        text = json::write_compact(json::Value(std::move(record)));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "JSON error: %s", e.what());
        return false;
    }
    Ref str = Ref::steal(new_str(text));
    return str && call_method(path, name_write_text, str.get(), names[name_utf_8]);
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
    Ref module = call_method(importlib, name_import_module, a.module_name);
    if (!module) {
        return false;
    }
    Ref target = get_attr(module.get(), a.function_name);
    if (!target) {
        return false;
    }
    // One level of unwrapping; a lookup that raises anything at all means "not an asset".
    Ref callable = Ref::steal(PyObject_GetAttr(target.get(), names[name_kevro_original]));
    if (!callable) {
        PyErr_Clear();
        callable = std::move(target);
    }

    Ref value;
    if (a.input_kwargs_json == nullptr) {
        value = checked(PyObject_CallNoArgs(callable.get()));
    } else {
        Ref kwargs = call_method(json_module, name_loads, a.input_kwargs_json);
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

    Ref value_path = call_method(output_path, name_truediv, names[name_value_json]);
    if (!value_path) {
        return false;
    }
    Ref value_text = call_method(json_module, name_dumps, value.get());
    if (!value_text ||
        !call_method(value_path.get(), name_write_text, value_text.get(), names[name_utf_8])) {
        return false;
    }

    // The description, in this order: where the value went, what was called, what it returned.
    std::string value_path_text;
    if (!str_text(value_path.get(), value_path_text)) {
        return false;
    }
    std::string signature_text;
    {
        Ref signature = call_method(inspect, name_signature, callable.get());
        if (!signature || !str_text(signature.get(), signature_text)) {
            return false;
        }
    }
    std::string result_type;
    if (!type_name(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), result_type)) {
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

/// The pending exception, normalised and taken off the indicator; its traceback is dropped.
/// (Handing the traceback back to the exception from C, as a full restore would, keeps the
/// exception and every frame of its traceback alive for good on PyPy.)
Ref take_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

/// The failure report: describes the pending exception in result.json, then `sys.exit(1)`.
/// Anything that fails here propagates as it is.
PyObject* report_failure(PyObject* result_path) {
    ensure_error();
    json::Object record;
    {
        // The caught exception is dropped at the end of this block: it is neither raised
        // again nor kept alive by what follows.
        Ref caught = take_exception();
        if (!caught) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            return nullptr;
        }
        std::string error = exception_display_text(caught.get());
        std::string error_type;
        if (!type_name(reinterpret_cast<PyObject*>(Py_TYPE(caught.get())), error_type)) {
            return nullptr;
        }
        record.insert("error", json::Value::from_string(std::move(error)));
        record.insert("error_type", json::Value::from_string(std::move(error_type)));
        record.insert("ok", json::Value::boolean(false));
    }
    if (!write_record(result_path, std::move(record))) {
        return nullptr;
    }
    Ref sys = import(name_sys);
    if (!sys) {
        return nullptr;
    }
    Ref one = checked(PyLong_FromLong(1));
    if (!one || !call_method(sys.get(), name_exit, one.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* materialize(const Arguments& a) {
    // Preparation: every exception goes to the caller unchanged, and nothing is written.
    Ref importlib = import(name_importlib);
    if (!importlib) {
        return nullptr;
    }
    Ref inspect = import(name_inspect);
    if (!inspect) {
        return nullptr;
    }
    Ref json_module = import(name_json);
    if (!json_module) {
        return nullptr;
    }
    Ref pathlib = import(name_pathlib);
    if (!pathlib) {
        return nullptr;
    }
    Ref output_path = call_method(pathlib.get(), name_Path, a.output_dir);
    if (!output_path) {
        return nullptr;
    }
    {
        Ref kwargs = checked(PyDict_New());
        if (!kwargs || PyDict_SetItem(kwargs.get(), names[name_parents], Py_True) < 0 ||
            PyDict_SetItem(kwargs.get(), names[name_exist_ok], Py_True) < 0) {
            ensure_error();
            return nullptr;
        }
        Ref mkdir = get_attr(output_path.get(), names[name_mkdir]);
        if (!mkdir || !checked(PyObject_Call(mkdir.get(), empty_tuple, kwargs.get()))) {
            return nullptr;
        }
    }
    Ref result_path = call_method(output_path.get(), name_truediv, names[name_result_json]);
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

PyObject* materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* bound[4];
        if (!materialize_signature.bind(args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Arguments a{bound[0], bound[1], bound[2], bound[3], {}, {}};
        std::string_view ignored;
        if (!extract_str(a.module_name, a.module_text)) {
            convert_failed("module_name");
            return nullptr;
        }
        if (!extract_str(a.function_name, a.function_text)) {
            convert_failed("function_name");
            return nullptr;
        }
        if (!extract_str(a.output_dir, ignored)) {
            convert_failed("output_dir");
            return nullptr;
        }
        if (a.input_kwargs_json == Py_None) {
            a.input_kwargs_json = nullptr;
        }
        if (a.input_kwargs_json != nullptr && !extract_str(a.input_kwargs_json, ignored)) {
            convert_failed("input_kwargs_json");
            return nullptr;
        }
        return materialize(a);
    });
}

PyMethodDef materialize_asset_def = {
    "materialize_asset",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&materialize_asset)),
    METH_FASTCALL | METH_KEYWORDS,
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n--\n\n"
    "Materialize a single asset function. Called by the `python -m kevro.worker` CLI stub.\n\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.",
};

}  // namespace

int add_worker(PyObject* module) {
    if (!make_constants()) {
        return -1;
    }
    return add_function(module, &materialize_asset_def);
}

}  // namespace kevro
