#include "tools/runtime/json_line.h"

#include <json/writer.h>

#include "tools/records/utf8_text.h"

namespace runtime {

std::string JsonLine(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return utf8_text::ValidUtf8(Json::writeString(builder, value));
}

}  // namespace runtime
