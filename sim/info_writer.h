#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Builds a reply's INFO field byte by byte, multi-byte values least
// significant byte first.
class InfoWriter {
 public:
  explicit InfoWriter(std::vector<std::uint8_t>& out) : out_(out) { out_.clear(); }

  void U8(std::uint8_t value) { out_.push_back(value); }
  void U8(int value) { out_.push_back(static_cast<std::uint8_t>(value)); }
  // IEEE 754 single precision.
  void Float(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8)
      out_.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  void Bytes(const std::uint8_t* data, std::size_t count) {
    out_.insert(out_.end(), data, data + count);
  }
  // Text padded with blanks (or cut) to `width` bytes.
  void Text(const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      out_.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{' '});
    }
  }

 private:
  std::vector<std::uint8_t>& out_;
};
