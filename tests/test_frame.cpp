// Framing of requests and replies, and the frame layer's byte path.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/pmbus_frame.h"
#include "host/pmbus_protocol.h"
#include "tests/support/recording_controller.h"
#include "tests/support/scripted_transport.h"

namespace {

using pmbus_frame::Decoder;
using pmbus_frame::Drop;
using pmbus_frame::Frame;

Frame MakeFrame(std::uint8_t cid1, std::uint8_t cid2, std::vector<std::uint8_t> info,
                std::uint8_t address = 1) {
  Frame frame;
  frame.version = 0x20;
  frame.address = address;
  frame.cid1 = cid1;
  frame.cid2 = cid2;
  frame.info = std::move(info);
  return frame;
}

// Every result the decoder gives for `stream`, fed in one piece.
std::vector<Decoder::Result> DecodeAll(Decoder& decoder, const std::string& stream) {
  std::vector<Decoder::Result> results;
  const auto* data = reinterpret_cast<const unsigned char*>(stream.data());
  std::size_t left = stream.size();
  Decoder::Result result;
  while (decoder.Next(data, left, result)) results.push_back(result);
  return results;
}

std::vector<Decoder::Result> DecodeAll(const std::string& stream) {
  Decoder decoder;
  return DecodeAll(decoder, stream);
}

// The body of `frame` (between SOI and EOI) with its check sum recomputed,
// so that a test can alter one field and keep the rest valid.
std::string Reframe(std::string body_without_checksum) {
  const std::uint16_t sum =
      pmbus_frame::Checksum(body_without_checksum.data(), body_without_checksum.size());
  char hex[5];
  std::snprintf(hex, sizeof hex, "%04X", sum);
  return "~" + body_without_checksum + hex + "\r";
}

bool SameFrame(const Frame& a, const Frame& b) {
  return a.version == b.version && a.address == b.address && a.cid1 == b.cid1 && a.cid2 == b.cid2 &&
         a.info == b.info;
}

TEST(FrameCodec, KnownCheckSumsAndLengthFields) {
  // By hand: '1'+'2'+'0'+'3'+'4'+'0'+'0'+'4'+'5'+'6'+'A'+'B'+'C'+'D'+'F'+'E'
  //   = 49+50+48+51+52+48+48+52+53+54+65+66+67+68+70+69 = 910 = 038Eh;
  //   10000h - 038Eh = FC72h.
  EXPECT_EQ(pmbus_frame::Checksum("1203400456ABCDFE", 16), 0xFC72);
  // By hand, the model query 20h 01h 40h 51h with LENGTH 0000:
  //   "200140510000" = 50+48+48+49+52+48+53+49+4*48 = 589 = 024Dh;
  //   10000h - 024Dh = FDB3h.
  EXPECT_EQ(pmbus_frame::Encode(MakeFrame(0x40, 0x51, {})), "~200140510000FDB3\r");
  // LENID 05Eh: nibbles 0+5+E = 13h, so LCHKSUM = 10h - 3 = Dh.
  EXPECT_EQ(pmbus_frame::LengthField(0x05E), 0xD05E);
  EXPECT_EQ(pmbus_frame::LengthField(0), 0x0000);
  // LENID 002h (one INFO byte): LCHKSUM Eh.
  EXPECT_EQ(pmbus_frame::LengthField(0x002), 0xE002);
}

TEST(FrameCodec, EncodesUpperCaseAndRoundTrips) {
  std::vector<std::uint8_t> large(pmbus_frame::kMaxInfoBytes);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<Frame> frames = {
      MakeFrame(0x40, 0x51, {}), MakeFrame(0x40, 0x41, {0xFF}),
      MakeFrame(0x42, 0x00, {0x00, 0xAB, 0xCD, 0xEF, 0x7E, 0x0D}, 0xFE),
      MakeFrame(0x41, 0x04, large)};
  for (const Frame& frame : frames) {
    const std::string wire = pmbus_frame::Encode(frame);
    ASSERT_EQ(wire.size(), pmbus_frame::WireBytes(frame.info.size()));
    EXPECT_EQ(wire.find_first_of("abcdef"), std::string::npos);
    const auto results = DecodeAll(wire);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].ok) << pmbus_frame::DropName(results[0].reason);
    EXPECT_TRUE(SameFrame(results[0].frame, frame));
  }
  // A receiver accepts lower-case hex (the check sum is over the characters received).
  const auto lower = DecodeAll(Reframe("20014000e002ab"));
  ASSERT_TRUE(lower.at(0).ok);
  EXPECT_EQ(lower[0].frame.info, std::vector<std::uint8_t>{0xAB});
  // INFO that LENID cannot announce is not encoded.
  EXPECT_TRUE(pmbus_frame::Encode(MakeFrame(0x40, 0x41, std::vector<std::uint8_t>(2048))).empty());
}

