// The JSON parser: one pass over UTF-8 text in memory, at most 127 open containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.h"

namespace kevro::json {

struct ParseError {
    enum class Code {
        none,
        eof_list,               // EOF while parsing a list
        eof_object,             // EOF while parsing an object
        eof_string,             // EOF while parsing a string
        eof_value,              // EOF while parsing a value
        expected_colon,         // expected `:`
        expected_list_comma,    // expected `,` or `]`
        expected_object_comma,  // expected `,` or `}`
        expected_ident,         // expected ident
        expected_value,         // expected value
        invalid_escape,         // invalid escape
        invalid_number,         // invalid number
        number_out_of_range,    // number out of range
        control_character,      // control character (\u0000-\u001F) found while parsing a string
        key_must_be_string,     // key must be a string
        lone_surrogate,         // lone leading surrogate in hex escape
        trailing_comma,         // trailing comma
        trailing_characters,    // trailing characters
        unexpected_end_of_hex,  // unexpected end of hex escape
        recursion_limit,        // recursion limit exceeded
        invalid_utf8,           // invalid UTF-8 (only outside the module: text it never parses)
    };
    Code code = Code::none;
    std::size_t offset = 0;  // byte offset of the character at which the error was found
    std::size_t line = 0;    // 1-based; 0 means no position
    std::size_t column = 0;  // 1-based byte column within the line

    /// The message of the code, without position.
    const char* message() const noexcept;
    /// "{message} at line {line} column {column}", or the message alone when line is 0.
    std::string text() const;
};

/// Parses `text` into `out`. On failure returns false, fills `error` and leaves `out` null.
bool parse(std::string_view text, Value& out, ParseError& error);

namespace detail {
/// The nearest double to w * 10^q (0 < w < 2^64), the conversion the parser gives the floats
/// that one exact multiplication cannot; false in the rare cases that it leaves undecided
/// (the parser then takes std::from_chars). For the benchmark against std::from_chars.
bool decimal_to_double(std::uint64_t w, std::int64_t q, bool negative, double& out) noexcept;
}  // namespace detail

}  // namespace kevro::json
