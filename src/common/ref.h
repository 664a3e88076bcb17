// Ref: the one owner of a strong Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace kevro {

/// A move-only owner of one strong reference. A raw `PyObject*` anywhere else in the code base
/// is borrowed; a function that hands out a new reference ends with `return ref.release();`.
class Ref {
  public:
    Ref() noexcept = default;
    /// Takes over a new reference (the result of a call that returns one); null is allowed.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a new reference to a borrowed object; null is allowed.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    /// Gives the reference to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    /// A new reference for the caller, keeping this one.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace kevro
