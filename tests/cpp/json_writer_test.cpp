// The compact writer: kinds, escapes, key order and the float layout to the character.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "float_reference.h"
#include "json/writer.h"

namespace kevro::json {
namespace {

double from_bits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::string layout(double d) {
    std::string out;
    write_double(d, out);
    return out;
}

TEST(WriterTest, ScalarKinds) {
    EXPECT_EQ(write_compact(Value()), "null");
    EXPECT_EQ(write_compact(Value::boolean(true)), "true");
    EXPECT_EQ(write_compact(Value::boolean(false)), "false");
    EXPECT_EQ(write_compact(Value::from_u64(0)), "0");
    EXPECT_EQ(write_compact(Value::from_u64(std::numeric_limits<std::uint64_t>::max())),
              "18446744073709551615");
    EXPECT_EQ(write_compact(Value::from_i64(-1)), "-1");
    EXPECT_EQ(write_compact(Value::from_i64(std::numeric_limits<std::int64_t>::min())),
              "-9223372036854775808");
    EXPECT_EQ(write_compact(Value::from_string("")), R"("")");
}

TEST(WriterTest, IntegersAroundEachDigitCount) {
    // Each power of ten and the number below it, alone and after a comma in an array, as
    // std::to_chars writes them.
    std::uint64_t power = 1;
    for (int digits = 1; digits <= 19; ++digits, power *= 10) {
        for (std::uint64_t u : {power - 1, power, power + 1}) {
            std::string expected = std::to_string(u);
            EXPECT_EQ(write_compact(Value::from_u64(u)), expected);
            EXPECT_EQ(write_compact(Value(Array{Value::from_u64(5), Value::from_u64(u)})),
                      "[5," + expected + "]");
            auto negative = -static_cast<std::int64_t>(u % 1000000000000000000u) - 1;
            EXPECT_EQ(write_compact(Value::from_i64(negative)), std::to_string(negative));
        }
    }
}

TEST(WriterTest, ContainersAreCompact) {
    Array mixed{Value::from_u64(1), Value::from_i64(-1), Value::from_double(1.0),
                Value::from_double(0.5), Value::from_double(1e100)};
    EXPECT_EQ(write_compact(Value(mixed)), "[1,-1,1.0,0.5,1e+100]");
    EXPECT_EQ(write_compact(Value(Array{})), "[]");
    EXPECT_EQ(write_compact(Value(Object{})), "{}");
    Object o;
    o.insert("list", Value(Array{Value(Array{}), Value(Object{}), Value()}));
    o.insert("b", Value::from_string("x"));
    EXPECT_EQ(write_compact(Value(o)), R"({"b":"x","list":[[],{},null]})");
}

TEST(WriterTest, MembersAreWrittenInKeyByteOrder) {
    Object o;
    o.insert("b", Value::from_u64(2));
    o.insert("a", Value::from_u64(1));
    EXPECT_EQ(write_compact(Value(o)), R"({"a":1,"b":2})");

    Object p;
    for (const char* k : {"\xc3\xa9", "z", "aa", "a", "B", ""}) p.insert(k, Value());
    EXPECT_EQ(write_compact(Value(p)),
              "{\"\":null,\"B\":null,\"a\":null,\"aa\":null,\"z\":null,\"\xc3\xa9\":null}");
}

TEST(WriterTest, StringEscapes) {
    EXPECT_EQ(write_compact(Value::from_string("\t\n\x01\xc3\xa9/")), "\"\\t\\n\\u0001\xc3\xa9/\"");
    EXPECT_EQ(write_compact(Value::from_string("\"\\\b\f\r\x7f")), R"("\"\\\b\f\r)"
                                                                   "\x7f\"");
    // Every control character without a short escape takes the \u00xx form, lowercase.
    const std::map<char, std::string> short_escapes = {{'\b', R"("\b")"},
                                                       {'\t', R"("\t")"},
                                                       {'\n', R"("\n")"},
                                                       {'\f', R"("\f")"},
                                                       {'\r', R"("\r")"}};
    for (int c = 0; c < 0x20; ++c) {
        std::string s(1, static_cast<char>(c));
        std::string expected;
        if (auto it = short_escapes.find(s[0]); it != short_escapes.end()) {
            expected = it->second;
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\"\\u%04x\"", c);
            expected = buf;
        }
        EXPECT_EQ(write_compact(Value::from_string(s)), expected) << "byte " << c;
    }
    EXPECT_EQ(write_compact(Value::from_string(std::string("a\0b", 3))), R"("a\u0000b")");
    EXPECT_EQ(write_compact(Value::from_string("\x1f")), R"("\u001f")");
    // Keys are escaped alike.
    Object o;
    o.insert("\"k\"\n", Value::from_u64(1));
    EXPECT_EQ(write_compact(Value(o)), R"({"\"k\"\n":1})");
}

TEST(WriterTest, LongStringsWithEscapesGrowTheBuffer) {
    std::string s;
    std::string expected = "\"";
    for (int i = 0; i < 5000; ++i) {
        s += "ab\x01\"";
        expected += "ab\\u0001\\\"";
    }
    expected += "\"";
    EXPECT_EQ(write_compact(Value::from_string(s)), expected);
}

