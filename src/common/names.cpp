// Names: interned texts, made on first use.
#include "common/names.h"

namespace kevro {

bool Name::intern_and_is(PyObject* obj) noexcept {
    PyObject* str = get();
    if (str == nullptr) {
        // The callers then compare by content, which needs no interned name.
        PyErr_Clear();
        return false;
    }
    return obj == str;
}

bool Name::matches(PyObject* obj) noexcept {
    return is(obj) || (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text_) == 0);
}

}  // namespace kevro
