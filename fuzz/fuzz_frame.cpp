// Fuzz target: the frame layer's byte-stream decoder with arbitrary bytes in
// arbitrary chunks, alone and inside a device's frame layer. Checked:
// - the frames and drops found do not depend on the chunking;
// - a valid frame has at most kMaxInfoBytes INFO bytes, is the text between
//   its SOI and EOI (its encoding with the hex letters in the case in which
//   they were sent, CHKSUM taken over those characters) and encodes to a
//   frame that decodes to itself;
// - every drop reason has a name;
// - in a device's frame layer every frame is counted once, as good or under
//   its drop reason, and exactly the valid frames from the device's address
//   reach process_payload or process_error, in order, as their records.
//
// Input: chunk-size count k (1..8), k chunk sizes (1..64 each, used in
// turn), then the byte stream.

#include <json/value.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "host/pmbus_frame.h"
#include "host/pmbus_protocol.h"

namespace {

using pmbus_frame::Decoder;
using pmbus_frame::Drop;
using pmbus_frame::Frame;

constexpr std::uint8_t kAddress = 1;

bool SameFrame(const Frame& left, const Frame& right) {
  return left.version == right.version && left.address == right.address &&
         left.cid1 == right.cid1 && left.cid2 == right.cid2 && left.info == right.info;
}

bool SameResult(const Decoder::Result& left, const Decoder::Result& right) {
  if (left.ok != right.ok || left.header != right.header) return false;
  if (!left.ok && left.reason != right.reason) return false;
  if (left.ok) return SameFrame(left.frame, right.frame);
  if (left.header) {
    return left.frame.version == right.frame.version && left.frame.address == right.frame.address &&
           left.frame.cid1 == right.frame.cid1 && left.frame.cid2 == right.frame.cid2;
  }
  return true;
}

// A device whose frame layer keeps a request outstanding and records every
// reply that reaches it.
class EchoDevice : public PMBusProtocol {
 public:
  struct Reply {
    std::uint8_t group;
    std::uint8_t return_code;
    unsigned int length_field;
    std::vector<std::uint8_t> info;
  };

  bool LoadFromCache(const unsigned char*, int) override { return false; }
  int process_payload() override { return Record(); }
  int process_error() override { return Record(); }
  void Ask() { write_pmbus_cmd(0x40, 0x41); }

  std::vector<Reply> replies;

 private:
  int Record() {
    const unsigned int length_field =
        reply_[pmbus_reply::kLengthOffset] | reply_[pmbus_reply::kLengthOffset + 1] << 8;
    const unsigned char* info = reply_ + pmbus_reply::kInfoOffset;
    replies.push_back(Reply{reply_[pmbus_reply::kGroupOffset],
                            reply_[pmbus_reply::kReturnCodeOffset], length_field,
                            std::vector<std::uint8_t>(info, info + (length_field >> 1))});
    Ask();
    return 1;
  }
};

class NullTransport : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest&) override {}
};

// `encoded` (upper-case hex) with the hex letters of header and INFO in the
// case in which `sent` has them, and CHKSUM recomputed over those characters:
// the check sum covers the characters as sent, so a frame sent in lower case
// carries another CHKSUM than its upper-case encoding. CHKSUM's own letters
// take their case from `sent` as well.
std::string InCaseOf(std::string encoded, const std::string& sent) {
  if (encoded.size() != sent.size() || encoded.size() < pmbus_frame::WireBytes(0)) return encoded;
  auto follow_case = [&](std::size_t i) {
    if (std::islower(static_cast<unsigned char>(sent[i])) &&
        std::isupper(static_cast<unsigned char>(encoded[i]))) {
      encoded[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(encoded[i])));
    }
  };
  const std::size_t checksum_at = encoded.size() - 1 - pmbus_frame::kChecksumCharacters;
  for (std::size_t i = 1; i < checksum_at; ++i) follow_case(i);
  const std::uint16_t checksum = pmbus_frame::Checksum(encoded.data() + 1, checksum_at - 1);
  static const char kDigits[] = "0123456789ABCDEF";
  for (std::size_t k = 0; k < pmbus_frame::kChecksumCharacters; ++k) {
    encoded[checksum_at + k] = kDigits[(checksum >> (12 - 4 * k)) & 0x0F];
    follow_case(checksum_at + k);
  }
  return encoded;
}

