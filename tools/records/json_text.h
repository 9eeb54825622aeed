#pragma once

#include <json/value.h>

#include <string>

// JSON output of the debugging tools: one line per value, UTF-8 kept as it
// is, and single-precision values printed in their shortest exact form.
namespace json_text {

// A float as a JSON number with the fewest digits that read back as the same
// float (230.5, 53.6); NaN and the infinities, which JSON cannot hold as
// numbers, as the texts "NaN", "Infinity" and "-Infinity".
Json::Value Float(float value);

// The value on one line, without a newline.
std::string Line(const Json::Value& value);

}  // namespace json_text
