// The parser: accepted texts and the values they give, every message with its position, the
// truncation sweep, the nesting limit and the number kinds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/parser.h"
#include "json/writer.h"

namespace kevro::json {
namespace {

/// `head`, then `zeros` zero digits, then `tail`: long number texts.
std::string zeros_between(const char* head, std::size_t zeros, const char* tail) {
    std::string s(head);
    s.append(zeros, '0');
    s.append(tail);
    return s;
}

/// The compact form of what `text` parses to, or "error: " and the error text.
std::string parsed(std::string_view text) {
    Value v;
    ParseError e;
    if (!parse(text, v, e)) return "error: " + e.text();
    return write_compact(v);
}

struct ErrorCase {
    std::string text;
    const char* error;
};

// Each caret marks the character that the position designates.
const std::vector<ErrorCase> kErrorCases = {
    {"", "EOF while parsing a value at line 1 column 0"},
    {"   ", "EOF while parsing a value at line 1 column 3"},
    {"[", "EOF while parsing a list at line 1 column 1"},
    {"[1", "EOF while parsing a list at line 1 column 2"},
    {"[1,",
     // ^
     "EOF while parsing a value at line 1 column 3"},
    {"{", "EOF while parsing an object at line 1 column 1"},
    {R"({"a")", "EOF while parsing an object at line 1 column 4"},
    {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
    {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
    {R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
    {R"("abc)", "EOF while parsing a string at line 1 column 4"},
    {R"("\)", "EOF while parsing a string at line 1 column 2"},
    {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
    {R"("\ud800)", "EOF while parsing a string at line 1 column 7"},
    {R"("\ud800\)", "EOF while parsing a string at line 1 column 8"},
    {"tru", "EOF while parsing a value at line 1 column 3"},
    {"-", "EOF while parsing a value at line 1 column 1"},
    {"1.", "EOF while parsing a value at line 1 column 2"},
    {"1e", "EOF while parsing a value at line 1 column 2"},
    {"[1e-", "EOF while parsing a value at line 1 column 4"},
    {R"({"a" 1})",
     //     ^
     "expected `:` at line 1 column 6"},
    {R"({"a",1})", "expected `:` at line 1 column 5"},
    {"[1 2]",
     //  ^
     "expected `,` or `]` at line 1 column 4"},
    {"[1}", "expected `,` or `]` at line 1 column 3"},
    {R"({"a":1 "b":2})",
     //       ^
     "expected `,` or `}` at line 1 column 8"},
    {R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
    {"nul1",
     //  ^
     "expected ident at line 1 column 4"},
    {"fAlse", "expected ident at line 1 column 2"},
    {"[trUe]", "expected ident at line 1 column 4"},
    {"NaN", "expected value at line 1 column 1"},
    {"Infinity", "expected value at line 1 column 1"},
    {"True", "expected value at line 1 column 1"},
    {"[1, NaN]",
     //   ^
     "expected value at line 1 column 5"},
    {"+1", "expected value at line 1 column 1"},
    {".5", "expected value at line 1 column 1"},
    {"'a'", "expected value at line 1 column 1"},
    {"]", "expected value at line 1 column 1"},
    {R"({"a":})", "expected value at line 1 column 6"},
    {R"("\x")",
     //  ^
     "invalid escape at line 1 column 3"},
    {R"("\U0041")", "invalid escape at line 1 column 3"},
    {R"("\u12G4")",
     //     ^
     "invalid escape at line 1 column 6"},
    {R"("\ud800\u00zz")", "invalid escape at line 1 column 12"},
    {"-Infinity",
     //^
     "invalid number at line 1 column 2"},
    {"01", "invalid number at line 1 column 2"},
    {"-01", "invalid number at line 1 column 3"},
    {"1.e5",
     // ^
     "invalid number at line 1 column 3"},
    {"[1.]", "invalid number at line 1 column 4"},
    {"1e+x", "invalid number at line 1 column 4"},
    {"-a", "invalid number at line 1 column 2"},
    {"1e400", "number out of range at line 1 column 1"},
    {"[1,-1e309]",
     //  ^
     "number out of range at line 1 column 4"},
    {zeros_between("1", 400, ""), "number out of range at line 1 column 1"},
    {"0.1e310", "number out of range at line 1 column 1"},
    {"\"a\x01z\"",
     //  ^
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
    {"\"\n\"",
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
    {std::string("\"a\0\"", 4),
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
    {"{1:2}",
     //^
     "key must be a string at line 1 column 2"},
    {R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
    {"{,}", "key must be a string at line 1 column 2"},
    {R"("\udc00")",
     //      ^
     "lone leading surrogate in hex escape at line 1 column 7"},
    {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
    {R"("\ud800\ud800")", "lone leading surrogate in hex escape at line 1 column 13"},
    {R"("\ud800")",
     //       ^
     "unexpected end of hex escape at line 1 column 8"},
    {R"("\ud800x")", "unexpected end of hex escape at line 1 column 8"},
    {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
    {"[1,]",
     //  ^
     "trailing comma at line 1 column 4"},
    {"[1, ]", "trailing comma at line 1 column 5"},
    {R"({"a":1,})", "trailing comma at line 1 column 8"},
    {"1 2",
     //^
     "trailing characters at line 1 column 3"},
    {"[] x", "trailing characters at line 1 column 4"},
    {"nullx", "trailing characters at line 1 column 5"},
    {R"("a""b")", "trailing characters at line 1 column 4"},
    {std::string("1\0", 2), "trailing characters at line 1 column 2"},
    {std::string("\0", 1), "expected value at line 1 column 1"},
    // Only space, tab, line feed and carriage return are whitespace.
    {"\f1", "expected value at line 1 column 1"},
    {"1\v", "trailing characters at line 1 column 2"},
    {"\xc2\xa0"
     "1",
     "expected value at line 1 column 1"},
    // Positions across lines: the column restarts after each line feed and counts bytes.
    {"[\n1,\n]", "trailing comma at line 3 column 1"},
    {"{\r\n  \"a\" 1}", "expected `:` at line 2 column 7"},
    {"\n\n  x", "expected value at line 3 column 3"},
    {"[1,\n", "EOF while parsing a value at line 2 column 0"},
    {"[\"\xc3\xa9\xc3\xa9\" 1]", "expected `,` or `]` at line 1 column 9"},
    // Malformed UTF-8 has an error of its own.
    {"\"\xff\"", "invalid UTF-8 at line 1 column 2"},
    {"\"\x80\"", "invalid UTF-8 at line 1 column 2"},
    {"\"\xc0\xaf\"", "invalid UTF-8 at line 1 column 2"},          // overlong '/'
    {"\"\xe0\x80\xaf\"", "invalid UTF-8 at line 1 column 2"},      // overlong '/'
    {"\"a\xed\xa0\x80\"", "invalid UTF-8 at line 1 column 3"},     // an encoded surrogate
    {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 at line 1 column 2"},  // above U+10FFFF
    {"\"\xc3(\"", "invalid UTF-8 at line 1 column 2"},
    {"\xff", "invalid UTF-8 at line 1 column 1"},
    {"[1,\xfe]", "invalid UTF-8 at line 1 column 4"},
};

TEST(ParserErrorTest, EveryMessageWithItsPosition) {
    for (const ErrorCase& c : kErrorCases) {
        EXPECT_EQ(parsed(c.text), std::string("error: ") + c.error) << "text: " << c.text;
    }
}

TEST(ParserErrorTest, FailureLeavesTheOutputNullAndRecordsTheOffset) {
    Value v = Value::from_string("old");
    ParseError e;
    ASSERT_FALSE(parse("[[1],\n [2,]]", v, e));
    EXPECT_TRUE(v.is_null());
    EXPECT_EQ(e.code, ParseError::Code::trailing_comma);
    EXPECT_EQ(e.offset, 10u);
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 5u);
    EXPECT_STREQ(e.message(), "trailing comma");

    // A later success clears the error.
    ASSERT_TRUE(parse("[]", v, e));
    EXPECT_EQ(e.code, ParseError::Code::none);
}

TEST(ParserErrorTest, TextWithoutPositionIsTheMessageAlone) {
    ParseError e;
    e.code = ParseError::Code::recursion_limit;
    EXPECT_EQ(e.text(), "recursion limit exceeded");
    e.line = 3;
    e.column = 9;
    EXPECT_EQ(e.text(), "recursion limit exceeded at line 3 column 9");
}

TEST(ParserTest, AcceptedTextsAndTheirCompactForm) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"null", "null"},
        {"true", "true"},
        {"false", "false"},
        {" \t\r\n[ 1 , { \"a\" : null } ] \n", R"([1,{"a":null}])"},
        {"[[],{},[[]]]", "[[],{},[[]]]"},
        {R"({"b":1,"a":[true,false]})", R"({"a":[true,false],"b":1})"},
        {R"({"a":1,"a":2})", R"({"a":2})"},
        {R"({"b":1,"a":2,"b":3,"a":{"x":0}})", R"({"a":{"x":0},"b":3})"},
        {R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
        {R"("\u0041\u00e9\u20AC\u0000\u001F")", "\"A\xc3\xa9\xe2\x82\xac\\u0000\\u001f\""},
        {"\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\""},
        {R"({"\u00e9":1,"z":2})", "{\"z\":2,\"\xc3\xa9\":1}"},
        {R"("")", R"("")"},
    };
    for (const auto& [text, compact] : cases) EXPECT_EQ(parsed(text), compact) << text;
}

TEST(ParserTest, StringsAndKeysOfEveryLengthAroundTheInlineLimit) {
    // Short strings are held inline and copied from the text as one block, long ones on the
    // heap; keys also compare by their first eight bytes. Each string is followed by more
    // text, which must not leak into it.
    Object expected_keys;
    std::string keys_text = "{";
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('a' + (i * 7 + n) % 26);
        Value v;
        ParseError e;
        ASSERT_TRUE(parse("[\"" + s + "\",\"tail-tail-tail-tail-tail\"]", v, e)) << e.text();
        EXPECT_EQ(v.as_array().at(0).as_string(), s);
        ASSERT_TRUE(parse("\"" + s + "\"", v, e)) << e.text();
        EXPECT_EQ(v.as_string(), s);
        // Keys sharing their first eight bytes, in descending order.
        std::string key = "profile_" + std::string(40 - n, 'z') + s;
        expected_keys.insert(key, Value::from_u64(n));
        keys_text += (n ? ",\"" : "\"") + key + "\":" + std::to_string(n);
    }
    keys_text += "}";
    Value v;
    ParseError e;
    ASSERT_TRUE(parse(keys_text, v, e)) << e.text();
    EXPECT_EQ(v, Value(expected_keys));
}

TEST(ParserTest, ObjectsOfOneSizeInDifferentKeyOrders) {
    // Records of a list share their shape; the key order that sorted one is tried on the next
    // of as many members. Each record here has eleven members (one key repeated in some, so
    // that the order of the record before puts the two side by side), in one of a few orders,
    // with keys that tie on their first bytes, a NUL included.
    const std::vector<std::string> keys = {"id",        "id_str",      "profile_", "profile_bg",
                                           "profile_b", "a",           "a\\u0000", "a\\u0000b",
                                           "name",      "screen_name", "zz"};
    const std::vector<std::vector<int>> orders = {
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {0, 1, 2, 3, 3, 5, 6, 7, 8, 9, 10},
        {10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, {3, 2, 4, 0, 1, 6, 5, 7, 9, 8, 10},
        {3, 2, 4, 0, 1, 6, 5, 7, 9, 8, 3},  {1, 0, 2, 4, 3, 5, 7, 6, 8, 10, 9},
        {3, 2, 4, 0, 1, 6, 5, 7, 9, 8, 10}};
    std::string text = "[";
    Array expected;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t r = 0; r < orders.size(); ++r) {
            Object record;
            std::string item = "{";
            for (std::size_t i = 0; i < orders[r].size(); ++i) {
                const std::string& key = keys[static_cast<std::size_t>(orders[r][i])];
                int value = round * 100 + static_cast<int>(r * 11 + i);
                item += (i ? ",\"" : "\"") + key + "\":" + std::to_string(value);
                // The later of equal keys wins, as insert() keeps it.
                std::string raw = key;
                for (std::size_t at; (at = raw.find("\\u0000")) != std::string::npos;) {
                    raw.replace(at, 6, std::string(1, '\0'));
                }
                record.insert(raw, Value::from_u64(static_cast<std::uint64_t>(value)));
            }
            text += (text.size() > 1 ? "," : "") + item + "}";
            expected.push_back(Value(std::move(record)));
        }
    }
    text += "]";
    Value v;
    ParseError e;
    ASSERT_TRUE(parse(text, v, e)) << e.text();
    EXPECT_EQ(write_compact(v), write_compact(Value(std::move(expected))));
}

TEST(ParserTest, SurrogatePairsGiveOneCharacter) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},  // U+1F600
        {R"("\uD800\uDC00")", "\xf0\x90\x80\x80"},  // U+10000
        {R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},  // U+10FFFF
        {R"("a\ud834\udd1eb")",
         "a\xf0\x9d\x84\x9e"
         "b"},
    };
    for (const auto& [text, utf8] : cases) {
        Value v;
        ParseError e;
        ASSERT_TRUE(parse(text, v, e)) << text << ": " << e.text();
        EXPECT_EQ(v.as_string(), utf8) << text;
    }
}

struct NumberCase {
    const char* text;
    Value::Kind kind;
    const char* compact;
};

TEST(ParserTest, NumberKinds) {
    using K = Value::Kind;
    const std::vector<NumberCase> cases = {
        {"0", K::uinteger, "0"},
        {"7", K::uinteger, "7"},
        {"9223372036854775808", K::uinteger, "9223372036854775808"},
        {"18446744073709551615", K::uinteger, "18446744073709551615"},
        {"18446744073709551616", K::real, "1.8446744073709552e+19"},
        {"99999999999999999999", K::real, "1e+20"},
        {"-1", K::sinteger, "-1"},
        {"-9223372036854775808", K::sinteger, "-9223372036854775808"},
        {"-9223372036854775809", K::real, "-9.223372036854776e+18"},
        {"-18446744073709551615", K::real, "-1.8446744073709552e+19"},
        {"-0", K::real, "-0.0"},
        {"-0.0", K::real, "-0.0"},
        {"0.0", K::real, "0.0"},
        {"1.0", K::real, "1.0"},
        {"1e2", K::real, "100.0"},
        {"1E2", K::real, "100.0"},
        {"1e+2", K::real, "100.0"},
        {"1e-2", K::real, "0.01"},
        {"0.1", K::real, "0.1"},
        {"1e-05", K::real, "0.00001"},
        {"1e+16", K::real, "1e+16"},
        {"123456789012345678901234567890", K::real, "1.2345678901234568e+29"},
        {"968.7302436888135", K::real, "968.7302436888135"},
        {"1.7976931348623157e308", K::real, "1.7976931348623157e+308"},
        {"1.7976931348623158e308", K::real, "1.7976931348623157e+308"},
        {"2.4703282292062328e-324", K::real, "5e-324"},
        {"2.4703282292062327e-324", K::real, "0.0"},
        {"1e-400", K::real, "0.0"},
        {"-1e-400", K::real, "-0.0"},
        {"0e999999999999999999999", K::real, "0.0"},
        {"-0e5", K::real, "-0.0"},
        {"1e-99999999999999999999", K::real, "0.0"},
    };
    for (const NumberCase& c : cases) {
        Value v;
        ParseError e;
        ASSERT_TRUE(parse(c.text, v, e)) << c.text << ": " << e.text();
        EXPECT_EQ(v.kind(), c.kind) << c.text;
        EXPECT_EQ(write_compact(v), c.compact) << c.text;
    }
}

TEST(ParserTest, LongNumberTextsGiveTheNearestDouble) {
    // Four hundred zeros after the point still leave 1e-401, which underflows to zero; the same
    // digits scaled back up by the exponent are exact.
    EXPECT_EQ(parsed(zeros_between("0.", 400, "1")), "0.0");
    EXPECT_EQ(parsed(zeros_between("0.", 400, "1e410")), "1000000000.0");
    EXPECT_EQ(parsed(zeros_between("1", 400, "e-390")), "10000000000.0");
    EXPECT_EQ(parsed(zeros_between("1", 300, "")), "1e+300");
    // A halfway case decided only by a digit far beyond the seventeenth.
    EXPECT_EQ(parsed("9007199254740993"), "9007199254740993");
    EXPECT_EQ(parsed("9007199254740993.0"), "9007199254740992.0");
    EXPECT_EQ(parsed("9007199254740993.0000000000000000000000000001"), "9007199254740994.0");
    // Halfway cases round to even, also where the significand exceeds 2^53.
    EXPECT_EQ(parsed("9007199254740993e0"), "9007199254740992.0");
    EXPECT_EQ(parsed("9007199254740995e0"), "9007199254740996.0");
    EXPECT_EQ(parsed("1.00000000000000011102230246251565404236316680908203125"), "1.0");
    EXPECT_EQ(parsed("1.00000000000000011102230246251565404236316680908203126"),
              "1.0000000000000002");
    // Either side of the smallest normal, and the smallest subnormal written long.
    EXPECT_EQ(parsed("2.2250738585072011e-308"), "2.225073858507201e-308");
    EXPECT_EQ(parsed("2.2250738585072012e-308"), "2.2250738585072014e-308");
    EXPECT_EQ(parsed("4.9406564584124654e-324"), "5e-324");
    EXPECT_EQ(parsed("-4.9406564584124654e-325"), "-0.0");
}

// Every proper prefix of a valid document fails with one of the EOF messages, positioned at
// the end of the text.
TEST(ParserTest, TruncationSweep) {
    const std::vector<std::string> documents = {
        R"({"name":"caf\u00e9 \ud83d\ude00","list":[1,-2,3.5e-7,true,false,null],"o":{}})",
        "[\n  {\"a\": [ 0.5 , \"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\" ]},\r\n  -0, 1E+2\n]",
        R"("\"\\\/\b\f\n\r\t\u0041")",
        "[[[[[]]]],{\"k\":{\"k\":{}}}]",
        "true",
        "false",
        "null",
    };
    for (const std::string& doc : documents) {
        ASSERT_EQ(parsed(doc).rfind("error", 0), std::string::npos) << doc;
        for (std::size_t n = 0; n < doc.size(); ++n) {
            std::string prefix = doc.substr(0, n);
            Value v;
            ParseError e;
            ASSERT_FALSE(parse(prefix, v, e)) << "prefix: " << prefix;
            std::string message = e.message();
            EXPECT_EQ(message.rfind("EOF while parsing ", 0), 0u)
                << "prefix: " << prefix << " gave " << e.text();
            std::size_t line_start = prefix.rfind('\n');
            line_start = line_start == std::string::npos ? 0 : line_start + 1;
            EXPECT_EQ(e.column, n - line_start) << "prefix: " << prefix;
            EXPECT_EQ(e.line,
                      1 + static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '\n')));
        }
    }
}

TEST(ParserTest, NestingLimit) {
    EXPECT_EQ(parsed(std::string(127, '[') + std::string(127, ']')),
              std::string(127, '[') + std::string(127, ']'));
    EXPECT_EQ(parsed(std::string(128, '[') + std::string(128, ']')),
              "error: recursion limit exceeded at line 1 column 128");

    std::string objects;
    for (int i = 0; i < 127; ++i) objects += R"({"a":)";
    EXPECT_EQ(parsed(objects + "1" + std::string(127, '}')), objects + "1" + std::string(127, '}'));
    EXPECT_EQ(parsed(objects + "{}" + std::string(127, '}')),
              "error: recursion limit exceeded at line 1 column 636");

    // The limit counts containers open at once, not containers in all.
    std::string deep = std::string(126, '[') + std::string(126, ']');
    EXPECT_EQ(parsed("[" + deep + "," + deep + "]"), "[" + deep + "," + deep + "]");

    std::string lines;
    for (int i = 0; i < 128; ++i) lines += "[\n";
    EXPECT_EQ(parsed(lines), "error: recursion limit exceeded at line 128 column 1");

    // Huge inputs of brackets fail at once at the 128th.
    EXPECT_EQ(parsed(std::string(10'000'000, '[')),
              "error: recursion limit exceeded at line 1 column 128");
}

TEST(ParserTest, WideDocuments) {
    std::string text = "[";
    for (int i = 0; i < 100000; ++i) text += i ? ",[]" : "[]";
    text += "]";
    EXPECT_EQ(parsed(text), text);

    std::string keys = "{";
    for (int i = 99999; i >= 0; --i) {
        keys += "\"k" + std::to_string(i) + "\":" + std::to_string(i);
        if (i) keys += ",";
    }
    keys += "}";
    Value v;
    ParseError e;
    ASSERT_TRUE(parse(keys, v, e));
    const Object& o = v.as_object();
    ASSERT_EQ(o.size(), 100000u);
    EXPECT_EQ(o.begin()->key, "k0");
    EXPECT_EQ(o.find("k77")->as_u64(), 77u);
}

}  // namespace
}  // namespace kevro::json
