// Taking text out of Python strings.
#include "common/text.h"

#include "common/errors.h"
#include "common/ref.h"

namespace kevro {

bool utf8_of(PyObject* str, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        ensure_error();
        return false;
    }
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

bool extract_str(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        return raise_cannot_convert(obj, "PyString");
    }
    return utf8_of(obj, out);
}

bool str_text(PyObject* obj, std::string& out, Surrogates surrogates) {
    Ref text = checked(PyObject_Str(obj));
    if (!text) {
        return false;
    }
    std::string_view view;
    if (utf8_of(text.get(), view)) {
        out.assign(view);
        return true;
    }
    if (surrogates == Surrogates::refuse) {
        return false;
    }
    // A lone surrogate: encode it as its raw bytes and decode leniently, one U+FFFD per byte
    // that does not form valid UTF-8.
    PyErr_Clear();
    Ref raw = checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!raw) {
        return false;
    }
    Ref clean = checked(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    if (!clean || !utf8_of(clean.get(), view)) {
        return false;
    }
    out.assign(view);
    return true;
}

PyObject* new_str(std::string_view text) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s == nullptr) {
        ensure_error();
    }
    return s;
}

}  // namespace kevro