std::vector<Decoder::Result> DecodeWhole(const std::vector<unsigned char>& stream) {
  std::vector<Decoder::Result> results;
  Decoder decoder;
  Decoder::Result result;
  const unsigned char* at = stream.data();
  std::size_t left = stream.size();
  while (decoder.Next(at, left, result)) {
    results.push_back(result);
    FUZZ_CHECK(std::strcmp(pmbus_frame::DropName(result.reason), "unknown") != 0,
               "every drop reason has a name");
    if (!result.ok) continue;
    FUZZ_CHECK(result.header, "a valid frame has its header");
    FUZZ_CHECK(result.frame.info.size() <= pmbus_frame::kMaxInfoBytes,
               "a valid frame has at most kMaxInfoBytes INFO bytes");
    // The frame's text: from its SOI to the EOI just consumed.
    const std::size_t eoi = static_cast<std::size_t>(at - stream.data()) - 1;
    FUZZ_CHECK(stream[eoi] == pmbus_frame::kEoi, "a valid frame ends with EOI");
    std::size_t soi = eoi;
    while (soi > 0 && stream[soi] != pmbus_frame::kSoi) --soi;
    FUZZ_CHECK(stream[soi] == pmbus_frame::kSoi, "a valid frame starts with SOI");
    const std::string text(stream.begin() + soi, stream.begin() + eoi + 1);
    const std::string encoded = pmbus_frame::Encode(result.frame);
    FUZZ_CHECK(InCaseOf(encoded, text) == text, "a valid frame is its own encoding");

    Decoder again;
    Decoder::Result decoded;
    const auto* bytes = reinterpret_cast<const unsigned char*>(encoded.data());
    std::size_t length = encoded.size();
    FUZZ_CHECK(again.Next(bytes, length, decoded) && length == 0 && decoded.ok &&
                   SameFrame(decoded.frame, result.frame),
               "an encoded frame decodes to itself");
  }
  return results;
}

// Splits the stream into chunks of the given sizes, used in turn.
std::vector<std::vector<unsigned char>> Chunks(const std::vector<unsigned char>& stream,
                                               const std::vector<std::size_t>& sizes) {
  std::vector<std::vector<unsigned char>> chunks;
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    const std::size_t size = std::min(sizes[i % sizes.size()], stream.size() - at);
    chunks.emplace_back(stream.begin() + at, stream.begin() + at + size);
    at += size;
  }
  return chunks;
}

void CheckChunked(const std::vector<std::vector<unsigned char>>& chunks,
                  const std::vector<Decoder::Result>& whole) {
  std::vector<Decoder::Result> results;
  Decoder decoder;
  Decoder::Result result;
  for (const std::vector<unsigned char>& chunk : chunks) {
    const unsigned char* at = chunk.data();
    std::size_t left = chunk.size();
    while (decoder.Next(at, left, result)) results.push_back(result);
    FUZZ_CHECK(left == 0, "the decoder uses up every chunk");
  }
  FUZZ_CHECK(results.size() == whole.size(), "chunking finds as many frames");
  for (std::size_t i = 0; i < results.size(); ++i) {
    FUZZ_CHECK(SameResult(results[i], whole[i]), "chunking finds the same frames");
  }
}

void CheckDevice(const std::vector<std::vector<unsigned char>>& chunks,
                 const std::vector<Decoder::Result>& whole) {
  EchoDevice device;
  Json::Value setting(Json::objectValue);
  setting["address"] = kAddress;
  setting["timeout_ms"] = 3600 * 1000;
  FUZZ_CHECK(device.InitSetting(setting), "the frame layer takes its settings");
  device.AttachTransport(std::make_shared<NullTransport>());
  device.Ask();

  int delivered = 0;
  for (const std::vector<unsigned char>& chunk : chunks) {
    std::vector<unsigned char> bytes = chunk;  // process takes a writable buffer
    delivered += device.process(bytes.data(), static_cast<unsigned int>(bytes.size()));
  }

  LineQuality expected;
  std::vector<const Frame*> valid;
  for (const Decoder::Result& result : whole) {
    if (!result.ok) {
      ++expected.dropped[static_cast<std::size_t>(result.reason)];
    } else if (result.frame.address != kAddress) {
      ++expected.dropped[static_cast<std::size_t>(Drop::kWrongAddress)];
    } else {
      ++expected.frames_good;
      valid.push_back(&result.frame);
    }
  }
  const LineQuality quality = device.Quality();
  FUZZ_CHECK(quality.frames_good == expected.frames_good && quality.dropped == expected.dropped,
             "every frame is counted once, as good or under its drop reason");
  FUZZ_CHECK(delivered == static_cast<int>(valid.size()) && device.replies.size() == valid.size(),
             "exactly the valid frames from the device's address are delivered");
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const EchoDevice::Reply& reply = device.replies[i];
    FUZZ_CHECK(reply.group == valid[i]->cid1 && reply.return_code == valid[i]->cid2 &&
                   reply.length_field == 2 * valid[i]->info.size() && reply.info == valid[i]->info,
               "a delivered reply is its frame's record");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixed_host::BeginInput();
  FuzzInput input(data, size);
  std::vector<std::size_t> sizes(input.Byte() % 8 + 1);
  for (std::size_t& chunk : sizes) chunk = input.Byte() % 64 + 1;
  const std::vector<unsigned char> stream = input.Rest();

  const std::vector<Decoder::Result> whole = DecodeWhole(stream);
  const std::vector<std::vector<unsigned char>> chunks = Chunks(stream, sizes);
  CheckChunked(chunks, whole);
  CheckDevice(chunks, whole);
  return 0;
}
