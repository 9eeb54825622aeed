#include "host/pmbus_frame.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace pmbus_frame {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";
constexpr std::uint8_t kNotHex = 0xFF;

// The value of each character as a hexadecimal digit, kNotHex for the others:
// one look-up per character on the receiving path.
constexpr std::array<std::uint8_t, 256> MakeHexValues() {
  std::array<std::uint8_t, 256> values{};
  for (std::size_t c = 0; c < values.size(); ++c) values[c] = kNotHex;
  for (std::uint8_t d = 0; d < 10; ++d) values['0' + d] = d;
  for (std::uint8_t d = 0; d < 6; ++d) {
    values['A' + d] = static_cast<std::uint8_t>(10 + d);
    values['a' + d] = static_cast<std::uint8_t>(10 + d);
  }
  return values;
}
constexpr std::array<std::uint8_t, 256> kHexValues = MakeHexValues();

std::uint8_t HexValue(char character) {
  return kHexValues[static_cast<unsigned char>(character)];
}

// The byte of the two hex characters at `at` (both already checked).
std::uint8_t ByteAt(const char* body, std::size_t at) {
  return static_cast<std::uint8_t>(HexValue(body[at]) << 4 | HexValue(body[at + 1]));
}

// Writes `byte` as two upper-case hex characters at `out`.
char* PutByte(char* out, std::uint8_t byte) {
  out[0] = kHexDigits[byte >> 4];
  out[1] = kHexDigits[byte & 0x0F];
  return out + 2;
}

}  // namespace

const char* DropName(Drop reason) {
  switch (reason) {
    case Drop::kBadHex:
      return "bad hex character";
    case Drop::kTruncated:
      return "truncated frame";
    case Drop::kBadLengthChecksum:
      return "bad length check sum";
    case Drop::kLengthMismatch:
      return "length disagrees with INFO";
    case Drop::kBadChecksum:
      return "bad check sum";
    case Drop::kOverLong:
      return "over-long frame";
    case Drop::kWrongAddress:
      return "wrong address";
    case Drop::kUnsolicited:
      return "no request outstanding";
    case Drop::kLate:
      return "reply after the time-out";
    case Drop::kCount:
      break;
  }
  return "unknown";
}

std::uint16_t LengthField(std::uint16_t length_id) {
  length_id &= 0x0FFF;
  const unsigned nibbles = (length_id & 0x0F) + ((length_id >> 4) & 0x0F) + (length_id >> 8);
  const unsigned lchksum = (16 - nibbles % 16) % 16;
  return static_cast<std::uint16_t>(lchksum << 12 | length_id);
}

std::uint16_t Checksum(const char* characters, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<unsigned char>(characters[i]);
  return static_cast<std::uint16_t>(~sum + 1);
}

std::string Encode(const Frame& frame) {
  if (frame.info.size() > 0x0FFF / 2) return std::string();
  std::string out(WireBytes(frame.info.size()), '\0');
  char* at = &out[0];
  *at++ = static_cast<char>(kSoi);
  at = PutByte(at, frame.version);
  at = PutByte(at, frame.address);
  at = PutByte(at, frame.cid1);
  at = PutByte(at, frame.cid2);
  const std::uint16_t length = LengthField(static_cast<std::uint16_t>(frame.info.size() * 2));
  at = PutByte(at, static_cast<std::uint8_t>(length >> 8));
  at = PutByte(at, static_cast<std::uint8_t>(length & 0xFF));
  for (std::uint8_t byte : frame.info) at = PutByte(at, byte);
  const std::uint16_t checksum =
      Checksum(out.data() + 1, static_cast<std::size_t>(at - out.data() - 1));
  at = PutByte(at, static_cast<std::uint8_t>(checksum >> 8));
  at = PutByte(at, static_cast<std::uint8_t>(checksum & 0xFF));
  *at = static_cast<char>(kEoi);
  return out;
}

bool Decoder::Next(const unsigned char*& data, std::size_t& length, Result& result) {
  while (length > 0) {
    if (!in_frame_) {
      const auto* soi = static_cast<const unsigned char*>(std::memchr(data, kSoi, length));
      const std::size_t skip = soi ? static_cast<std::size_t>(soi - data) : length;
      skipped_ += skip;
      data += skip;
      length -= skip;
      if (!soi) return false;
      ++data;
      --length;
      in_frame_ = true;
      body_.clear();
      continue;
    }
    // The characters up to the next SOI or EOI go in at once, as many as
    // the body has room for.
    const std::size_t scan = std::min(length, kMaxBodyCharacters - body_.size());
    std::size_t run = 0;
    while (run < scan && data[run] != kSoi && data[run] != kEoi) ++run;
    body_.append(reinterpret_cast<const char*>(data), run);
    data += run;
    length -= run;
    if (length == 0) return false;
    const unsigned char byte = *data++;
    --length;
    if (byte == kSoi) {  // a new frame begins before this one ended
      body_.clear();
      result = Result();
      result.reason = Drop::kTruncated;
      return true;
    }
    if (byte == kEoi) {
      in_frame_ = false;
      DecodeBody(result);
      return true;
    }
    // The body is full and this is not its end: the rest up to the next SOI is skipped.
    in_frame_ = false;
    ++skipped_;
    result = Result();
    result.reason = Drop::kOverLong;
    return true;
  }
  return false;
}

void Decoder::Clear() {
  in_frame_ = false;
  body_.clear();
}

void Decoder::DecodeBody(Result& result) const {
  result.ok = false;
  result.header = false;
  result.frame.info.clear();
  // One pass checks the characters and sums them for CHKSUM.
  std::uint8_t any_bad = 0;
  unsigned sum = 0;
  for (char character : body_) {
    any_bad |= HexValue(character);
    sum += static_cast<unsigned char>(character);
  }
  if (any_bad == kNotHex) {
    result.reason = Drop::kBadHex;
    return;
  }
  if (body_.size() < kHeaderCharacters + kChecksumCharacters) {
    result.reason = Drop::kTruncated;
    return;
  }
  const char* body = body_.data();
  Frame& frame = result.frame;
  frame.version = ByteAt(body, 0);
  frame.address = ByteAt(body, 2);
  frame.cid1 = ByteAt(body, 4);
  frame.cid2 = ByteAt(body, 6);
  result.header = true;
  const std::uint16_t length_field =
      static_cast<std::uint16_t>(ByteAt(body, 8) << 8 | ByteAt(body, 10));
  const std::uint16_t length_id = length_field & 0x0FFF;
  if (LengthField(length_id) != length_field) {
    result.reason = Drop::kBadLengthChecksum;
    return;
  }
  const std::size_t info_characters = body_.size() - kHeaderCharacters - kChecksumCharacters;
  if (length_id != info_characters || length_id % 2 != 0) {
    result.reason = Drop::kLengthMismatch;
    return;
  }
  const std::size_t checksum_at = body_.size() - kChecksumCharacters;
  const std::uint16_t received =
      static_cast<std::uint16_t>(ByteAt(body, checksum_at) << 8 | ByteAt(body, checksum_at + 2));
  for (std::size_t i = checksum_at; i < body_.size(); ++i)
    sum -= static_cast<unsigned char>(body[i]);
  if (static_cast<std::uint16_t>(~sum + 1) != received) {
    result.reason = Drop::kBadChecksum;
    return;
  }
  frame.info.resize(info_characters / 2);
  const char* info = body + kHeaderCharacters;
  for (std::size_t i = 0; i < frame.info.size(); ++i) frame.info[i] = ByteAt(info, 2 * i);
  result.ok = true;
}

}  // namespace pmbus_frame