struct Rejection {
  const char* what;
  std::string stream;
  Drop reason;
};

TEST(FrameCodec, EveryRejectionReason) {
  const std::string good = pmbus_frame::Encode(MakeFrame(0x40, 0x00, {0x11, 0x22}));
  std::string bad_hex = good;
  bad_hex[9] = 'G';
  std::string bad_sum = good;
  bad_sum[good.size() - 2] = bad_sum[good.size() - 2] == '0' ? '1' : '0';
  const std::vector<Rejection> rows = {
      {"non-hex character", bad_hex, Drop::kBadHex},
      {"EOI inside the header", "~20014000\r", Drop::kTruncated},
      {"SOI inside a frame", good.substr(0, 12) + good, Drop::kTruncated},
      // LENID 004h needs LCHKSUM Ch, F given.
      {"wrong LCHKSUM", Reframe("20014000F0041122"), Drop::kBadLengthChecksum},
      // LENID 006h (3 bytes) but only 2 bytes of INFO.
      {"LENID longer than INFO", Reframe("20014000A0061122"), Drop::kLengthMismatch},
      // LENID 002h but 2 bytes of INFO.
      {"LENID shorter than INFO", Reframe("20014000E0021122"), Drop::kLengthMismatch},
      // LENID 003h with 3 characters of INFO: no whole byte.
      {"odd LENID", Reframe("20014000D003112"), Drop::kLengthMismatch},
      {"wrong CHKSUM", bad_sum, Drop::kBadChecksum},
      {"no EOI in time", "~" + std::string(pmbus_frame::kMaxBodyCharacters + 1, '0'),
       Drop::kOverLong},
  };
  for (const Rejection& row : rows) {
    const auto results = DecodeAll(row.stream);
    ASSERT_GE(results.size(), 1u) << row.what;
    EXPECT_FALSE(results[0].ok) << row.what;
    EXPECT_EQ(results[0].reason, row.reason)
        << row.what << ": " << pmbus_frame::DropName(results[0].reason);
  }
}

TEST(FrameCodec, RecoversAfterGarbageAndDroppedFrames) {
  const Frame first = MakeFrame(0x40, 0x00, {1, 2, 3});
  const Frame second = MakeFrame(0x41, 0x00, {});
  // Noise, a frame cut short by the next SOI, an over-long run, then good frames.
  const std::string stream = std::string("\x00\xFFnoise\r\r", 9) +
                             pmbus_frame::Encode(first).substr(0, 9) + pmbus_frame::Encode(first) +
                             "~" + std::string(pmbus_frame::kMaxBodyCharacters + 40, 'A') + "\r" +
                             pmbus_frame::Encode(second);
  Decoder decoder;
  const auto results = DecodeAll(decoder, stream);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[0].reason, Drop::kTruncated);
  EXPECT_TRUE(results[1].ok);
  EXPECT_TRUE(SameFrame(results[1].frame, first));
  EXPECT_EQ(results[2].reason, Drop::kOverLong);
  EXPECT_TRUE(results[3].ok);
  EXPECT_TRUE(SameFrame(results[3].frame, second));
  EXPECT_GT(decoder.SkippedBytes(), 40u);
}

