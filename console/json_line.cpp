#include "console/json_line.h"

#include "records/json_text.h"

namespace runtime {

// The writer of the debugging tools: floats made by json_text::Float print in
// their shortest form.
std::string JsonLine(const Json::Value& value) {
  return json_text::Line(value);
}

}  // namespace runtime
