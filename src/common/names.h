// Names: the one way the module interns the texts it looks up or passes again and again.
#pragma once

#include <Python.h>

#include "common/errors.h"

namespace kevro {

/// A text as an interned `str`, made on first use and kept for the life of the process: a
/// lookup by a ready `str` spares the interpreter a new string object per lookup, and a dict
/// finds it by pointer. Every Name has static storage.
class Name {
  public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    /// The interned `str` (borrowed), or null with an exception set when it cannot be made; a
    /// later call tries again.
    PyObject* get() noexcept {
        if (str_ == nullptr) {
            str_ = PyUnicode_InternFromString(text_);
            if (str_ == nullptr) {
                ensure_error();
            }
        }
        return str_;
    }
    const char* text() const noexcept { return text_; }

    /// True when `obj` is this very interned `str`. A name that cannot be interned matches
    /// nothing by pointer; its failure is discarded.
    bool is(PyObject* obj) noexcept { return str_ != nullptr ? obj == str_ : first_is(obj); }
    /// True when `obj` is a `str` with this text: by pointer first, then by content.
    bool matches(PyObject* obj) noexcept;

  private:
    bool first_is(PyObject* obj) noexcept;

    const char* text_;
    PyObject* str_ = nullptr;
};

}  // namespace kevro
