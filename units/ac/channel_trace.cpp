#include "units/ac/channel_trace.h"

#include <charconv>
#include <cstring>

namespace ac_trace {
namespace {

// The longest value is 12 characters ("-1.17549e-38"); a label is 3.
constexpr std::size_t kLineCapacity = 4 * (3 + 16) + 1;

char* Append(char* at, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(at, text, length);
  return at + length;
}

char* Append(char* at, char* end, float value) {
  // A stream prints a float as the double it widens to.
  return std::to_chars(at, end, static_cast<double>(value), std::chars_format::general, 6).ptr;
}

}  // namespace

void WriteChannelLine(std::ostream& out, float a, float b, float c, float f) {
  char line[kLineCapacity];
  char* const end = line + kLineCapacity;
  char* at = Append(line, "a:");
  at = Append(at, end, a);
  at = Append(at, " b:");
  at = Append(at, end, b);
  at = Append(at, " c:");
  at = Append(at, end, c);
  at = Append(at, " f:");
  at = Append(at, end, f);
  *at++ = '\n';
  out.write(line, at - line);
}

}  // namespace ac_trace
