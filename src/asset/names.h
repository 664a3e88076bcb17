// Attribute names that the asset code looks up again and again, interned once per process.
#pragma once

#include <Python.h>

namespace kevro {

/// An attribute name as an interned `str`, made on first use and kept for the life of the
/// process (a lookup by a ready `str` spares PyPy a new string object per lookup).
class Name {
  public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    /// The interned name (borrowed), or null with an exception set.
    PyObject* get() noexcept {
        if (str_ == nullptr) {
            str_ = PyUnicode_InternFromString(text_);
        }
        return str_;
    }
    const char* text() const noexcept { return text_; }

  private:
    const char* text_;
    PyObject* str_ = nullptr;
};

/// `getattr(obj, name)`: a new reference, or null with an exception set.
inline PyObject* get_attr(PyObject* obj, Name& name) noexcept {
    PyObject* n = name.get();
    return n == nullptr ? nullptr : PyObject_GetAttr(obj, n);
}

}  // namespace kevro
