// Argument binding for the module's fast-call functions.
#include "common/args.h"

#include <string>

#include "common/errors.h"
#include "common/ref.h"

namespace kevro {

Signature::Signature(const char* function, std::initializer_list<Param> params) noexcept
    : function_(function) {
    for (const Param& p : params) {
        if (count_ == max_params) {
            break;
        }
        params_[count_++] = p;
        if (p.kind == Param::Kind::positional_or_keyword) {
            ++positional_;
            if (p.required) {
                ++required_positional_;
            }
        }
    }
}

Py_ssize_t Signature::find_keyword(PyObject* key) const {
    for (std::size_t i = 0; i < count_; ++i) {
        if (interned_[i] == nullptr) {
            // Interned names live as long as the process, like the signature itself.
            interned_[i] = PyUnicode_InternFromString(params_[i].name);
            if (interned_[i] == nullptr) {
                PyErr_Clear();
                continue;
            }
        }
        if (interned_[i] == key) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    for (std::size_t i = 0; i < count_; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params_[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    // A name that compares unequal may have set an error (a string that cannot be compared).
    PyErr_Clear();
    return -1;
}

namespace {

void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) const {
    for (std::size_t i = 0; i < count_; ++i) {
        out[i] = nullptr;
    }
    // Step 1: surplus positional arguments.
    if (static_cast<std::size_t>(nargs) > positional_) {
        std::string message = function_;
        if (required_positional_ == positional_) {
            message += " takes " + std::to_string(positional_);
        } else {
            message += " takes from " + std::to_string(required_positional_) + " to " +
                       std::to_string(positional_);
        }
        message += " positional arguments but " + std::to_string(nargs);
        message += nargs == 1 ? " was given" : " were given";
        raise_type_error(message);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    // Step 2: keywords, in the order the caller gave them.
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t index = find_keyword(key);
            if (index < 0) {
                Ref message = Ref::steal(PyUnicode_FromFormat(
                    "%s got an unexpected keyword argument '%U'", function_, key));
                if (message) {
                    PyErr_SetObject(PyExc_TypeError, message.get());
                }
                ensure_error();
                return false;
            }
            if (out[index] != nullptr) {
                raise_type_error(std::string(function_) + " got multiple values for argument '" +
                                 params_[index].name + "'");
                return false;
            }
            out[index] = args[nargs + k];
        }
    }
    // Step 3: every missing required parameter, in parameter order.
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        if (params_[i].required && out[i] == nullptr) {
            ++missing;
        }
    }
    if (missing > 0) {
        std::string message = function_;
        message += " missing " + std::to_string(missing) + " required positional argument";
        message += missing == 1 ? ": " : "s: ";
        std::size_t seen = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            if (!params_[i].required || out[i] != nullptr) {
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
            message += params_[i].name;
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
