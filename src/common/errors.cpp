// Helpers for raising, inspecting and describing Python exceptions.
#include "common/errors.h"

#include "common/calls.h"
#include "common/names.h"
#include "common/ref.h"
#include "common/text.h"

namespace kevro {

void ensure_error() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

Ref checked(PyObject* result) noexcept {
    if (result == nullptr) {
        ensure_error();
    }
    return Ref::steal(result);
}

std::string type_qualname(PyTypeObject* type) {
    static const char fallback[] = "<failed to extract type name>";
    Ref name = attr(reinterpret_cast<PyObject*>(type), qualname_name);
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return fallback;
    }
    std::string_view text;
    if (!utf8_of(name.get(), text)) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(text);
}

bool raise_cannot_convert(PyObject* obj, const char* expected) {
    std::string message = "'";
    message += type_qualname(Py_TYPE(obj));
    message += "' object cannot be converted to '";
    message += expected;
    message += "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool prefix_argument_error(const char* name) {
    if (!PyErr_Occurred()) {
        ensure_error();
        return false;
    }
    // Anything that is not a TypeError stays pending untouched: on PyPy, fetching and restoring
    // an exception that its traceback's frames refer to keeps that cycle alive for good.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return false;
    }
    SavedError old;
    if (old.type() != PyExc_TypeError) {
        old.restore();
        return false;
    }
    // The new message is built before anything is replaced, so that a failure here leaves the
    // original TypeError in place.
    Ref text = Ref::steal(PyObject_Str(old.value()));
    if (!text) {
        PyErr_Clear();
        old.restore();
        return false;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        return false;
    }
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        ensure_error();
        return false;
    }
    // PyException_SetCause steals its second argument.
    if (PyObject* cause = PyException_GetCause(old.value())) {
        PyException_SetCause(replacement.get(), cause);
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return false;
}

SavedError::SavedError() noexcept {
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
}

SavedError::~SavedError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

void SavedError::restore() noexcept {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
}

std::string exception_display_text(PyObject* exc_value) {
    std::string text = type_qualname(Py_TYPE(exc_value));
    text += ": ";
    std::string detail;
    if (str_text(exc_value, detail, Surrogates::replace)) {
        text += detail;
    } else {
        PyErr_Clear();
        text += "<exception str() failed>";
    }
    return text;
}

}  // namespace kevro
