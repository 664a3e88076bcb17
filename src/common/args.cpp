// Argument binding for the module's fast-call functions.
#include "common/args.h"

#include <string>

#include "common/errors.h"
#include "common/ref.h"

namespace kevro {

namespace {

/// The index of the parameter that the keyword `key` names, or -1: by interned pointer first
/// (the usual case, as the interpreter interns keyword names), then by content.
Py_ssize_t find_keyword(const ParamList& list, PyObject* key) {
    for (std::size_t i = 0; i < list.count; ++i) {
        // A name that cannot be interned matches by content below.
        if (list.names[i].is(key)) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < list.count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, list.params[i].name) == 0) {
                return static_cast<Py_ssize_t>(i);
            }
        }
    }
    return -1;
}

void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

bool bind_arguments(const ParamList& list, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const std::size_t positional = list.positional;
    const std::size_t required_positional = list.required_positional;
    for (std::size_t i = 0; i < list.count; ++i) {
        out[i] = nullptr;
    }
    // Surplus positional arguments come first: nothing else is looked at then.
    if (static_cast<std::size_t>(nargs) > positional) {
        std::string message = list.function;
        if (required_positional == positional) {
            message += " takes " + std::to_string(positional);
        } else {
            message += " takes from " + std::to_string(required_positional) + " to " +
                       std::to_string(positional);
        }
        message += " positional arguments but " + std::to_string(nargs);
        message += nargs == 1 ? " was given" : " were given";
        raise_type_error(message);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    // Then the keywords, in the order the caller gave them: the first that names a parameter
    // already bound, or no parameter at all, is the one reported.
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t index = find_keyword(list, key);
            if (index < 0) {
                Ref message = Ref::steal(PyUnicode_FromFormat(
                    "%s got an unexpected keyword argument '%U'", list.function, key));
                if (message) {
                    PyErr_SetObject(PyExc_TypeError, message.get());
                }
                ensure_error();
                return false;
            }
            if (out[index] != nullptr) {
                raise_type_error(std::string(list.function) +
                                 " got multiple values for argument '" + list.params[index].name +
                                 "'");
                return false;
            }
            out[index] = args[nargs + k];
        }
    }
    // Last, every missing required parameter at once, in parameter order.
    std::size_t missing = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        if (list.params[i].required && out[i] == nullptr) {
            ++missing;
        }
    }
    if (missing > 0) {
        std::string message = list.function;
        message += " missing " + std::to_string(missing) + " required positional argument";
        message += missing == 1 ? ": " : "s: ";
        std::size_t seen = 0;
        for (std::size_t i = 0; i < list.count; ++i) {
            if (!list.params[i].required || out[i] != nullptr) {
                continue;
            }
            if (seen > 0) {
                if (missing == 2) {
                    message += " and ";
                } else {
                    message += seen + 1 == missing ? ", and " : ", ";
                }
            }
            message += "'";
            message += list.params[i].name;
            message += "'";
            ++seen;
        }
        raise_type_error(message);
        return false;
    }
    return true;
}

bool convert_failed(const char* name) { return prefix_argument_error(name); }

}  // namespace kevro
