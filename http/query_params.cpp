#include "http/query_params.h"

namespace http_output {

namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::optional<unsigned int> ParseCount(const std::string& text, unsigned int low,
                                       unsigned int high) {
  if (!AllDigits(text) || text.size() > 9) return std::nullopt;
  const unsigned long value = std::stoul(text);
  if (value < low || value > high) return std::nullopt;
  return static_cast<unsigned int>(value);
}

}  // namespace http_output
