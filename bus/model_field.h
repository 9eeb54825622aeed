#pragma once

#include <cstddef>
#include <string>

// The model reply carries the model name in a fixed-width text field padded
// with NUL or space bytes. The name is the text before the first NUL, without
// trailing blanks, so that it can be matched and shown as plain text.
inline std::string ModelFromField(const unsigned char* field, std::size_t width) {
  std::size_t end = 0;
  while (end < width && field[end] != '\0') ++end;
  while (end > 0 && field[end - 1] == ' ') --end;
  return std::string(reinterpret_cast<const char*>(field), end);
}
