#include "units/ac/channel_point_name.h"

#include <cstdint>

namespace ac_point {
namespace {

constexpr std::string_view kPrefix = "channel_";

bool IsDigit(char ch) {
  return ch >= '0' && ch <= '9';
}
bool IsLineTerminator(char ch) {
  return ch == '\n' || ch == '\r';
}

}  // namespace

ChannelPointMatch FindChannelPoint(std::string_view name) {
  ChannelPointMatch match;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = name.find(kPrefix, from);
    if (at == std::string_view::npos) return match;
    const std::size_t digits_begin = at + kPrefix.size();
    std::size_t digits_end = digits_begin;
    while (digits_end < name.size() && IsDigit(name[digits_end])) ++digits_end;
    const std::size_t key_at = digits_end + 1;
    if (digits_end > digits_begin && digits_end < name.size() && name[digits_end] == '_' &&
        key_at < name.size() && !IsLineTerminator(name[key_at])) {
      match.found = true;
      match.position = at;
      match.length = key_at + 1 - at;
      match.index = name.substr(digits_begin, digits_end - digits_begin);
      match.key = name.substr(key_at, 1);
      return match;
    }
    // No hit here. "channel_" cannot begin inside itself or inside the run of
    // digits that follows it, so the search may go on behind the digits; the
    // total work stays linear in the length of the name.
    from = digits_end > digits_begin ? digits_end : at + 1;
  }
}

std::size_t ChannelIndexValue(std::string_view digits) {
  std::size_t value = 0;
  for (char ch : digits) {
    const std::size_t digit = static_cast<std::size_t>(ch - '0');
    if (value > (SIZE_MAX - digit) / 10) return SIZE_MAX;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace ac_point
