#include "tools/replay/hex_text.h"

namespace hex_text {

namespace {

int DigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::string Encode(const unsigned char* data, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0x0F]);
  }
  return text;
}

std::string Encode(const std::vector<unsigned char>& bytes) {
  return Encode(bytes.data(), bytes.size());
}

std::optional<std::vector<unsigned char>> Decode(const std::string& text) {
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() / 2);
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    const int high = DigitValue(text[i]);
    const int low = DigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    i += 2;
  }
  return bytes;
}

}  // namespace hex_text
