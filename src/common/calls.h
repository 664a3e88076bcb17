// Calling into Python: imports, attribute reads, calls and method calls. Each one returns the
// new reference, or a null Ref with an exception set (a call that failed without setting one
// gets the SystemError of ensure_error), so callers only test the result.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string>

#include "common/names.h"
#include "common/ref.h"

namespace kevro {

/// `import NAME` through the interpreter's import machinery, so that import hooks and the
/// module cache apply. Asked anew on every call: the cache keeps a repeat cheap, and a
/// replaced `sys.modules` entry is honoured.
Ref import_module(Name& module);

/// One module of a list to import, and where it goes.
struct ModuleSlot {
    Name& name;
    Ref& module;
};

/// Imports the modules in the order listed, stopping at the first failure.
bool import_in_order(std::initializer_list<ModuleSlot> modules);

/// `getattr(obj, name)`.
Ref attr(PyObject* obj, Name& name);
Ref attr(PyObject* obj, PyObject* name);

/// The text of `obj.name`, which must be a `str` (else TypeError "'T' object cannot be
/// converted to 'PyString'").
bool attr_text(PyObject* obj, Name& name, std::string& out);

/// `obj.name(...)` with positional arguments: the method is looked up by name on the object
/// and called, as the Python expression does; for a module, that is its function of that name
/// as it is at the time of the call.
Ref call_method(PyObject* obj, Name& name);
Ref call_method(PyObject* obj, Name& name, PyObject* arg);
Ref call_method(PyObject* obj, Name& name, PyObject* a, PyObject* b);

}  // namespace kevro
