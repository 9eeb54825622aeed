#include "host/pmbus_frame.h"

namespace pmbus_frame {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  return -1;
}

// The byte of the two hex characters at `at` (both already checked).
std::uint8_t ByteAt(const std::string& body, std::size_t at) {
  return static_cast<std::uint8_t>(HexValue(body[at]) << 4 | HexValue(body[at + 1]));
}

void AppendByte(std::string& out, std::uint8_t byte) {
  out.push_back(kHexDigits[byte >> 4]);
  out.push_back(kHexDigits[byte & 0x0F]);
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
  std::string out;
  out.reserve(WireBytes(frame.info.size()));
  out.push_back(static_cast<char>(kSoi));
  AppendByte(out, frame.version);
  AppendByte(out, frame.address);
  AppendByte(out, frame.cid1);
  AppendByte(out, frame.cid2);
  const std::uint16_t length = LengthField(static_cast<std::uint16_t>(frame.info.size() * 2));
  AppendByte(out, static_cast<std::uint8_t>(length >> 8));
  AppendByte(out, static_cast<std::uint8_t>(length & 0xFF));
  for (std::uint8_t byte : frame.info) AppendByte(out, byte);
  const std::uint16_t checksum = Checksum(out.data() + 1, out.size() - 1);
  AppendByte(out, static_cast<std::uint8_t>(checksum >> 8));
  AppendByte(out, static_cast<std::uint8_t>(checksum & 0xFF));
  out.push_back(static_cast<char>(kEoi));
  return out;
}

bool Decoder::Next(const unsigned char*& data, std::size_t& length, Result& result) {
  while (length > 0) {
    const unsigned char byte = *data++;
    --length;
    if (!in_frame_) {
      if (byte == kSoi) {
        in_frame_ = true;
        body_.clear();
      } else {
        ++skipped_;
      }
      continue;
    }
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
    if (body_.size() == kMaxBodyCharacters) {
      in_frame_ = false;  // the rest up to the next SOI is skipped
      ++skipped_;
      result = Result();
      result.reason = Drop::kOverLong;
      return true;
    }
    body_.push_back(static_cast<char>(byte));
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
  for (char character : body_) {
    if (HexValue(character) < 0) {
      result.reason = Drop::kBadHex;
      return;
    }
  }
  if (body_.size() < kHeaderCharacters + kChecksumCharacters) {
    result.reason = Drop::kTruncated;
    return;
  }
  Frame& frame = result.frame;
  frame.version = ByteAt(body_, 0);
  frame.address = ByteAt(body_, 2);
  frame.cid1 = ByteAt(body_, 4);
  frame.cid2 = ByteAt(body_, 6);
  result.header = true;
  const std::uint16_t length_field =
      static_cast<std::uint16_t>(ByteAt(body_, 8) << 8 | ByteAt(body_, 10));
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
      static_cast<std::uint16_t>(ByteAt(body_, checksum_at) << 8 | ByteAt(body_, checksum_at + 2));
  if (Checksum(body_.data(), checksum_at) != received) {
    result.reason = Drop::kBadChecksum;
    return;
  }
  frame.info.resize(info_characters / 2);
  for (std::size_t i = 0; i < frame.info.size(); ++i) {
    frame.info[i] = ByteAt(body_, kHeaderCharacters + 2 * i);
  }
  result.ok = true;
}

}  // namespace pmbus_frame
