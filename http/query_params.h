#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace http_output {

// A whole number from `low` to `high`; nothing otherwise.
std::optional<unsigned int> ParseCount(const std::string& text, unsigned int low,
                                       unsigned int high);

}  // namespace http_output
