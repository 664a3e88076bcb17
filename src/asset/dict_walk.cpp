// A walk over a dict's own entries, in insertion order, that survives user code changing the dict.
#include "asset/dict_walk.h"

#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"

namespace kevro {

namespace {

int raise_changed(const char* what) {
    PyErr_SetString(PyExc_RuntimeError, what);
    return -1;
}

#ifdef PYPY_VERSION
/// `dict.__len__` of the base type, looked up once and kept for the life of the process: called
/// with a subclass instance it reads the storage and never reaches the subclass's `__len__`.
PyObject* dict_len = nullptr;
Name len_name("__len__");
#endif

}  // namespace

bool DictWalk::current_size(Py_ssize_t& size) {
#ifdef PYPY_VERSION
    if (!PyDict_CheckExact(dict_)) {
        if (dict_len == nullptr) {
            dict_len = attr(reinterpret_cast<PyObject*>(&PyDict_Type), len_name).release();
            if (dict_len == nullptr) {
                return false;
            }
        }
        Ref result = Ref::steal(PyObject_CallOneArg(dict_len, dict_));
        if (!result) {
            ensure_error();
            return false;
        }
        size = PyLong_AsSsize_t(result.get());
        if (size == -1 && PyErr_Occurred()) {
            return false;
        }
        return true;
    }
#endif
    size = PyDict_Size(dict_);
    if (size < 0) {
        ensure_error();
        return false;
    }
    return true;
}

int DictWalk::check_size() {
    Py_ssize_t size = 0;
    if (!current_size(size)) {
        return -1;
    }
    if (size != start_size_) {
        return raise_changed("dictionary changed size during iteration");
    }
    return 0;
}

int DictWalk::take(Ref k, Ref v, Ref& key, Ref& value) {
    if (taken_ == start_size_) {
        return raise_changed("dictionary keys changed during iteration");
    }
    ++taken_;
    key = std::move(k);
    value = std::move(v);
    return 1;
}

#ifndef PYPY_VERSION

bool DictWalk::start() { return current_size(start_size_); }

int DictWalk::next(Ref& key, Ref& value) {
    if (check_size() < 0) {
        return -1;
    }
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (!PyDict_Next(dict_, &pos_, &k, &v)) {
        return 0;
    }
    // The entry may leave the dict while the caller works on it: hold both sides.
    return take(Ref::borrow(k), Ref::borrow(v), key, value);
}

#else

bool DictWalk::start() {
    if (!current_size(start_size_)) {
        return false;
    }
    // PyDict_Keys reads the storage, also of a subclass.
    start_keys_ = Ref::steal(start_size_ == 0 ? PyList_New(0) : PyDict_Keys(dict_));
    if (!start_keys_) {
        ensure_error();
        return false;
    }
    keys_ = Ref::borrow(start_keys_.get());
    return true;
}

bool DictWalk::take_added() {
    added_ = true;
    pos_ = 0;
    if (!ran_python_) {
        // Nothing but this walk touched the dict: no key can have arrived.
        keys_ = Ref::steal(PyList_New(0));
        if (!keys_) {
            ensure_error();
            return false;
        }
        return true;
    }
    Ref now = Ref::steal(PyDict_Keys(dict_));
    if (!now) {
        ensure_error();
        return false;
    }
    // Usually nothing changed, and the two lists hold the same objects.
    int same = PyObject_RichCompareBool(now.get(), start_keys_.get(), Py_EQ);
    if (same < 0) {
        return false;
    }
    if (same == 1) {
        keys_ = Ref::steal(PyList_New(0));
        if (!keys_) {
            ensure_error();
            return false;
        }
        return true;
    }
    Ref known = Ref::steal(PySet_New(start_keys_.get()));
    Ref added = Ref::steal(PyList_New(0));
    if (!known || !added) {
        ensure_error();
        return false;
    }
    Py_ssize_t n = PyList_Size(now.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyList_GetItem(now.get(), i);
        int found = key == nullptr ? -1 : PySet_Contains(known.get(), key);
        if (found < 0) {
            ensure_error();
            return false;
        }
        if (found == 0 && PyList_Append(added.get(), key) < 0) {
            return false;
        }
    }
    keys_ = std::move(added);
    return true;
}

int DictWalk::next(Ref& key, Ref& value) {
    for (;;) {
        if (check_size() < 0) {
            return -1;
        }
        if (start_size_ == 0) {
            return 0;  // empty then and now
        }
        if (pos_ >= PyList_Size(keys_.get())) {
            if (added_) {
                return 0;
            }
            // Keys that arrived during the walk come after every key that was there before.
            if (!take_added()) {
                return -1;
            }
            continue;
        }
        Ref k = Ref::borrow(PyList_GetItem(keys_.get(), pos_++));
        if (!k) {
            ensure_error();
            return -1;
        }
        Ref v;
        if (PyUnicode_Check(k.get())) {
            if (!PyUnicode_CheckExact(k.get())) {
                ran_python_ = true;  // a str subclass may bring its own __hash__ and __eq__
            }
            v = Ref::borrow(PyDict_GetItemWithError(dict_, k.get()));
            if (!v) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                // The key has left the dict since the start: a walk over the storage skips it.
                continue;
            }
        } else {
            v = Ref::borrow(Py_None);
        }
        return take(std::move(k), std::move(v), key, value);
    }
}

#endif

}  // namespace kevro