bool SameResult(const Decoder::Result& a, const Decoder::Result& b) {
  if (a.ok != b.ok || a.header != b.header) return false;
  if (a.ok) return SameFrame(a.frame, b.frame);
  return a.reason == b.reason &&
         (!a.header || (a.frame.version == b.frame.version && a.frame.address == b.frame.address &&
                        a.frame.cid1 == b.frame.cid1 && a.frame.cid2 == b.frame.cid2));
}

// Every result for `stream` cut into pieces of the sizes `piece` gives in turn.
std::vector<Decoder::Result> DecodeInPieces(Decoder& decoder, const std::string& stream,
                                            const std::function<std::size_t()>& piece) {
  std::vector<Decoder::Result> results;
  std::size_t at = 0;
  while (at < stream.size()) {
    std::size_t left = std::min(piece(), stream.size() - at);
    const auto* data = reinterpret_cast<const unsigned char*>(stream.data() + at);
    at += left;
    Decoder::Result result;
    while (decoder.Next(data, left, result)) results.push_back(result);
    EXPECT_EQ(left, 0u);
  }
  return results;
}

TEST(FrameCodec, AnyChunkingGivesTheSameFramesDropsAndSkippedBytes) {
  const std::string garbage = "garbage before the first SOI";
  std::string stream = garbage;
  for (int i = 0; i < 6; ++i) {
    std::vector<std::uint8_t> info(static_cast<std::size_t>(i * 11));
    for (std::size_t k = 0; k < info.size(); ++k) info[k] = static_cast<std::uint8_t>(k + i);
    stream += pmbus_frame::Encode(MakeFrame(static_cast<std::uint8_t>(0x40 + i % 3), 0, info));
    if (i == 2) stream += "\r\n";
  }
  // Drops of every kind between good frames, and frames whose body is exactly
  // as long as allowed, alone and after an over-long run.
  const std::string largest = pmbus_frame::Encode(
      MakeFrame(0x41, 0, std::vector<std::uint8_t>(pmbus_frame::kMaxInfoBytes, 0x5A)));
  stream += largest.substr(0, 30) + largest + "~20G14000\r" + Reframe("20014000F0041122") + "~" +
            std::string(pmbus_frame::kMaxBodyCharacters + 7, '3') + "tail\r" + largest + "~" +
            std::string(pmbus_frame::kMaxBodyCharacters, '4') + "~" + largest;

  Decoder whole_decoder;
  const std::vector<Decoder::Result> whole = DecodeAll(whole_decoder, stream);
  std::size_t good = 0;
  for (const Decoder::Result& result : whole) good += result.ok ? 1 : 0;
  ASSERT_EQ(whole.size(), 15u);
  EXPECT_EQ(good, 9u);
  EXPECT_EQ(whole[10].reason, Drop::kOverLong);
  EXPECT_TRUE(whole[11].ok);
  EXPECT_EQ(whole[12].reason, Drop::kTruncated);
  // Outside frames: the garbage, "\r\n", and the over-long run's first
  // character past the limit with the rest of its run up to the next SOI.
  EXPECT_EQ(whole_decoder.SkippedBytes(),
            garbage.size() + 2 + 1 + 6 + std::string("tail\r").size());

  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    // One byte at a time, then mostly short pieces, sometimes several frames.
    const std::size_t longest = round == 0 ? 1 : round % 3 == 0 ? 5000 : 9;
    Decoder decoder;
    const auto results = DecodeInPieces(decoder, stream, [&] {
      return std::uniform_int_distribution<std::size_t>(1, longest)(random);
    });
    ASSERT_EQ(results.size(), whole.size()) << "round " << round;
    for (std::size_t i = 0; i < whole.size(); ++i) {
      EXPECT_TRUE(SameResult(results[i], whole[i])) << "round " << round << ", result " << i;
    }
    EXPECT_EQ(decoder.SkippedBytes(), whole_decoder.SkippedBytes()) << "round " << round;
  }
}

