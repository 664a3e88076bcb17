// The asset attribute contract and the source file of a function.
#include "common/contract.h"

#include "common/calls.h"
#include "common/names.h"
#include "common/text.h"

namespace kevro {

namespace {

Name getsourcefile_name("getsourcefile");
Name resolve_name("resolve");

}  // namespace

bool is_asset(PyObject* obj) {
    Ref kind = attr(obj, kevro_kind_name);
    if (!kind) {
        PyErr_Clear();
        return false;
    }
    // The wrapper answers with the interned text itself, which spares the comparison.
    return asset_kind.matches(kind.get());
}

Ref original_of(PyObject* obj) {
    Ref original = attr(obj, kevro_original_name);
    if (!original) {
        PyErr_Clear();
        return Ref::borrow(obj);
    }
    return original;
}

bool source_path(PyObject* inspect, PyObject* pathlib, PyObject* function, MissingSource missing,
                 std::string& out) {
    Ref file = call_method(inspect, getsourcefile_name, function);
    if (!file) {
        if (missing == MissingSource::raise) {
            return false;
        }
        PyErr_Clear();
        out.clear();
        return true;
    }
    Ref path = call_method(pathlib, path_name, file.get());
    Ref resolved = path ? call_method(path.get(), resolve_name) : Ref();
    return resolved && str_text(resolved.get(), out);
}

}  // namespace kevro
