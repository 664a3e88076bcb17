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
    // PyDict_Items reads the storage, also of a subclass; the tuple is read without calls.
    Ref items = checked(PyDict_Items(dict_));
    items_ = items ? checked(PyList_AsTuple(items.get())) : Ref();
    if (!items_) {
        return false;
    }
    start_size_ = PyTuple_GET_SIZE(items_.get());
    return true;
}

bool DictWalk::all_start_keys_remain(bool& remain) {
    remain = false;
    if (skipped_) {
        return true;
    }
    for (Py_ssize_t i = 0; i < start_size_; ++i) {
        PyObject* k = PyTuple_GET_ITEM(PyTuple_GET_ITEM(items_.get(), i), 0);
        if (!PyUnicode_CheckExact(k)) {
            return true;  // its lookup would run its own __hash__
        }
        // A lookup in the storage, as for the values: a subclass's `__contains__` is not called.
        if (PyDict_GetItemWithError(dict_, k) == nullptr) {
            return !PyErr_Occurred();
        }
    }
    remain = true;
    return true;
}

bool DictWalk::take_added() {
    added_ = true;
    pos_ = 0;
    // The size is still the starting one: when every key of the start is still there, no key
    // can have been added.
    bool remain = false;
    if (!all_start_keys_remain(remain)) {
        return false;
    }
    if (remain) {
        return true;
    }
    Ref now = checked(PyDict_Keys(dict_));
    Ref known = checked(PySet_New(nullptr));
    Ref added = checked(PyList_New(0));
    if (!now || !known || !added) {
        return false;
    }
    for (Py_ssize_t i = 0; i < start_size_; ++i) {
        if (PySet_Add(known.get(), PyTuple_GET_ITEM(PyTuple_GET_ITEM(items_.get(), i), 0)) < 0) {
            ensure_error();
            return false;
        }
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
    added_keys_ = std::move(added);
    added_size_ = PyList_Size(added_keys_.get());
    return true;
}

int DictWalk::next(Ref& key, Ref& value) {
    for (;;) {
        // Without user code in between, the dict is as it was at the start.
        if (ran_python_ && check_size() < 0) {
            return -1;
        }
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        if (!added_ && pos_ < start_size_) {
            PyObject* pair = PyTuple_GET_ITEM(items_.get(), pos_++);
            k = PyTuple_GET_ITEM(pair, 0);
            v = PyTuple_GET_ITEM(pair, 1);
            if (!ran_python_ || !PyUnicode_Check(k)) {
                return take(Ref::borrow(k), Ref::borrow(v), key, value);
            }
        } else {
            if (!added_) {
                if (!ran_python_) {
                    return 0;  // nothing but this walk touched the dict: no key can have arrived
                }
                // Keys that arrived during the walk come after every key that was there before.
                if (!take_added()) {
                    return -1;
                }
            }
            if (pos_ >= added_size_) {
                return 0;
            }
            k = PyList_GetItem(added_keys_.get(), pos_++);
            if (k == nullptr) {
                ensure_error();
                return -1;
            }
            if (!PyUnicode_Check(k)) {
                return take(Ref::borrow(k), Ref::borrow(Py_None), key, value);
            }
        }
        // User code may have changed the dict: the value is the one that it holds now.
        if (!PyUnicode_CheckExact(k)) {
            ran_python_ = true;  // a str subclass may bring its own __hash__ and __eq__
        }
        Ref held = Ref::borrow(k);
        v = PyDict_GetItemWithError(dict_, k);
        if (v == nullptr) {
            if (PyErr_Occurred()) {
                return -1;
            }
            // The key has left the dict since the start: a walk over the storage skips it.
            if (!added_) {
                skipped_ = true;
            }
            continue;
        }
        return take(std::move(held), Ref::borrow(v), key, value);
    }
}

#endif

}  // namespace kevro
