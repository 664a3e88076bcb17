// Argument binding for the module's fast-call functions, with Python's own rules and wording.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "common/names.h"

namespace kevro {

struct Param {
    enum class Kind { positional_or_keyword, keyword_only };
    const char* name;
    Kind kind;
    bool required;
};

/// What the binder reads of one Signature.
struct ParamList {
    const char* function;  // the name used in messages, with its parentheses: "asset()"
    const Param* params;
    Name* names;  // the parameters' names, interned on first use
    std::size_t count;
    std::size_t positional;           // how many may be given by position (they come first)
    std::size_t required_positional;  // how many of those are required
};

/// Binds a fast call against `list`: `out` receives one borrowed reference per parameter, null
/// where the caller gave nothing. Returns false with TypeError set when the call does not bind.
bool bind_arguments(const ParamList& list, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

/// One function's parameter list, declared once as data; positional-or-keyword parameters
/// come first. The binder reports, in this order: surplus positional arguments, then each
/// keyword in the caller's order (multiple values, unexpected keyword), then all missing
/// required parameters. Converting the bound values is the caller's step, through
/// `convert_failed`. The number of parameters is part of the type, so a caller names what it
/// was given with a structured binding of the same length:
///
///     const Signature partitions_signature("partitions()", {{"values", ...}});
///     auto bound = partitions_signature.bind(args, nargs, kwnames);
///     if (!bound) return nullptr;
///     auto [values] = *bound;
template <std::size_t N>
class Signature {
  public:
    /// No function of the module takes more; a longer list fails to compile instead of being
    /// cut short.
    static constexpr std::size_t max_params = 6;
    static_assert(N >= 1 && N <= max_params, "a Signature declares from 1 to 6 parameters");

    using Bound = std::array<PyObject*, N>;

    Signature(const char* function, const Param (&params)[N]) noexcept
        : Signature(function, params, std::make_index_sequence<N>()) {}

    /// The borrowed argument of each parameter, in declaration order (null where the caller
    /// gave none), or nothing with TypeError set when the call does not bind.
    std::optional<Bound> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        Bound out;
        if (!bind_arguments(
                {function_, params_.data(), names_.data(), N, positional_, required_positional_},
                args, nargs, kwnames, out.data())) {
            return std::nullopt;
        }
        return out;
    }

  private:
    template <std::size_t... I>
    Signature(const char* function, const Param (&params)[N], std::index_sequence<I...>) noexcept
        : function_(function), params_{params[I]...}, names_{Name(params[I].name)...} {
        for (const Param& p : params_) {
            if (p.kind == Param::Kind::positional_or_keyword) {
                ++positional_;
                required_positional_ += p.required ? 1 : 0;
            }
        }
    }

    const char* function_;
    std::size_t positional_ = 0;
    std::size_t required_positional_ = 0;
    std::array<Param, N> params_;
    mutable std::array<Name, N> names_;
};

/// Reports the failed conversion of parameter `name`: a pending exception of exactly TypeError
/// gets the prefix "argument 'NAME': ". Always returns false, so a caller can
/// `return convert_failed("name")` style checks in one line.
bool convert_failed(const char* name);

}  // namespace kevro
