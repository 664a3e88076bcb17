// Fuzz target: any byte string either parses, or fails with a well-formed error. What parses
// writes to a text that parses back to an equal value and writes again to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/parser.h"
#include "json/writer.h"

namespace {

[[noreturn]] void fault(const char* what, std::string_view detail) {
    std::fprintf(stderr, "json_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

void check_error(std::string_view text, const kevro::json::ParseError& e) {
    using Code = kevro::json::ParseError::Code;
    if (e.code == Code::none || e.code > Code::invalid_utf8) fault("bad error code", e.text());
    if (e.offset > text.size() || e.line == 0) fault("bad error position", e.text());
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < e.offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    std::size_t column = e.offset - line_start + 1;
    // The end of the text is reported at the character before it.
    if (e.offset == text.size()) column -= 1;
    if (e.line != line || e.column != column) fault("error position disagrees", e.text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kevro::json::Value value;
    kevro::json::ParseError error;
    if (!kevro::json::parse(text, value, error)) {
        if (!value.is_null()) fault("failed parse left a value", text);
        check_error(text, error);
        return 0;
    }
    std::string written = kevro::json::write_compact(value);
    kevro::json::Value again;
    if (!kevro::json::parse(written, again, error)) {
        fault("written text does not parse", written + " -> " + error.text());
    }
    if (!(again == value)) fault("value changed through writing", written);
    if (kevro::json::write_compact(again) != written) fault("text changed on rewriting", written);
    return 0;
}
