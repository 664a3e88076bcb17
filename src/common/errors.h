// Helpers for raising, inspecting and describing Python exceptions; shared by every function.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/ref.h"

namespace kevro {

/// Called where an interpreter call reported failure: makes sure an exception is set, so that a
/// null return never reaches the interpreter without one.
void ensure_error() noexcept;

/// Takes over the new reference that an interpreter call returned; a null result leaves an
/// exception set (see ensure_error), so callers only test the Ref.
Ref checked(PyObject* result) noexcept;

/// The `__qualname__` of a type as UTF-8, or "<failed to extract type name>" when it cannot be
/// read (any exception from the read is discarded).
std::string type_qualname(PyTypeObject* type);

/// Raises TypeError "'T' object cannot be converted to 'X'" for `obj`; always returns false.
bool raise_cannot_convert(PyObject* obj, const char* expected);

/// When the pending exception is exactly TypeError, replaces it with a TypeError whose message
/// is "argument 'NAME': " followed by str() of the old one, keeping the old one's cause.
/// Any other exception is left as it is. Always returns false.
bool prefix_argument_error(const char* name);

/// Owns a fetched exception (type, value, traceback) until it is restored or dropped. Dropping
/// it discards the exception with its traceback: a caller that only reports an exception drops
/// it, since handing the traceback back to the indicator from C, as a restore does, keeps the
/// exception and every frame of its traceback alive for good on PyPy.
class SavedError {
  public:
    /// Fetches and normalises the pending exception; the indicator is clear afterwards.
    SavedError() noexcept;
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError();
    /// Hands the exception back to the interpreter's indicator.
    void restore() noexcept;
    PyObject* type() const noexcept { return type_; }
    PyObject* value() const noexcept { return value_; }

  private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

/// The display text of an exception: the class's `__qualname__`, ": ", and str() of the
/// exception, or "<exception str() failed>" in its place when str() raises.
std::string exception_display_text(PyObject* exc_value);

/// Runs `body` for a function that the interpreter calls, so that no C++ exception crosses into
/// the interpreter: std::bad_alloc becomes MemoryError, anything else a SystemError. The failure
/// result is null, false or -1, by the body's result type.
template <class Body>
auto boundary(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in _kevro");
    }
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else if constexpr (std::is_same_v<Result, bool>) {
        return false;
    } else {
        return Result(-1);
    }
}

}  // namespace kevro