class CapturingPort : public SerialPort {
 public:
  bool Open(const SerialSettings&, std::string&) override { return open = true; }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool Write(const unsigned char* data, std::size_t length) override {
    if (!accept) return false;
    written.append(reinterpret_cast<const char*>(data), length);
    return true;
  }
  bool open = true;
  bool accept = true;
  std::string written;
};

// A frame-layer device that keeps the decoded replies it was handed.
class RecordingProtocol : public PMBusProtocol {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  int process_payload() override {
    const unsigned int info =
        (reply_[pmbus_reply::kLengthOffset] | reply_[pmbus_reply::kLengthOffset + 1] << 8) >> 1;
    records.emplace_back(reply_, reply_ + pmbus_reply::kInfoOffset + info);
    return 1;
  }
  int process_error() override {
    ++errors;
    return PMBusProtocol::process_error();
  }
  std::vector<std::vector<unsigned char>> records;
  int errors = 0;
};

struct ByteLine {
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<RecordingProtocol> device = std::make_shared<RecordingProtocol>();
  std::shared_ptr<CapturingPort> port = std::make_shared<CapturingPort>();

  explicit ByteLine(unsigned int timeout_ms = 0) {
    device->Init(controller, 9, Json::Value());
    device->AttachPort(port);
    Json::Value config(Json::objectValue);
    config["address"] = 2;
    if (timeout_ms != 0) config["timeout_ms"] = timeout_ms;
    EXPECT_TRUE(device->InitSetting(config));
  }
  int Receive(const std::string& bytes) {
    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    return device->process(copy.data(), static_cast<unsigned int>(copy.size()));
  }
  std::string Reply(std::uint8_t cid1, std::uint8_t rtn, std::vector<std::uint8_t> info,
                    std::uint8_t address = 2) {
    return pmbus_frame::Encode(MakeFrame(cid1, rtn, std::move(info), address));
  }
};

TEST(FrameLayer, SendsRequestsAsFramesAndDeliversDecodedReplies) {
  ByteLine line;
  auto observer = std::make_shared<ScriptedTransport>();
  line.device->AttachTransport(observer);
  const unsigned char group = 0xFF;
  line.device->write_pmbus_cmd(0x40, 0x41, &group, 1);
  EXPECT_EQ(line.port->written, pmbus_frame::Encode(MakeFrame(0x40, 0x41, {0xFF}, 2)));
  EXPECT_EQ(observer->TakeSent(), std::vector<std::string>{"40h/41h:FF"});

  // Garbage, then the reply split in two reads.
  const std::string reply = line.Reply(0x40, 0x00, {0x10, 0x01, 0xAA});
  EXPECT_EQ(line.Receive(std::string("\xFF\x00junk", 6) + reply.substr(0, 7)), 0);
  EXPECT_EQ(line.Receive(reply.substr(7)), 1);
  ASSERT_EQ(line.device->records.size(), 1u);
  // VER, ADR, CID1, RTN, LENID 6 (LSB first), INFO.
  EXPECT_EQ(line.device->records[0],
            (std::vector<unsigned char>{0x20, 0x02, 0x40, 0x00, 0x06, 0x00, 0x10, 0x01, 0xAA}));
  EXPECT_FALSE(line.device->IsProcessing());
  EXPECT_EQ(line.device->Quality().frames_good, 1u);
}

