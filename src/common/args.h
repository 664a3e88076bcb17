// Argument binding for the module's fast-call functions, with Python's own rules and wording.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace kevro {

struct Param {
    enum class Kind { positional_or_keyword, keyword_only };
    const char* name;
    Kind kind;
    bool required;
};

/// One function's parameter list, declared once as data. Positional-or-keyword parameters come
/// first. The binder reports, in this order: surplus positional arguments, then each keyword in
/// the caller's order (multiple values, unexpected keyword), then all missing required
/// parameters. Converting the bound values is the caller's step, through `convert_failed`.
class Signature {
  public:
    static constexpr std::size_t max_params = 6;

    /// `function` is the name used in messages, with its parentheses: "asset()".
    Signature(const char* function, std::initializer_list<Param> params) noexcept;

    std::size_t size() const noexcept { return count_; }

    /// Binds a fast call. `out` receives one borrowed reference per parameter, null where the
    /// caller gave nothing. Returns false with TypeError set when the call does not bind.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

  private:
    Py_ssize_t find_keyword(PyObject* key) const;

    const char* function_;
    std::array<Param, max_params> params_{};
    // Interned names, made on first use, so that keywords usually match by pointer.
    mutable std::array<PyObject*, max_params> interned_{};
    std::size_t count_ = 0;
    std::size_t positional_ = 0;
    std::size_t required_positional_ = 0;
};

/// Reports the failed conversion of parameter `name`: a pending exception of exactly TypeError
/// gets the prefix "argument 'NAME': ". Always returns false, so a caller can
/// `return convert_failed("name")` style checks in one line.
bool convert_failed(const char* name);

}  // namespace kevro
