#include "records/csv_text.h"

#include "records/utf8_text.h"

namespace csv_text {

std::string Field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string Line(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (k != 0) line += ',';
    line += Field(fields[k]);
  }
  line += "\r\n";
  return utf8_text::ValidUtf8(line);
}

}  // namespace csv_text