TEST(FrameLayer, DropsForeignUnsolicitedAndBrokenFramesAndCountsThem) {
  ByteLine line;
  // Nothing outstanding: even a good reply is dropped.
  EXPECT_EQ(line.Receive(line.Reply(0x40, 0, {})), 0);
  line.device->write_pmbus_cmd(0x42, 0x44);
  std::string corrupted = line.Reply(0x42, 0, {1, 2});
  corrupted[3] = 'X';
  EXPECT_EQ(line.Receive(line.Reply(0x42, 0, {1}, 3) + corrupted), 0);
  EXPECT_TRUE(line.device->IsProcessing());  // still waiting for a valid reply
  EXPECT_EQ(line.Receive(line.Reply(0x42, 0, {7})), 1);
  EXPECT_EQ(line.device->records.size(), 1u);

  const LineQuality quality = line.device->Quality();
  EXPECT_EQ(quality.frames_good, 1u);
  EXPECT_EQ(quality.Dropped(Drop::kUnsolicited), 1u);
  EXPECT_EQ(quality.Dropped(Drop::kWrongAddress), 1u);
  EXPECT_EQ(quality.Dropped(Drop::kBadHex), 1u);
  EXPECT_EQ(quality.DroppedTotal(), 3u);
  const auto lines = line.controller->LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "PMBusProtocol: 9 frame dropped (no request outstanding): ADR 02h CID1 40h CID2 00h");
  EXPECT_EQ(lines[1], "PMBusProtocol: 9 frame dropped (wrong address): ADR 03h CID1 42h CID2 00h");
  EXPECT_EQ(lines[2], "PMBusProtocol: 9 frame dropped (bad hex character)");
}

TEST(FrameLayer, ErrorReturnCodesGoToProcessErrorOnly) {
  ByteLine line;
  line.device->write_pmbus_cmd(0x40, 0x47);
  EXPECT_EQ(line.Receive(line.Reply(0x40, 0x04, {})), 1);
  EXPECT_EQ(line.device->errors, 1);
  EXPECT_TRUE(line.device->records.empty());
  EXPECT_FALSE(line.device->IsProcessing());
  EXPECT_EQ(line.device->Quality().error_replies, 1u);
  EXPECT_EQ(line.controller->LogLines().back(),
            "PMBusProtocol: 9 reply in step 0 has return code 04h (invalid CID2)");
}

TEST(FrameLayer, ReplyAfterTheTimeOutIsLostAndTheRequestRepeats) {
  ByteLine line(20);
  line.device->write_pmbus_cmd(0x41, 0x41);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(line.Receive(line.Reply(0x41, 0, {0})), 0);
  EXPECT_TRUE(line.device->records.empty());
  EXPECT_EQ(line.device->LostReplies(), 1u);
  EXPECT_EQ(line.device->Quality().Dropped(Drop::kLate), 1u);
  EXPECT_TRUE(line.device->RefreshStatus());  // free to send again
}

TEST(FrameLayer, ClosingThePortForgetsAPartialFrame) {
  ByteLine line;
  line.device->write_pmbus_cmd(0x40, 0x51);
  const std::string reply = line.Reply(0x40, 0, {});
  line.Receive(reply.substr(0, 10));
  line.device->ClosePort();  // the line went away in the middle of a reply
  line.port->open = true;
  EXPECT_EQ(line.Receive(reply), 1);
  EXPECT_EQ(line.device->Quality().DroppedTotal(), 0u);
}

TEST(FrameLayer, DefaultTimeOutIsOneSecondPlusWireTime) {
  ByteLine line;
  // 9600 baud, 10 bits per character: request (18 characters) and the longest
  // accepted reply (2047 INFO bytes, 4112 characters) take 4302 ms.
  EXPECT_EQ(line.device->EffectiveReplyTimeout(0).count(), 1000 + 4130 * 10 * 1000 / 9600);
  ByteLine configured(250);
  EXPECT_EQ(configured.device->EffectiveReplyTimeout(0).count(), 250);
}

