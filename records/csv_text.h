#pragma once

#include <string>
#include <string_view>
#include <vector>

// Comma-separated values as RFC 4180 writes them: a field that holds a comma,
// a double quote, CR or LF is put in double quotes, with its quotes doubled;
// every line ends with CR LF.
namespace csv_text {

std::string Field(std::string_view text);
// The fields joined by commas, with the line end, as valid UTF-8 (ill-formed
// bytes become U+FFFD).
std::string Line(const std::vector<std::string>& fields);

}  // namespace csv_text
