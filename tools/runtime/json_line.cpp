#include "tools/runtime/json_line.h"

#include <json/writer.h>

namespace runtime {

std::string JsonLine(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

}  // namespace runtime
