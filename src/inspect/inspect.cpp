// Module inspection: `inspect_modules(modules)` imports the named modules, finds their assets by
// the `__kevro_kind__` mark and returns the inspection report as one compact JSON text.
#include "inspect/inspect.h"

#include <Python.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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
#include "pyjson/from_python.h"

namespace kevro {
namespace {

// Names used on every call.
Name textwrap_name("textwrap");
Name builtins_name("builtins");
Name version_info_name("version_info");
Name major_name("major");
Name minor_name("minor");
Name micro_name("micro");
Name getsource_name("getsource");
Name getmembers_name("getmembers");
Name signature_class_name("Signature");
Name empty_name("empty");
Name return_annotation_name("return_annotation");
Name dedent_name("dedent");
Name strip_name("strip");
Name isinstance_name("isinstance");

/// The standard modules of one call, imported at its start in this order.
struct Stdlib {
    Ref importlib;
    Ref inspect;
    Ref textwrap;
    Ref sys;
    Ref pathlib;
};

bool import_stdlib(Stdlib& lib) {
    return import_in_order({{importlib_name, lib.importlib},
                            {inspect_name, lib.inspect},
                            {textwrap_name, lib.textwrap},
                            {sys_name, lib.sys},
                            {pathlib_name, lib.pathlib}});
}

/// The first thing a call does: `modules` becomes a list of UTF-8 names, so that a wrong
/// argument fails before anything is imported.
/// Every failure that is exactly a TypeError is reported against the argument.
bool convert_modules(PyObject* modules, std::vector<std::string>& out) {
    if (PyUnicode_Check(modules)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return convert_failed("modules");
    }
    if (!PySequence_Check(modules)) {
        raise_cannot_convert(modules, "Sequence");
        return convert_failed("modules");
    }
    // The length only sizes the list; a sequence that fails to tell it, or claims an absurd
    // one, is still read to its end by iteration.
    Py_ssize_t size = PySequence_Size(modules);
    if (size < 0) {
        PyErr_Clear();
    } else {
        out.reserve(std::min<std::size_t>(static_cast<std::size_t>(size), 4096));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(modules));
    if (!iterator) {
        ensure_error();
        return convert_failed("modules");
    }
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                return convert_failed("modules");
            }
            return true;
        }
        std::string_view text;
        if (!extract_str(item.get(), text)) {
            return convert_failed("modules");
        }
        out.emplace_back(text);
    }
}

/// "major.minor.micro" from `sys.version_info`, each part read as a signed 64-bit integer.
bool version_text(PyObject* sys, std::string& out) {
    Ref info = attr(sys, version_info_name);
    if (!info) {
        return false;
    }
    for (Name* part : {&major_name, &minor_name, &micro_name}) {
        Ref value = attr(info.get(), *part);
        if (!value) {
            return false;
        }
        Ref index = checked(PyNumber_Index(value.get()));
        if (!index) {
            return false;
        }
        long long number = PyLong_AsLongLong(index.get());
        if (number == -1 && PyErr_Occurred()) {
            return false;
        }
        if (!out.empty()) {
            out += '.';
        }
        out += std::to_string(number);
    }
    return true;
}

