// An independent statement of the float rules for the tests: shortest digits found by trying
// every precision of printf's correctly rounded "%.*e" and reading each candidate back with
// strtod, then the layouts built by plain string surgery.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kevro::json::testing {

struct Digits {
    bool negative = false;
    std::string digits;  // no leading or trailing zeros; empty for zero
    int exponent = 0;    // decimal exponent of the first digit
};

inline bool reads_back(std::uint64_t m, int q, double d) {
    char text[64];
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(m), q);
    return std::strtod(text, nullptr) == std::fabs(d);
}

/// The shortest digits that read back as `d` (finite), the nearest of equally short ones.
inline Digits reference_digits(double d) {
    Digits r;
    r.negative = std::signbit(d);
    if (d == 0) return r;
    for (int p = 0; p <= 16; ++p) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*e", p, std::fabs(d));
        // text is "D.DDDDe+XX": gather the p+1 digits as an integer m, value m * 10^q.
        std::uint64_t m = 0;
        const char* s = text;
        for (; *s != 'e'; ++s) {
            if (*s != '.') m = m * 10 + static_cast<std::uint64_t>(*s - '0');
        }
        int q = std::atoi(s + 1) - p;
        // The correctly rounded candidate is the nearest; its neighbours matter only where
        // the interval of the double is lopsided (at powers of two).
        std::uint64_t chosen = 0;
        if (reads_back(m, q, d)) {
            chosen = m;
        } else if (reads_back(m - 1, q, d)) {
            chosen = m - 1;
        } else if (reads_back(m + 1, q, d)) {
            chosen = m + 1;
        } else {
            continue;
        }
        std::string digits = std::to_string(chosen);
        r.exponent = static_cast<int>(digits.size()) - 1 + q;
        while (digits.back() == '0') digits.pop_back();
        r.digits = digits;
        return r;
    }
    std::abort();  // seventeen digits always suffice
}

/// The writer's float layout, stated again by string surgery.
inline std::string reference_layout(double d) {
    Digits r = reference_digits(d);
    std::string sign = r.negative ? "-" : "";
    if (r.digits.empty()) return sign + "0.0";
    const std::string& g = r.digits;
    int n = static_cast<int>(g.size());
    int e = r.exponent;
    if (e >= -5 && e <= 15) {
        if (e < 0) return sign + "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + g;
        std::string padded = g;
        if (n < e + 1) padded += std::string(static_cast<std::size_t>(e + 1 - n), '0');
        std::string fraction = padded.substr(static_cast<std::size_t>(e + 1));
        return sign + padded.substr(0, static_cast<std::size_t>(e + 1)) + "." +
               (fraction.empty() ? "0" : fraction);
    }
    std::string mantissa = g.substr(0, 1) + (n > 1 ? "." + g.substr(1) : "");
    return sign + mantissa + "e" + (e < 0 ? "-" : "+") + std::to_string(std::abs(e));
}

/// What Python's repr (and so json.dumps) writes for `d`: scientific below 1e-4 and from 1e16
/// on, with at least two exponent digits.
inline std::string python_repr(double d) {
    Digits r = reference_digits(d);
    std::string sign = r.negative ? "-" : "";
    if (r.digits.empty()) return sign + "0.0";
    int e = r.exponent;
    if (e >= -4 && e < 16) {
        std::string layout = reference_layout(d);
        return layout;  // the same as the writer's in this range
    }
    const std::string& g = r.digits;
    char exp[8];
    std::snprintf(exp, sizeof exp, "e%c%02d", e < 0 ? '-' : '+', std::abs(e));
    return sign + g.substr(0, 1) + (g.size() > 1 ? "." + g.substr(1) : "") + exp;
}

}  // namespace kevro::json::testing
