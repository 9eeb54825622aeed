#pragma once

#include <cstddef>
#include <string>

namespace serving {

// Compares secrets without stopping at the first difference: the time taken
// does not tell how much of a guess was right.
inline bool SameText(const std::string& a, const std::string& b) {
  // The longer length is walked whatever the texts hold.
  const std::size_t length = a.size() > b.size() ? a.size() : b.size();
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned char>(x ^ y);
  }
  return difference == 0;
}

}  // namespace serving
