#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Bounded reader over untrusted reply bytes.
//
// Reads never go past the end: a read that does not fit fails and consumes
// nothing. Skip only moves the position (it reads nothing), so the position
// may pass the end; the parsers compare it with the size afterwards, as the
// protocol counts skipped bytes as consumed.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, int size)
      : data_(data), size_(data == nullptr || size < 0 ? 0 : static_cast<std::size_t>(size)) {}

  std::size_t Offset() const { return offset_; }
  std::size_t Size() const { return size_; }
  std::size_t Remaining() const { return offset_ < size_ ? size_ - offset_ : 0; }
  bool Fits(std::size_t count) const { return offset_ <= size_ && count <= size_ - offset_; }
  // The offset just past a value of `count` bytes read from here.
  std::size_t EndOf(std::size_t count) const { return offset_ + count; }
  bool Overran() const { return offset_ > size_; }

  bool ReadU8(std::uint8_t& out) {
    if (!Fits(1)) return false;
    out = data_[offset_++];
    return true;
  }

  // Copies `count` bytes to `out` (which may be any byte address, such as a
  // field of a packed record).
  bool ReadBytes(void* out, std::size_t count) {
    if (!Fits(count)) return false;
    if (count != 0) std::memcpy(out, data_ + offset_, count);
    offset_ += count;
    return true;
  }

  // Points at `count` bytes and consumes them; nullptr (nothing consumed)
  // when they do not fit.
  const unsigned char* Take(std::size_t count) {
    if (!Fits(count)) return nullptr;
    const unsigned char* at = data_ + offset_;
    offset_ += count;
    return at;
  }

  void Skip(std::size_t count) {
    offset_ = count > SIZE_MAX - offset_ ? SIZE_MAX : offset_ + count;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};
