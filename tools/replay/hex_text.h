#pragma once

#include <optional>
#include <string>
#include <vector>

// Bytes as hexadecimal text, the form in which the tools print and read them.
namespace hex_text {

// Upper-case digit pairs without separators: {0x40, 0xFF} -> "40FF".
std::string Encode(const unsigned char* data, std::size_t length);
std::string Encode(const std::vector<unsigned char>& bytes);
// One byte: 0x41 -> "41".
inline std::string Encode(unsigned char byte) {
  return Encode(&byte, 1);
}

// Reads digit pairs in either case; blanks between the pairs are ignored.
// Nothing for an odd number of digits or a character that is not a digit.
std::optional<std::vector<unsigned char>> Decode(const std::string& text);

}  // namespace hex_text
