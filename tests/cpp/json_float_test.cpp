// Floats through the parser: every finite double survives writing and reading as its own
// shortest digits, and decimal texts read as the nearest double (round half to even), checked
// against the C library's correctly rounded strtod.
#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "json/parser.h"
#include "json/writer.h"

namespace kevro::json {
namespace {

std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

/// What Python's repr (so json.dumps) writes: the standard library's shortest digits, in
/// scientific form below 1e-4 and from 1e16 on ("1e-05", "1.5e+300"), positional otherwise.
std::string python_repr(double d) {
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    std::string s(sci, r.ptr);
    std::size_t e_pos = s.find('e');
    int exp = std::atoi(s.c_str() + e_pos + 1);
    if (exp < -4 || exp >= 16) return s;  // to_chars also writes at least two exponent digits
    char fixed[400];
    auto f = std::to_chars(fixed, fixed + sizeof fixed, d, std::chars_format::fixed);
    std::string out(fixed, f.ptr);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

/// Parses `text`, which must give a float; fails the test otherwise.
::testing::AssertionResult parses_to_float(const std::string& text, double& out) {
    Value v;
    ParseError e;
    if (!parse(text, v, e)) return ::testing::AssertionFailure() << text << ": " << e.text();
    if (v.kind() != Value::Kind::real) return ::testing::AssertionFailure() << text << ": kind";
    out = v.as_double();
    return ::testing::AssertionSuccess();
}

TEST(FloatRoundTripTest, AMillionRandomBitPatterns) {
    std::mt19937_64 rng(12345);
    int checked = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        double x = from_bits(rng());
        if (!std::isfinite(x)) continue;
        ++checked;
        std::string written;
        write_double(x, written);
        double back;
        ASSERT_TRUE(parses_to_float(written, back));
        ASSERT_EQ(bits_of(back), bits_of(x)) << written;
        std::string again;
        write_double(back, again);
        ASSERT_EQ(again, written);
        // The text that json.dumps would give reads back as the same double too.
        std::string repr = python_repr(x);
        ASSERT_TRUE(parses_to_float(repr, back));
        ASSERT_EQ(bits_of(back), bits_of(x)) << repr;
    }
    EXPECT_GT(checked, 990'000);
}

TEST(FloatRoundTripTest, AMillionRandomShortDecimals) {
    std::mt19937_64 rng(99);
    int overflowed = 0, underflowed = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        // 1 to 19 significant digits, a point somewhere or none, an exponent or none.
        int n = static_cast<int>(rng() % 19) + 1;
        std::string digits;
        digits += static_cast<char>('1' + rng() % 9);
        for (int k = 1; k < n; ++k) digits += static_cast<char>('0' + rng() % 10);
        std::string text = (rng() % 2) ? "-" : "";
        auto point = static_cast<int>(rng() % static_cast<std::uint64_t>(n + 1));
        text += point == 0 ? "0." + digits
                           : digits.substr(0, static_cast<std::size_t>(point)) +
                                 (point < n ? "." + digits.substr(point) : "");
        if (point == n || rng() % 4 != 0) {
            text += "e" + std::to_string(static_cast<int>(rng() % 680) - 340);
        }
        errno = 0;
        double expected = std::strtod(text.c_str(), nullptr);
        Value v;
        ParseError e;
        bool ok = parse(text, v, e);
        if (std::isinf(expected)) {
            ASSERT_FALSE(ok) << text;
            ASSERT_EQ(e.text(), "number out of range at line 1 column 1") << text;
            ++overflowed;
            continue;
        }
        ASSERT_TRUE(ok) << text << ": " << e.text();
        double got = v.kind() == Value::Kind::real       ? v.as_double()
                     : v.kind() == Value::Kind::uinteger ? static_cast<double>(v.as_u64())
                                                         : static_cast<double>(v.as_i64());
        ASSERT_EQ(bits_of(got), bits_of(expected)) << text;
        if (expected == 0) ++underflowed;
        // The written form reads back as the same double.
        if (v.kind() == Value::Kind::real) {
            double back;
            ASSERT_TRUE(parses_to_float(write_compact(v), back));
            ASSERT_EQ(bits_of(back), bits_of(got)) << text;
        }
    }
    // The exponent range covers both ends of the double range.
    EXPECT_GT(overflowed, 1000);
    EXPECT_GT(underflowed, 1000);
}

TEST(FloatRoundTripTest, SubnormalsAndTheLargestValues) {
    for (std::uint64_t b : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{0x000FFFFFFFFFFFFF},
                            std::uint64_t{0x0010000000000000}, std::uint64_t{0x7FEFFFFFFFFFFFFF},
                            std::uint64_t{0x7FEFFFFFFFFFFFFE}, std::uint64_t{0x3FF0000000000001}}) {
        for (double x : {from_bits(b), -from_bits(b)}) {
            std::string written;
            write_double(x, written);
            double back;
            ASSERT_TRUE(parses_to_float(written, back));
            EXPECT_EQ(bits_of(back), bits_of(x)) << written;
        }
    }
}

}  // namespace
}  // namespace kevro::json
