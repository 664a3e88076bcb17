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
    bool is(PyObject* obj) noexcept { return str_ != nullptr ? obj == str_ : intern_and_is(obj); }
    /// True when `obj` is a `str` with this text: by pointer first, then by content.
    bool matches(PyObject* obj) noexcept;

  private:
    /// `is` for a name not interned yet: interns it, then compares.
    bool intern_and_is(PyObject* obj) noexcept;

    const char* text_;
    PyObject* str_ = nullptr;
};

// Names that more than one area looks up, each interned once for the whole module.
inline Name dunder_name("__name__");
inline Name qualname_name("__qualname__");
inline Name importlib_name("importlib");
inline Name import_module_name("import_module");
inline Name inspect_name("inspect");
inline Name signature_name("signature");
inline Name json_name("json");
inline Name dumps_name("dumps");
inline Name pathlib_name("pathlib");
inline Name path_name("Path");
inline Name sys_name("sys");
// The asset attribute contract: its three attribute names and the kind that marks an asset.
inline Name kevro_kind_name("__kevro_kind__");
inline Name kevro_metadata_name("__kevro_metadata__");
inline Name kevro_original_name("__kevro_original__");
inline Name asset_kind("asset");

}  // namespace kevro
