// Taking text out of Python strings.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace kevro {

/// A view of the UTF-8 text of a `str` (subclasses included), valid while `str` lives. Fails
/// with the interpreter's UnicodeEncodeError for a lone surrogate.
bool utf8_of(PyObject* str, std::string_view& out);

/// Like utf8_of, but first checks that `obj` is a `str`; otherwise TypeError
/// "'T' object cannot be converted to 'PyString'".
bool extract_str(PyObject* obj, std::string_view& out);

/// What `str_text` does with a lone surrogate, which UTF-8 cannot hold.
enum class Surrogates {
    refuse,   // fail with the interpreter's UnicodeEncodeError
    replace,  // one U+FFFD for each byte of its raw encoding
};

/// The text of `str(obj)` as UTF-8. Returns false with an exception set when str() fails (or
/// returns something other than a `str`), or when it holds a lone surrogate that is refused.
bool str_text(PyObject* obj, std::string& out, Surrogates surrogates = Surrogates::refuse);

/// A new `str` from UTF-8 text, or null with an exception set.
PyObject* new_str(std::string_view text);

}  // namespace kevro
