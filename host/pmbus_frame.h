#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host_api.h"

// Framing of the power system's serial protocol.
//
//   SOI  VER  ADR  CID1  CID2  LENGTH  INFO     CHKSUM  EOI
//   7Eh  2ch  2ch  2ch   2ch   4ch     LENID ch 4ch     0Dh
//
// Every byte between SOI and EOI travels as two ASCII hexadecimal characters
// (upper case when sent; lower case accepted). In a request CID2 is the
// command, in a reply the return code RTN.
//   LENGTH: high nibble LCHKSUM, low 12 bits LENID = INFO characters
//           (twice the INFO bytes); the three LENID nibbles plus LCHKSUM sum
//           to 0 modulo 16.
//   CHKSUM: sum of the ASCII codes of all characters after SOI up to the end
//           of INFO, modulo 65536, negated (two's complement).
namespace pmbus_frame {

constexpr unsigned char kSoi = 0x7E;
constexpr unsigned char kEoi = 0x0D;
// INFO bytes a receiver accepts: all that LENID (12 bits, two characters per
// byte) can announce. A power system with many AC channels sends over 1 KB.
constexpr std::size_t kMaxInfoBytes = 0x0FFF / 2;
// Characters between SOI and EOI: header (12), INFO, CHKSUM (4).
constexpr std::size_t kHeaderCharacters = 12;
constexpr std::size_t kChecksumCharacters = 4;
constexpr std::size_t kMaxBodyCharacters =
    kHeaderCharacters + 2 * kMaxInfoBytes + kChecksumCharacters;

// Bytes on the wire of a frame with `info_bytes` INFO bytes, SOI and EOI included.
constexpr std::size_t WireBytes(std::size_t info_bytes) {
  return 2 + kHeaderCharacters + 2 * info_bytes + kChecksumCharacters;
}

struct Frame {
  std::uint8_t version = 0;
  std::uint8_t address = 0;
  std::uint8_t cid1 = 0;
  std::uint8_t cid2 = 0;  // command in a request, RTN in a reply
  std::vector<std::uint8_t> info;
};

// Why a received frame (or what looked like one) was dropped. The decoder
// finds the first six; the frame layer adds the rest.
enum class Drop : unsigned {
  kBadHex,             // a character between SOI and EOI is not hexadecimal
  kTruncated,          // EOI before a whole header and check sum, or SOI inside a frame
  kBadLengthChecksum,  // LCHKSUM does not fit LENID
  kLengthMismatch,     // LENID disagrees with the INFO characters received, or is odd
  kBadChecksum,        // CHKSUM does not fit the characters
  kOverLong,           // no EOI within kMaxBodyCharacters
  kWrongAddress,       // a reply from another address
  kUnsolicited,        // a reply while no request is outstanding
  kLate,               // a reply after its request's time-out
  kCount
};
constexpr std::size_t kDropReasons = static_cast<std::size_t>(Drop::kCount);

KMX_HOST_API const char* DropName(Drop reason);

// LENGTH field (LCHKSUM and LENID) for LENID `length_id` (12 bits).
KMX_HOST_API std::uint16_t LengthField(std::uint16_t length_id);
// CHKSUM of `count` characters.
KMX_HOST_API std::uint16_t Checksum(const char* characters, std::size_t count);

// The frame as sent, SOI to EOI. Empty when INFO does not fit in LENID
// (more than 2047 bytes).
KMX_HOST_API std::string Encode(const Frame& frame);

// Turns any chunking of a received byte stream into frames. Bytes outside
// SOI..EOI are skipped.
class KMX_HOST_API Decoder {
 public:
  struct Result {
    bool ok = false;
    Drop reason = Drop::kBadHex;  // when !ok
    // The header fields were read (always when ok; for a dropped frame when
    // its header was intact, so that a receiver can answer it).
    bool header = false;
    Frame frame;
  };

  // Consumes bytes from (data, length) until one frame is complete and
  // returns true with its result, advancing data and length past what it
  // consumed; returns false once the bytes are used up (a partial frame is
  // kept for the next call).
  bool Next(const unsigned char*& data, std::size_t& length, Result& result);
  // Forgets a partial frame.
  void Clear();
  // Bytes skipped outside frames so far.
  std::uint64_t SkippedBytes() const { return skipped_; }

 private:
  void DecodeBody(Result& result) const;

  bool in_frame_ = false;
  std::string body_;
  std::uint64_t skipped_ = 0;
};

}  // namespace pmbus_frame