/// Writes the whole text to file descriptor 2, bypassing `sys.stderr`; a short write goes on
/// with the rest, an interrupted one is retried, any other failure gives up silently.
void write_stderr(std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(2, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (written == 0) {
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

/// Takes the pending exception of a failed import and reports it as the warning line.
void warn_skipped(const std::string& module_name) {
    SavedError error;
    std::string line = "kevro: skipping module '";
    line += module_name;
    line += "': ";
    if (error.value() != nullptr) {
        line += exception_display_text(error.value());
    } else if (error.type() != nullptr && PyType_Check(error.type())) {
        line += type_qualname(reinterpret_cast<PyTypeObject*>(error.type()));
        line += ": ";
    }
    line += '\n';
    write_stderr(line);
}

/// getsource, dedent, strip, then one line feed: the source text of a module or a function.
bool normalised_source(const Stdlib& lib, PyObject* obj, std::string& out) {
    Ref source = call_method(lib.inspect.get(), getsource_name, obj);
    if (!source) {
        return false;
    }
    Ref dedented = call_method(lib.textwrap.get(), dedent_name, source.get());
    if (!dedented) {
        return false;
    }
    Ref stripped = call_method(dedented.get(), strip_name);
    std::string_view text;
    if (!stripped || !extract_str(stripped.get(), text)) {
        return false;
    }
    out.reserve(text.size() + 1);
    out.assign(text);
    out += '\n';
    return true;
}

/// null without a return annotation; a class's `__name__`; otherwise `str()` of the annotation.
bool return_type_of(const Stdlib& lib, PyObject* function, json::Value& out) {
    Ref signature = call_method(lib.inspect.get(), signature_name, function);
    Ref annotation = signature ? attr(signature.get(), return_annotation_name) : Ref();
    Ref signature_class = annotation ? attr(lib.inspect.get(), signature_class_name) : Ref();
    Ref empty = signature_class ? attr(signature_class.get(), empty_name) : Ref();
    if (!empty) {
        return false;
    }
    if (annotation.get() == empty.get()) {
        out = json::Value::null();
        return true;
    }
    Ref builtins = import_module(builtins_name);
    Ref is_class = builtins ? call_method(builtins.get(), isinstance_name, annotation.get(),
                                          reinterpret_cast<PyObject*>(&PyType_Type))
                            : Ref();
    if (!is_class) {
        return false;
    }
    int truth = PyObject_IsTrue(is_class.get());
    if (truth < 0) {
        ensure_error();
        return false;
    }
    std::string text;
    if (truth != 0 ? !attr_text(annotation.get(), dunder_name, text)
                   : !str_text(annotation.get(), text)) {
        return false;
    }
    out = json::Value::from_string(std::move(text));
    return true;
}

/// The state shared by the records of one module.
struct ModuleContext {
    const Stdlib& lib;
    PyObject* module;
    const std::string& module_source;
    const std::string& python_version;
};

/// Builds the record of one asset member and appends it.
bool add_record(const ModuleContext& ctx, PyObject* member, json::Array& records) {
    Ref metadata_object = attr(member, kevro_metadata_name);
    if (!metadata_object) {
        return false;
    }
    json::Value metadata;
    if (!python_dict_to_json(metadata_object.get(), metadata)) {
        return false;
    }
    metadata_object.reset();

    // What is read of the undecorated function comes in the order in which the record's
    // readers learn of it: the source, the name, the file, the return type.
    Ref function = original_of(member);
    std::string function_source;
    std::string function_name;
    std::string file_path;
    json::Value return_type;
    if (!normalised_source(ctx.lib, function.get(), function_source) ||
        !attr_text(function.get(), dunder_name, function_name) ||
        !source_path(ctx.lib.inspect.get(), ctx.lib.pathlib.get(), function.get(),
                     MissingSource::empty, file_path) ||
        !return_type_of(ctx.lib, function.get(), return_type)) {
        return false;
    }

    // The module's name is read anew for each record, after everything of the function.
    std::string module_name;
    if (!attr_text(ctx.module, dunder_name, module_name)) {
        return false;
    }

    // The members in key order, so that each insertion lands at the end.
    json::Object record;
    record.insert("decorator_metadata", std::move(metadata));
    record.insert("file_path", json::Value::from_string(std::move(file_path)));
    record.insert("function_name", json::Value::from_string(std::move(function_name)));
    record.insert("function_source", json::Value::from_string(std::move(function_source)));
    record.insert("kind", json::Value::from_string("asset"));
    record.insert("module_path", json::Value::from_string(std::move(module_name)));
    record.insert("module_source", json::Value::from_string(ctx.module_source));
    record.insert("python_version", json::Value::from_string(ctx.python_version));
    record.insert("return_type", std::move(return_type));
    records.emplace_back(std::move(record));
    return true;
}

/// Appends the records of every asset among the members of one imported module.
bool inspect_module(const Stdlib& lib, PyObject* module, const std::string& python_version,
                    json::Array& records) {
    std::string module_source;
    if (!normalised_source(lib, module, module_source)) {
        return false;
    }
    Ref members = call_method(lib.inspect.get(), getmembers_name, module);
    if (!members) {
        return false;
    }
    Ref iterator = checked(PyObject_GetIter(members.get()));
    if (!iterator) {
        return false;
    }
    const ModuleContext ctx{lib, module, module_source, python_version};
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(entry.get())) {
            return raise_cannot_convert(entry.get(), "PyTuple");
        }
        // The entry holds the member for as long as it is looked at.
        PyObject* member = PyTuple_GetItem(entry.get(), 1);
        if (member == nullptr) {
            ensure_error();
            return false;
        }
        if (is_asset(member) && !add_record(ctx, member, records)) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

PyObject* run(PyObject* modules) {
    std::vector<std::string> module_names;
    if (!convert_modules(modules, module_names)) {
        return nullptr;
    }
    Stdlib lib;
    if (!import_stdlib(lib)) {
        return nullptr;
    }
    std::string python_version;
    if (!version_text(lib.sys.get(), python_version)) {
        return nullptr;
    }

    json::Array records;
    for (const std::string& module_name : module_names) {
        Ref name_object = Ref::steal(new_str(module_name));
        if (!name_object) {
            return nullptr;
        }
        Ref module = call_method(lib.importlib.get(), import_module_name, name_object.get());
        if (!module) {
            // Any exception at all, SystemExit and KeyboardInterrupt included, only skips the
            // module; the line is out before the next name is taken.
            warn_skipped(module_name);
            continue;
        }
        if (!inspect_module(lib, module.get(), python_version, records)) {
            return nullptr;
        }
    }

    json::Object report;
    report.insert("assets", json::Value(std::move(records)));
    return new_str(json::write_compact(json::Value(std::move(report))));
}

const Signature inspect_modules_signature("inspect_modules()",
                                          {{"modules", Param::Kind::positional_or_keyword, true}});

PyObject* inspect_modules(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = inspect_modules_signature.bind(args, nargs, kwnames);
    if (!bound) {
        return nullptr;
    }
    auto [modules] = *bound;
    return run(modules);
}

PyMethodDef inspect_modules_def = fast_call_def<&inspect_modules>(
    "inspect_modules",
    "inspect_modules(modules)\n--\n\n"
    "Inspect modules for kevro assets. Called by the `python -m kevro.inspect` CLI stub.\n\n"
    "Imports each module, finds functions with `__kevro_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.");

}  // namespace

int add_inspect(PyObject* module) { return add_function(module, &inspect_modules_def); }

}  // namespace kevro
