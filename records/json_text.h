#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

// JSON output of the debugging tools: one line per value, valid UTF-8 kept
// as it is (ill-formed bytes become U+FFFD), and single-precision values printed in their shortest
// exact form.
namespace json_text {

// A float as a JSON number with the fewest digits that read back as the same
// float (230.5, 53.6); NaN and the infinities, which JSON cannot hold as
// numbers, as the texts "NaN", "Infinity" and "-Infinity".
Json::Value Float(float value);

// How deep arrays and objects may nest in text that Parse reads.
constexpr int kMaxDepth = 100;

// Reads one JSON document: comments allowed, nothing but blanks after it,
// nesting up to kMaxDepth. False with `error` (the reader's reason, with
// line and column) when the text is not such a document; never throws.
// `strict` (files people write: configurations, scripts): a key given twice
// in an object and a trailing comma are errors too.
bool Parse(std::string_view text, bool strict, Json::Value& root, std::string& error);

// The value on one line, without a newline, as valid UTF-8.
std::string Line(const Json::Value& value);

}  // namespace json_text
