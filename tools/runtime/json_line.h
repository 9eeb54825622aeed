#pragma once

#include <json/value.h>

#include <string>

namespace runtime {

// A JSON value on one line, UTF-8 kept as it is, without a newline.
std::string JsonLine(const Json::Value& value);

}  // namespace runtime
