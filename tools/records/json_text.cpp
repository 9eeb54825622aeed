#include "tools/records/json_text.h"

#include <fmt/format.h>
#include <json/writer.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace json_text {

Json::Value Float(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  // fmt gives the shortest text that reads back as this float; as a double it
  // prints the same with 15 significant digits.
  const std::string shortest = fmt::format("{}", value);
  return Json::Value(std::strtod(shortest.c_str(), nullptr));
}

std::string Line(const Json::Value& value) {
  thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 15;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
  }();
  std::ostringstream text;
  writer->write(value, &text);
  return text.str();
}

}  // namespace json_text
