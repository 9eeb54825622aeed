#include "records/json_text.h"

#include <fmt/format.h>
#include <json/reader.h>
#include <json/writer.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "records/utf8_text.h"

namespace json_text {

Json::Value Float(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  // fmt gives the shortest text that reads back as this float; as a double it
  // prints the same with 15 significant digits.
  const std::string shortest = fmt::format("{}", value);
  return Json::Value(std::strtod(shortest.c_str(), nullptr));
}

bool Parse(std::string_view text, bool strict, Json::Value& root, std::string& error) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  // Strict: a key given twice and a trailing comma are errors, not the last
  // value taken silently.
  builder["rejectDupKeys"] = strict;
  builder["allowTrailingCommas"] = !strict;
  builder["stackLimit"] = kMaxDepth;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  error.clear();
  try {
    if (reader->parse(text.data(), text.data() + text.size(), &root, &error)) return true;
  } catch (const std::exception&) {
    // The reader throws when the nesting exceeds its stack limit.
    error = "arrays and objects nested deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
  return false;
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
  // The writer passes bytes of texts through as they are.
  return utf8_text::ValidUtf8(text.str());
}

}  // namespace json_text
