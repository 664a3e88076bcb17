// Taking text out of Python strings.
#include "common/text.h"

#include "common/errors.h"

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

bool intern_all(const char* const* texts, PyObject** out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) {
            out[i] = PyUnicode_InternFromString(texts[i]);
            if (out[i] == nullptr) {
                ensure_error();
                return false;
            }
        }
    }
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
