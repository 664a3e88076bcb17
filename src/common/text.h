// Taking text out of Python strings.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace kevro {

/// A view of the UTF-8 text of a `str` (subclasses included), valid while `str` lives. Fails
/// with the interpreter's UnicodeEncodeError for a lone surrogate.
bool utf8_of(PyObject* str, std::string_view& out);

/// Like utf8_of, but first checks that `obj` is a `str`; otherwise TypeError
/// "'T' object cannot be converted to 'PyString'".
bool extract_str(PyObject* obj, std::string_view& out);

/// Interns each of `count` ASCII texts into `out`, skipping entries already made; the strings
/// live for the rest of the process, so attribute lookups by them hit dicts by pointer.
/// Returns false with an exception set when the interpreter cannot make one.
bool intern_all(const char* const* texts, PyObject** out, std::size_t count);

/// A new `str` from UTF-8 text, or null with an exception set.
PyObject* new_str(std::string_view text);

}  // namespace kevro
