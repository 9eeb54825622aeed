#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads a fuzzer input as a little program: single bytes for choices and
// blocks of bytes announced by a 16-bit length. Reading past the end gives
// zeros and empty blocks, so every input is a valid program.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return offset_ >= size_; }

  std::uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }

  std::uint16_t U16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }

  // A length (u16, least significant byte first) and that many bytes, cut to
  // what is left. The bytes are copied into a buffer of exactly their size,
  // so that AddressSanitizer sees any read past the end.
  std::vector<unsigned char> Block() {
    std::size_t length = U16();
    if (length > size_ - offset_) length = size_ - offset_;
    std::vector<unsigned char> block(data_ + offset_, data_ + offset_ + length);
    offset_ += length;
    return block;
  }

  std::vector<unsigned char> Rest() {
    std::vector<unsigned char> rest(data_ + offset_, data_ + size_);
    offset_ = size_;
    return rest;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// The writer that the corpus generator uses to build inputs of this form.
class FuzzProgram {
 public:
  FuzzProgram& Byte(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  FuzzProgram& Block(const std::vector<unsigned char>& block) {
    Byte(static_cast<std::uint8_t>(block.size() & 0xFF));
    Byte(static_cast<std::uint8_t>(block.size() >> 8));
    bytes_.insert(bytes_.end(), block.begin(), block.end());
    return *this;
  }
  const std::vector<unsigned char>& Bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};
