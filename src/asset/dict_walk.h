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
/// there the walk takes the (key, value) pairs at the start. While no user code has run, the
/// dict is as it was then, and the pairs are handed out as they are. Once user code may have
/// run, each value is looked up in the storage when its turn comes, keys that have left the
/// dict meanwhile are skipped, and afterwards the keys that were added are visited, which is
/// what an iteration over the storage sees. A key that is not a `str` is not looked up there
/// (its `__hash__` is user code): it comes with its value of the start (None for an added
/// one), so callers check the key before they look at the value.
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
    /// Whether every key of the start is still in the dict, as far as that can be told without
    /// running user code; false with an exception set when a lookup fails.
    bool all_start_keys_remain(bool& remain);

    Ref items_;       // a tuple of the (key, value) pairs at the start, in order
    Ref added_keys_;  // the keys added during the walk, once looked for
    Py_ssize_t pos_ = 0;
    Py_ssize_t added_size_ = 0;
    bool added_ = false;       // the walk is past the keys of the start
    bool skipped_ = false;     // a key of the start had left the dict when its turn came
    bool ran_python_ = false;  // user code may have run since the start
#else
    Py_ssize_t pos_ = 0;
#endif
};

}  // namespace kevro
