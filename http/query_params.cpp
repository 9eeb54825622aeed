#include "http/query_params.h"

#include "runtime/local_time_text.h"

namespace http_output {

namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::optional<std::string> ParseTimeBound(const std::string& text) {
  if (AllDigits(text)) {
    // Up to the year 9999: the store's texts have four year digits.
    if (text.size() > 11) return std::nullopt;
    const long long seconds = std::stoll(text);
    if (seconds > 253402300799LL) return std::nullopt;
    const std::string local = runtime::LocalTextOf(seconds);
    if (local.empty()) return std::nullopt;
    return local;
  }
  if (!runtime::UnixSecondsOf(text)) return std::nullopt;
  return text;
}

std::optional<unsigned int> ParseCount(const std::string& text, unsigned int low,
                                       unsigned int high) {
  if (!AllDigits(text) || text.size() > 9) return std::nullopt;
  const unsigned long value = std::stoul(text);
  if (value < low || value > high) return std::nullopt;
  return static_cast<unsigned int>(value);
}

}  // namespace http_output
