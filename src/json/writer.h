// The compact writer: no whitespace, members in key order, shortest round-trip floats.
#pragma once

#include <string>

#include "json/value.h"

namespace kevro::json {

/// Appends the compact text of `value` to `out`.
void write_compact(const Value& value, std::string& out);

/// The compact text of `value`, in a buffer that starts with room for 128 bytes.
std::string write_compact(const Value& value);

/// Appends the float layout of a double (finite; a non-finite one is written as null).
void write_double(double d, std::string& out);

}  // namespace kevro::json
