#pragma once

#include <json/value.h>

#include <string>

namespace runtime {

// A JSON value on one line, without a newline; valid UTF-8 is kept as it is,
// ill-formed bytes become U+FFFD. Doubles print with 15 significant digits,
// so a float passed through json_text::Float prints in its shortest form.
std::string JsonLine(const Json::Value& value);

}  // namespace runtime