TEST(WriterTest, EscapesAtEveryPlaceOfTheEightByteSteps) {
    // Plain runs are copied eight bytes at a time: a byte to escape is placed at every offset
    // of strings of every length up to three steps, next to non-ASCII bytes.
    const std::vector<std::pair<char, std::string>> specials = {
        {'"', "\\\""},       {'\\', "\\\\"},   {'\x01', "\\u0001"}, {'\n', "\\n"},
        {'\x1f', "\\u001f"}, {'\x7f', "\x7f"}, {'\0', "\\u0000"}};
    for (std::size_t n = 1; n <= 24; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            for (const auto& [c, escaped] : specials) {
                std::string s(n, 'x');
                s[at] = c;
                if (at + 2 < n) s.replace(at + 1, 2, "\xc3\xa9");
                std::string expected = "\"" + s.substr(0, at) + escaped + s.substr(at + 1) + "\"";
                EXPECT_EQ(write_compact(Value::from_string(s)), expected) << n << " " << at;
            }
        }
    }
}

TEST(WriterTest, AppendsToWhatTheBufferHolds) {
    std::string out = "prefix:";
    write_compact(Value(Array{Value::from_u64(7)}), out);
    EXPECT_EQ(out, "prefix:[7]");
    write_double(0.5, out);
    EXPECT_EQ(out, "prefix:[7]0.5");
}

struct LayoutCase {
    const char* name;
    double value;
    const char* text;
};

class FloatLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(FloatLayoutTest, WritesTheLayout) {
    EXPECT_EQ(layout(GetParam().value), GetParam().text);
    EXPECT_EQ(write_compact(Value::from_double(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FloatLayoutTest,
    ::testing::Values(
        LayoutCase{"zero", 0.0, "0.0"}, LayoutCase{"negative_zero", -0.0, "-0.0"},
        LayoutCase{"one", 1.0, "1.0"}, LayoutCase{"hundred", 100.0, "100.0"},
        LayoutCase{"one_and_a_half", 1.5, "1.5"}, LayoutCase{"negative", -2.5, "-2.5"},
        LayoutCase{"fraction", 123.456, "123.456"},
        LayoutCase{"sum", 0.1 + 0.2, "0.30000000000000004"},
        LayoutCase{"integral_nine_digits", 123456789.0, "123456789.0"},
        LayoutCase{"e15", 1e15, "1000000000000000.0"},
        LayoutCase{"below_e16", 9999999999999998.0, "9999999999999998.0"},
        LayoutCase{"e16_digits_17", 1234567890123456.8, "1234567890123456.8"},
        LayoutCase{"e16", 1e16, "1e+16"}, LayoutCase{"e16_negative", -1e16, "-1e+16"},
        LayoutCase{"two_to_64", 18446744073709551616.0, "1.8446744073709552e+19"},
        LayoutCase{"e100", 1e100, "1e+100"}, LayoutCase{"e300", 1.5e300, "1.5e+300"},
        LayoutCase{"max", std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        LayoutCase{"lowest", std::numeric_limits<double>::lowest(), "-1.7976931348623157e+308"},
        LayoutCase{"tenth", 0.1, "0.1"}, LayoutCase{"thousandth", 0.001, "0.001"},
        LayoutCase{"e_minus5", 1e-5, "0.00001"},
        LayoutCase{"e_minus5_digits", 1.2345e-5, "0.000012345"},
        LayoutCase{"e_minus5_largest_below_e_minus4", 9.999e-5, "0.00009999"},
        LayoutCase{"e_minus6", 1e-6, "1e-6"}, LayoutCase{"below_e_minus5", 9.99e-6, "9.99e-6"},
        LayoutCase{"e_minus7_digits", 1.2345e-7, "1.2345e-7"},
        LayoutCase{"e_minus10", -1e-10, "-1e-10"},
        LayoutCase{"min_normal", std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        LayoutCase{"min_subnormal", 5e-324, "5e-324"},
        LayoutCase{"negative_min_subnormal", -5e-324, "-5e-324"}),
    [](const ::testing::TestParamInfo<LayoutCase>& param) {
        return std::string(param.param.name);
    });

TEST(WriterTest, NonFiniteFloatsAreWrittenAsNull) {
    EXPECT_EQ(layout(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(layout(-std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(layout(std::nan("")), "null");
}

// The writer against the independent statement of the rule, over random bit patterns and over
// values near every power of ten where the layout switches.
TEST(FloatLayoutDifferentialTest, RandomBitPatternsMatchTheReference) {
    std::mt19937_64 rng(20240601);
    int checked = 0;
    for (int i = 0; i < 200000; ++i) {
        double d = from_bits(rng());
        if (!std::isfinite(d)) continue;
        ASSERT_EQ(layout(d), testing::reference_layout(d)) << std::hexfloat << d;
        ++checked;
    }
    EXPECT_GT(checked, 199000);
}

TEST(FloatLayoutDifferentialTest, NeighboursOfPowersOfTenMatchTheReference) {
    for (int e = -325; e <= 308; ++e) {
        double p = std::pow(10.0, e);
        double below = p, above = p;
        for (int k = 0; k < 4; ++k) {
            for (double d : {below, above, -below}) {
                if (!std::isfinite(d)) continue;
                ASSERT_EQ(layout(d), testing::reference_layout(d)) << std::hexfloat << d;
            }
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, std::numeric_limits<double>::infinity());
        }
    }
}

TEST(FloatLayoutDifferentialTest, RandomShortDecimalsMatchTheReference) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        // A few digits at a random scale: the layouts with padding zeros get exercised.
        auto digits = static_cast<double>(rng() % 100000 + 1);
        int e = static_cast<int>(rng() % 50) - 25;
        double d =
            std::stod(std::to_string(static_cast<long long>(digits)) + "e" + std::to_string(e));
        ASSERT_EQ(layout(d), testing::reference_layout(d)) << std::hexfloat << d;
    }
}

}  // namespace
}  // namespace kevro::json
