// Calling into Python: imports, attribute reads, calls and method calls.
#include "common/calls.h"

#include <string_view>

#include "common/errors.h"
#include "common/text.h"

namespace kevro {

Ref import_module(Name& module) {
    PyObject* name = module.get();
    return name == nullptr ? Ref() : checked(PyImport_Import(name));
}

bool import_in_order(std::initializer_list<ModuleSlot> modules) {
    for (const ModuleSlot& slot : modules) {
        slot.module = import_module(slot.name);
        if (!slot.module) {
            return false;
        }
    }
    return true;
}

Ref attr(PyObject* obj, Name& name) {
    PyObject* n = name.get();
    return n == nullptr ? Ref() : checked(PyObject_GetAttr(obj, n));
}

Ref attr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

bool attr_text(PyObject* obj, Name& name, std::string& out) {
    Ref value = attr(obj, name);
    std::string_view text;
    if (!value || !extract_str(value.get(), text)) {
        return false;
    }
    out.assign(text);
    return true;
}

Ref call_method(PyObject* obj, Name& name) {
    PyObject* n = name.get();
    return n == nullptr ? Ref() : checked(PyObject_CallMethodNoArgs(obj, n));
}

Ref call_method(PyObject* obj, Name& name, PyObject* arg) {
    PyObject* n = name.get();
    return n == nullptr ? Ref() : checked(PyObject_CallMethodOneArg(obj, n, arg));
}

Ref call_method(PyObject* obj, Name& name, PyObject* a, PyObject* b) {
    PyObject* n = name.get();
    if (n == nullptr) {
        return Ref();
    }
    PyObject* args[] = {obj, a, b};
    return checked(PyObject_VectorcallMethod(n, args, 3, nullptr));
}

}  // namespace kevro