TEST(FrameLayer, RequestThatTheLineRefusesIsCounted) {
  ByteLine line;
  line.port->accept = false;
  line.device->write_pmbus_cmd(0x40, 0x51);
  EXPECT_EQ(line.device->Quality().send_failures, 1u);
  EXPECT_NE(line.controller->LogLines().back().find("request 40h/51h not sent"), std::string::npos);
}

TEST(FrameLayer, ADamagedReplyIsRepeatedOnceTheLineIsQuiet) {
  ByteLine line;
  // Quiet without a damaged frame: the exchange goes on.
  line.device->write_pmbus_cmd(0x41, 0x41);
  EXPECT_FALSE(line.device->LineQuiet());
  EXPECT_TRUE(line.device->IsProcessing());

  std::string damaged = line.Reply(0x41, 0, {1, 2, 3});
  damaged[damaged.size() - 3] = damaged[damaged.size() - 3] == '0' ? '1' : '0';
  EXPECT_EQ(line.Receive(damaged), 0);
  EXPECT_TRUE(line.device->IsProcessing());
  EXPECT_TRUE(line.device->LineQuiet());
  EXPECT_FALSE(line.device->IsProcessing());
  EXPECT_TRUE(line.device->RefreshStatus());
  EXPECT_FALSE(line.device->LineQuiet());  // once per damaged reply

  // A damaged frame whose header names another device is not our reply; nor
  // is one that came while nothing was outstanding.
  line.device->write_pmbus_cmd(0x41, 0x41);
  std::string foreign = line.Reply(0x41, 0, {1}, 3);
  foreign[foreign.size() - 3] = foreign[foreign.size() - 3] == '0' ? '1' : '0';
  line.Receive(foreign);
  EXPECT_FALSE(line.device->LineQuiet());
  EXPECT_EQ(line.Receive(line.Reply(0x41, 0, {5})), 1);
  line.Receive(damaged);
  EXPECT_FALSE(line.device->LineQuiet());

  const LineQuality quality = line.device->Quality();
  EXPECT_EQ(quality.early_repeats, 1u);
  EXPECT_EQ(quality.lost_replies, 0u);
  EXPECT_EQ(quality.Dropped(Drop::kBadChecksum), 3u);
}

TEST(FrameLayer, ProtocolVersionSetting) {
  struct Row {
    Json::Value value;
    int expected;  // -1: refused
  };
  const std::vector<Row> rows = {
      {"21h", 0x21}, {"21H", 0x21}, {"fFh", 0xFF}, {"0h", 0x00}, {33, 0x21},  {0, 0x00},
      {255, 0xFF},   {"21", -1},    {"h", -1},     {"121h", -1}, {"2xh", -1}, {256, -1},
      {-1, -1},      {1.5, -1},     {true, -1},    {" 21h", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value.toStyledString());
    const std::optional<std::uint8_t> parsed = ParseProtocolVersion(row.value);
    EXPECT_EQ(parsed ? int{*parsed} : -1, row.expected);
  }
  // The key sets the VER byte of every request; a bad one refuses the settings.
  auto controller = std::make_shared<RecordingController>();
  auto device = std::make_shared<RecordingProtocol>();
  auto port = std::make_shared<CapturingPort>();
  device->Init(controller, 9, Json::Value());
  device->AttachPort(port);
  Json::Value config(Json::objectValue);
  config["protocol_version"] = "21h";
  ASSERT_TRUE(device->InitSetting(config));
  device->write_pmbus_cmd(0x42, 0x41);
  Frame expected = MakeFrame(0x42, 0x41, {});
  expected.version = 0x21;
  EXPECT_EQ(port->written, pmbus_frame::Encode(expected));
  config["protocol_version"] = "22";
  EXPECT_FALSE(device->InitSetting(config));
  EXPECT_EQ(controller->LogLines().back(),
            "PMBusProtocol: 9 setting \"protocol_version\" must be a byte, as hex text such as "
            "\"21h\" or as a number 0..255");
}

}  // namespace
