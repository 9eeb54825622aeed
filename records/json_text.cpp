#include "records/json_text.h"

#include <fmt/format.h>
#include <json/reader.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>

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

namespace {

// A text as a JSON string: quote, backslash and control characters escaped,
// every other byte as it is (UTF-8 passes through).
void AppendQuoted(std::string& out, const char* text, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t copied = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text + copied, i - copied);
    copied = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0x0F]);
    }
  }
  out.append(text + copied, length - copied);
  out.push_back('"');
}

template <typename Number>
void AppendInteger(std::string& out, Number value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// 15 significant digits, as "%.15g" writes them, with ".0" when that
// leaves no mark of a real number; what JSON cannot hold as a number is null
// or an out-of-range exponent.
void AppendReal(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "null";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "1e+9999" : "-1e+9999";
    return;
  }
  char digits[40];
  const auto end =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 15).ptr;
  out.append(digits, end);
  if (std::find_if(digits, end, [](char c) { return c == '.' || c == 'e'; }) == end) out += ".0";
}

void Append(std::string& out, const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      out += "null";
      break;
    case Json::intValue:
      AppendInteger(out, value.asLargestInt());
      break;
    case Json::uintValue:
      AppendInteger(out, value.asLargestUInt());
      break;
    case Json::realValue:
      AppendReal(out, value.asDouble());
      break;
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      value.getString(&begin, &end);
      AppendQuoted(out, begin, static_cast<std::size_t>(end - begin));
      break;
    }
    case Json::booleanValue:
      out += value.asBool() ? "true" : "false";
      break;
    case Json::arrayValue: {
      out.push_back('[');
      for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        if (i > 0) out.push_back(',');
        Append(out, value[i]);
      }
      out.push_back(']');
      break;
    }
    case Json::objectValue: {
      out.push_back('{');
      for (auto member = value.begin(); member != value.end(); ++member) {
        if (member != value.begin()) out.push_back(',');
        const char* end = nullptr;
        const char* name = member.memberName(&end);
        AppendQuoted(out, name, static_cast<std::size_t>(end - name));
        out.push_back(':');
        Append(out, *member);
      }
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

std::string Line(const Json::Value& value) {
  // Written straight into one string: jsoncpp's stream writer goes through
  // an ostream and printf for every value, several times the cost for a
  // record's payload. The text is the same as the writer's (compact, UTF-8
  // as it is, 15 significant digits).
  std::string text;
  Append(text, value);
  // Texts pass through as their bytes are.
  if (utf8_text::IsValidUtf8(text)) return text;
  return utf8_text::ValidUtf8(text);
}

}  // namespace json_text
