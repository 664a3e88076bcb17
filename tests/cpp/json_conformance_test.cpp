// Every file of the shared JSON conformance suite: y_ files are accepted, n_ files refused
// with one of the parser's messages, i_ files either way; none may crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "json/parser.h"
#include "json/writer.h"

namespace kevro::json {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::set<std::string> kMessages = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
    "invalid UTF-8",
};

TEST(ConformanceTest, TestParsingDirectory) {
    fs::path dir(KEVRO_CONFORMANCE_DIR);
    if (!fs::is_directory(dir)) {
        GTEST_SKIP() << "conformance files not found at " << dir.string();
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    int accepted = 0, refused = 0;
    for (const fs::path& path : files) {
        std::string name = path.filename().string();
        std::string text = read_file(path);
        Value v;
        ParseError e;
        bool ok = parse(text, v, e);
        if (ok) {
            ++accepted;
            // What was accepted writes and reads back to the same value.
            Value again;
            ASSERT_TRUE(parse(write_compact(v), again, e)) << name;
            EXPECT_EQ(again, v) << name;
        } else {
            ++refused;
            EXPECT_EQ(kMessages.count(e.message()), 1u) << name << ": " << e.text();
            EXPECT_GE(e.line, 1u) << name;
        }
        if (name[0] == 'y') {
            EXPECT_TRUE(ok) << name << ": " << e.text();
        } else if (name[0] == 'n') {
            EXPECT_FALSE(ok) << name << " was accepted";
        }
    }
    EXPECT_GT(accepted, 90);
    EXPECT_GT(refused, 180);
}

}  // namespace
}  // namespace kevro::json
