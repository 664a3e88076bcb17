// A walk over a dict's own entries, in insertion order, that survives user code changing the dict.
#pragma once

#include <Python.h>

#include "common/ref.h"

namespace kevro {

/// Walks the entries of a dict (or subclass) without calling the subclass's own methods, and
/// fails like Python's dict iteration when the dict changes under it: RuntimeError "dictionary
/// changed size during iteration" when its size differs from the size at the start, and
/// "dictionary keys changed during iteration" when, at an unchanged size, more entries turn up
/// than the dict had at the start.
///
/// On CPython the walk reads the dict's storage. PyPy's PyDict_Next looks every value up again
/// (through a subclass's `__getitem__`, and a failing lookup there aborts the interpreter), so
/// there the walk takes the list of keys at the start, looks each value up in the storage when
/// its turn comes, skips keys that have left the dict meanwhile and afterwards visits keys that
/// were added, which is what an iteration over the storage sees. A key that is not a `str` is
/// not looked up there (its `__hash__` is user code): it comes with the value None, so callers
/// check the key before they look at the value.
class DictWalk {
  public:
    /// `dict` is borrowed and must outlive the walk.
    explicit DictWalk(PyObject* dict) noexcept : dict_(dict) {}
    DictWalk(const DictWalk&) = delete;
    DictWalk& operator=(const DictWalk&) = delete;

    /// Takes the starting size (and on PyPy the snapshot). False with an exception set.
    bool start();

    /// 1 with the next entry in `key` and `value` (new references), 0 at the end, -1 with an
    /// exception set.
    int next(Ref& key, Ref& value);

    /// Tells the walk that the caller ran Python code (which may have changed the dict) while
    /// working on the last entry. Only PyPy's walk needs to know: without it, the search for
    /// keys added during the walk is skipped.
    void ran_python() noexcept {
#ifdef PYPY_VERSION
        ran_python_ = true;
#endif
    }

  private:
    bool current_size(Py_ssize_t& size);
    int check_size();
    /// Hands out one more entry, unless the walk has taken as many as the dict had at the start.
    int take(Ref k, Ref v, Ref& key, Ref& value);

    PyObject* dict_;
    Py_ssize_t start_size_ = 0;
    Py_ssize_t taken_ = 0;
#ifdef PYPY_VERSION
    bool take_added();

    Ref start_keys_;  // the keys at the start, in order
    Ref keys_;        // the keys being walked: those of the start, then those added since
    Py_ssize_t pos_ = 0;
    bool added_ = false;       // keys_ now holds the keys that were added during the walk
    bool ran_python_ = false;  // user code may have run since the start
#else
    Py_ssize_t pos_ = 0;
#endif
};

}  // namespace kevro
