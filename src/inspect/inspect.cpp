// Module inspection: `inspect_modules(modules)` imports the named modules, finds their assets by
// the `__kevro_kind__` mark and returns the inspection report as one compact JSON text.
#include <Python.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/inspect.h"

#include "common/args.h"
#include "common/errors.h"
#include "common/ref.h"
#include "common/registry.h"
#include "common/text.h"
#include "pyjson/from_python.h"
#include "json/value.h"
#include "json/writer.h"

namespace kevro {
namespace {

// Names used on every call, interned once for the life of the process so that attribute
// lookups hit the dict by pointer.
enum NameId : std::size_t {
    n_importlib,
    n_inspect,
    n_textwrap,
    n_sys,
    n_pathlib,
    n_builtins,
    n_version_info,
    n_major,
    n_minor,
    n_micro,
    n_import_module,
    n_getsource,
    n_getsourcefile,
    n_getmembers,
    n_signature,
    n_Signature,
    n_empty,
    n_return_annotation,
    n_dedent,
    n_strip,
    n_Path,
    n_resolve,
    n_isinstance,
    n_name,
    n_kevro_kind,
    n_kevro_metadata,
    n_kevro_original,
    name_count,
};

constexpr std::array<const char*, name_count> name_texts = {
    "importlib",
    "inspect",
    "textwrap",
    "sys",
    "pathlib",
    "builtins",
    "version_info",
    "major",
    "minor",
    "micro",
    "import_module",
    "getsource",
    "getsourcefile",
    "getmembers",
    "signature",
    "Signature",
    "empty",
    "return_annotation",
    "dedent",
    "strip",
    "Path",
    "resolve",
    "isinstance",
    "__name__",
    "__kevro_kind__",
    "__kevro_metadata__",
    "__kevro_original__",
};

static_assert(name_texts[name_count - 1] != nullptr, "every NameId needs its text");

std::array<PyObject*, name_count> names{};

bool intern_names() { return intern_all(name_texts.data(), names.data(), name_count); }

PyObject* name(NameId id) { return names[id]; }

Ref attr(PyObject* obj, NameId id) { return checked(PyObject_GetAttr(obj, name(id))); }

Ref call(PyObject* callable, PyObject* arg) { return checked(PyObject_CallOneArg(callable, arg)); }

/// `module.function(arg)`: the attribute is read anew for every call, so that a function
/// replaced on the standard module is the one used.
Ref call_attr(PyObject* module, NameId function, PyObject* arg) {
    Ref fn = attr(module, function);
    return fn ? call(fn.get(), arg) : Ref();
}

Ref call_method(PyObject* obj, NameId method) {
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(obj, name(method)));
    if (!result) {
        ensure_error();
    }
    return result;
}

Ref import(NameId module) {
    Ref result = Ref::steal(PyImport_Import(name(module)));
    if (!result) {
        ensure_error();
    }
    return result;
}

/// The standard modules of one call, imported at its start in this order.
struct Stdlib {
    Ref importlib;
    Ref inspect;
    Ref textwrap;
    Ref sys;
    Ref pathlib;
};

bool import_stdlib(Stdlib& lib) {
    return (lib.importlib = import(n_importlib)) && (lib.inspect = import(n_inspect)) &&
           (lib.textwrap = import(n_textwrap)) && (lib.sys = import(n_sys)) &&
           (lib.pathlib = import(n_pathlib));
}

/// Step 1 of a call: `modules` becomes a list of UTF-8 names before anything is imported.
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
    Ref info = attr(sys, n_version_info);
    if (!info) {
        return false;
    }
    for (NameId part : {n_major, n_minor, n_micro}) {
        Ref value = attr(info.get(), part);
        if (!value) {
            return false;
        }
        Ref index = Ref::steal(PyNumber_Index(value.get()));
        if (!index) {
            ensure_error();
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
    Ref source = call_attr(lib.inspect.get(), n_getsource, obj);
    if (!source) {
        return false;
    }
    Ref dedented = call_attr(lib.textwrap.get(), n_dedent, source.get());
    if (!dedented) {
        return false;
    }
    Ref stripped = call_method(dedented.get(), n_strip);
    std::string_view text;
    if (!stripped || !extract_str(stripped.get(), text)) {
        return false;
    }
    out.reserve(text.size() + 1);
    out.assign(text);
    out += '\n';
    return true;
}

/// The resolved path of the file holding `function`'s source, or "" when getsourcefile raises.
bool file_path_of(const Stdlib& lib, PyObject* function, std::string& out) {
    Ref file = call_attr(lib.inspect.get(), n_getsourcefile, function);
    if (!file) {
        PyErr_Clear();
        out.clear();
        return true;
    }
    // A None result is passed on as well: `pathlib.Path(None)` raises, and that propagates.
    Ref path = call_attr(lib.pathlib.get(), n_Path, file.get());
    if (!path) {
        return false;
    }
    Ref resolved = call_method(path.get(), n_resolve);
    if (!resolved) {
        return false;
    }
    Ref text = Ref::steal(PyObject_Str(resolved.get()));
    std::string_view view;
    if (!text || !utf8_of(text.get(), view)) {
        ensure_error();
        return false;
    }
    out.assign(view);
    return true;
}

/// null without a return annotation; a class's `__name__`; otherwise `str()` of the annotation.
bool return_type_of(const Stdlib& lib, PyObject* function, json::Value& out) {
    Ref signature = call_attr(lib.inspect.get(), n_signature, function);
    if (!signature) {
        return false;
    }
    Ref annotation = attr(signature.get(), n_return_annotation);
    if (!annotation) {
        return false;
    }
    Ref signature_class = attr(lib.inspect.get(), n_Signature);
    if (!signature_class) {
        return false;
    }
    Ref empty = attr(signature_class.get(), n_empty);
    if (!empty) {
        return false;
    }
    if (annotation.get() == empty.get()) {
        out = json::Value::null();
        return true;
    }
    Ref builtins = import(n_builtins);
    if (!builtins) {
        return false;
    }
    Ref isinstance = attr(builtins.get(), n_isinstance);
    if (!isinstance) {
        return false;
    }
    Ref is_class = Ref::steal(PyObject_CallFunctionObjArgs(
        isinstance.get(), annotation.get(), reinterpret_cast<PyObject*>(&PyType_Type), nullptr));
    if (!is_class) {
        ensure_error();
        return false;
    }
    int truth = PyObject_IsTrue(is_class.get());
    if (truth < 0) {
        ensure_error();
        return false;
    }
    std::string_view view;
    if (truth != 0) {
        Ref class_name = attr(annotation.get(), n_name);
        if (!class_name || !extract_str(class_name.get(), view)) {
            return false;
        }
        out = json::Value::from_string(std::string(view));
        return true;
    }
    Ref text = Ref::steal(PyObject_Str(annotation.get()));
    if (!text || !utf8_of(text.get(), view)) {
        ensure_error();
        return false;
    }
    out = json::Value::from_string(std::string(view));
    return true;
}

/// The filter: `__kevro_kind__` must read without error as a `str` whose text is exactly
/// "asset". Whatever else happens, the member is skipped without a word.
bool is_asset(PyObject* member) {
    Ref kind = Ref::steal(PyObject_GetAttr(member, name(n_kevro_kind)));
    if (!kind) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(kind.get())) {
        return false;
    }
    std::string_view text;
    if (!utf8_of(kind.get(), text)) {
        PyErr_Clear();
        return false;
    }
    return text == "asset";
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
    Ref metadata_object = attr(member, n_kevro_metadata);
    if (!metadata_object) {
        return false;
    }
    json::Value metadata;
    if (!python_dict_to_json(metadata_object.get(), metadata)) {
        return false;
    }
    metadata_object.reset();

    Ref function = Ref::steal(PyObject_GetAttr(member, name(n_kevro_original)));
    if (!function) {
        // An object without a usable original is its own undecorated function.
        PyErr_Clear();
        function = Ref::borrow(member);
    }

    // Step 1: the source, the name, the file, the return type, in this order.
    std::string function_source;
    if (!normalised_source(ctx.lib, function.get(), function_source)) {
        return false;
    }
    Ref function_name_object = attr(function.get(), n_name);
    std::string_view function_name;
    if (!function_name_object || !extract_str(function_name_object.get(), function_name)) {
        return false;
    }
    std::string function_name_text(function_name);
    std::string file_path;
    if (!file_path_of(ctx.lib, function.get(), file_path)) {
        return false;
    }
    json::Value return_type;
    if (!return_type_of(ctx.lib, function.get(), return_type)) {
        return false;
    }

    // Step 2: the module's name is read while the record is built.
    Ref module_name_object = attr(ctx.module, n_name);
    std::string_view module_name;
    if (!module_name_object || !extract_str(module_name_object.get(), module_name)) {
        return false;
    }

    // Step 3: the members in key order, so that each insertion lands at the end.
    json::Object record;
    record.insert("decorator_metadata", std::move(metadata));
    record.insert("file_path", json::Value::from_string(std::move(file_path)));
    record.insert("function_name", json::Value::from_string(std::move(function_name_text)));
    record.insert("function_source", json::Value::from_string(std::move(function_source)));
    record.insert("kind", json::Value::from_string("asset"));
    record.insert("module_path", json::Value::from_string(std::string(module_name)));
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
    Ref members = call_attr(lib.inspect.get(), n_getmembers, module);
    if (!members) {
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(members.get()));
    if (!iterator) {
        ensure_error();
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
    if (!intern_names()) {
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
        Ref module = call_attr(lib.importlib.get(), n_import_module, name_object.get());
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
    std::string text;
    try {
        json::write_compact(json::Value(std::move(report)), text);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& failure) {
        std::string message = "JSON serialization error: ";
        message += failure.what();
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
        return nullptr;
    }
    return new_str(text);
}

const Signature inspect_modules_signature("inspect_modules()",
                                          {{"modules", Param::Kind::positional_or_keyword, true}});

PyObject* inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return boundary([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!inspect_modules_signature.bind(args, nargs, kwnames, bound.data())) {
            return nullptr;
        }
        return run(bound[0]);
    });
}

PyMethodDef inspect_modules_def = {
    "inspect_modules",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&inspect_modules)),
    METH_FASTCALL | METH_KEYWORDS,
    "inspect_modules(modules)\n--\n\n"
    "Inspect modules for kevro assets. Called by the `python -m kevro.inspect` CLI stub.\n\n"
    "Imports each module, finds functions with `__kevro_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.",
};

}  // namespace

int add_inspect(PyObject* module) { return add_function(module, &inspect_modules_def); }

}  // namespace kevro
