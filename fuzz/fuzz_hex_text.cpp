// Fuzz target: the tools' hexadecimal text (hex_text), both ways. Checked:
// - Decode takes a text exactly when every character outside the blanks is a
//   hex digit and every run of them between blanks has an even length;
// - what it takes holds one byte per digit pair, and Encode gives back those
//   digits in upper case without the blanks;
// - Encode of any bytes decodes to those bytes.
//
// Input: the text, which is also taken as bytes to encode.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tools/replay/hex_text.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char Upper(char c) {
  return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The digits without blanks, and whether the text is well formed.
  std::string digits;
  bool well_formed = true;
  std::size_t run = 0;
  for (char c : text) {
    if (IsBlank(c)) {
      well_formed = well_formed && run % 2 == 0;
      run = 0;
      continue;
    }
    well_formed = well_formed && IsHexDigit(c);
    digits.push_back(Upper(c));
    ++run;
  }
  well_formed = well_formed && run % 2 == 0;

  const std::optional<std::vector<unsigned char>> decoded = hex_text::Decode(text);
  FUZZ_CHECK(decoded.has_value() == well_formed,
             "a text decodes exactly when its digit runs are whole pairs of hex digits");
  if (decoded) {
    FUZZ_CHECK(decoded->size() * 2 == digits.size(), "one byte per digit pair");
    FUZZ_CHECK(hex_text::Encode(*decoded) == digits,
               "the bytes encode to the text's digits in upper case");
  }

  const std::vector<unsigned char> bytes(data, data + size);
  const std::string encoded = hex_text::Encode(bytes);
  FUZZ_CHECK(encoded.size() == 2 * size, "two digits per byte");
  const std::optional<std::vector<unsigned char>> back = hex_text::Decode(encoded);
  FUZZ_CHECK(back && *back == bytes, "encoded bytes decode to themselves");
  return 0;
}
