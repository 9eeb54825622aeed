#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace http_output {

// A time bound of a query: Unix seconds, or "YYYY-MM-DD HH:MM:SS" local
// time. As the store compares it: local time text; nothing when the text is
// neither.
std::optional<std::string> ParseTimeBound(const std::string& text);
// A whole number from `low` to `high`; nothing otherwise.
std::optional<unsigned int> ParseCount(const std::string& text, unsigned int low,
                                       unsigned int high);

}  // namespace http_output
