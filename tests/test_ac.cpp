// The AC distribution unit through the recording controller of the host
// stand-in, including its guards against bad replies, blobs and point names.
#include <gtest/gtest.h>
#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/kmx_spdevice.h"
#include "host/ttime.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "units/ac/channel_point_name.h"
#include "units/ac/korvan_ac.h"
#include "units/common/packed_field.h"

namespace {

using Kind = RecordingController::Kind;
using Head = tele_c_korvan_ac;
using Chan = tele_c_korvan_ac_channel;
using Bytes = std::vector<unsigned char>;

constexpr unsigned int kId = 7;

// ---------------------------------------------------------------------------
// Building reply sections. Floats go on the wire least significant byte first.

std::uint32_t Bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}

void PutU32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void PutFloat(Bytes& out, float value) {
  PutU32(out, Bits(value));
}
void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// One channel of a 41h section.
struct Analog {
  float a, b, c, f;
  Bytes user = {};  // 4 × P bytes behind the count P (P = user.size() / 4)
  int p = -1;       // the count P on the wire; -1: user.size() / 4
};

// 41h section, 1 + 17 n + 12 bytes when every P is 0:
//   [n]
//   per channel: [a f32][b f32][c f32][f f32][P u8][4 × P bytes]
//   [ia f32][ib f32][ic f32]
Bytes Section41(const std::vector<Analog>& channels, float ia, float ib, float ic, int count = -1) {
  Bytes out;
  out.push_back(static_cast<unsigned char>(count < 0 ? channels.size() : count));
  for (const Analog& ch : channels) {
    PutFloat(out, ch.a);
    PutFloat(out, ch.b);
    PutFloat(out, ch.c);
    PutFloat(out, ch.f);
    out.push_back(static_cast<unsigned char>(ch.p < 0 ? ch.user.size() / 4 : ch.p));
    Append(out, ch.user);
  }
  PutFloat(out, ia);
  PutFloat(out, ib);
  PutFloat(out, ic);
  return out;
}

// 43h section, 2 + m + P bytes:
//   [m][m switch states][P][P user-defined states]
Bytes Section43(const Bytes& airlock, const Bytes& user, int p = -1) {
  Bytes out;
  out.push_back(static_cast<unsigned char>(airlock.size()));
  Append(out, airlock);
  out.push_back(static_cast<unsigned char>(p < 0 ? user.size() : p));
  Append(out, user);
  return out;
}

// One channel of a 44h section.
struct Alerts {
  unsigned char a, b, c, f;
  Bytes fuses = {};        // m bytes behind the count m (expected none)
  Bytes user = {0, 0, 0};  // P bytes behind the count P (expected 3)
};

// 44h section, 1 + 9 n + 3 bytes with m = 0 and P = 3:
//   [n]
//   per channel: [a][b][c][f][m][m bytes][P][P bytes]
//   [ia_alert][ib_alert][ic_alert]
Bytes Section44(const std::vector<Alerts>& channels, unsigned char ia, unsigned char ib,
                unsigned char ic) {
  Bytes out;
  out.push_back(static_cast<unsigned char>(channels.size()));
  for (const Alerts& ch : channels) {
    out.insert(out.end(), {ch.a, ch.b, ch.c, ch.f});
    out.push_back(static_cast<unsigned char>(ch.fuses.size()));
    Append(out, ch.fuses);
    out.push_back(static_cast<unsigned char>(ch.user.size()));
    Append(out, ch.user);
  }
  out.insert(out.end(), {ia, ib, ic});
  return out;
}

const std::vector<Analog> kTwoChannels = {{220.5f, 221.0f, 219.75f, 50.0f},
                                          {380.0f, 381.5f, 379.0f, 49.5f}};

// ---------------------------------------------------------------------------
// Reading the unit's records (by value, through memcpy).

float HeadFloat(const KORVAN_AC& ac, std::size_t offset) {
  return LoadField<float>(ac.tele(), offset);
}
float ChanFloat(const KORVAN_AC& ac, std::size_t k, std::size_t offset) {
  return LoadField<float>(ac.channels().at(k), offset);
}
int HeadByte(const KORVAN_AC& ac, std::size_t offset) {
  return *FieldAddress(ac.tele(), offset);
}
int ChanByte(const KORVAN_AC& ac, std::size_t k, std::size_t offset) {
  return *FieldAddress(ac.channels().at(k), offset);
}
Bytes HeadBytes(const KORVAN_AC& ac) {
  const unsigned char* at = FieldAddress(ac.tele(), 0);
  return Bytes(at, at + sizeof(Head));
}
Bytes ChannelBytes(const KORVAN_AC& ac) {
  Bytes out;
  for (const Chan& ch : ac.channels()) {
    const unsigned char* at = FieldAddress(ch, 0);
    out.insert(out.end(), at, at + sizeof(Chan));
  }
  return out;
}

// The status text of a failing point read, or "" when it succeeds.
std::string Failure(const KORVAN_AC& ac, const std::string& name) {
  try {
    ac.Get_Value(0, name);
    return "";
  } catch (const std::out_of_range& error) {
    return error.what();
  }
}

// A bus-device stand-in: the parent that binds the unit to the controller.
class PlainDevice : public KMXSPDevice {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
};

class AcUnit : public testing::Test {
 protected:
  AcUnit() {
    parent_->Init(controller_, 1, Json::Value());
    EXPECT_TRUE(ac_->InitV(parent_.get(), kId, Json::Value()));
  }

  // The parse operations on a heap copy of exactly `size` bytes of `section`
  // (all of it by default), so that a read past `size` is a read past the end
  // of the allocation. The trace lines of 41h are kept in trace_.
  int Parse41(const Bytes& section, int size = -1) {
    return Run(&KORVAN_AC::parse40_41, section, size);
  }
  int Parse43(const Bytes& section, int size = -1) {
    return Run(&KORVAN_AC::parse40_43, section, size);
  }
  int Parse44(const Bytes& section, int size = -1) {
    return Run(&KORVAN_AC::parse40_44, section, size);
  }

  int Run(int (KORVAN_AC::*parse)(const unsigned char*, int), const Bytes& section, int size) {
    const std::size_t n = size < 0 ? section.size() : static_cast<std::size_t>(size);
    std::unique_ptr<unsigned char[]> exact(new unsigned char[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(exact.get(), section.data(), n);
    testing::internal::CaptureStdout();
    const int result = ((*ac_).*parse)(n == 0 ? nullptr : exact.get(), static_cast<int>(n));
    trace_ = testing::internal::GetCapturedStdout();
    return result;
  }

  // A unit with two channels and one completed cycle.
  void TwoChannelsReady() {
    ASSERT_EQ(Parse41(Section41(kTwoChannels, 10.0f, 11.0f, 12.0f)), 47);
    ac_->RoundDone();
    controller_->RunJobs();
    controller_->Clear();
  }

  std::vector<std::string> Logs() const { return controller_->LogLines(); }

  FrozenClock clock_;
  std::shared_ptr<RecordingController> controller_ = std::make_shared<RecordingController>();
  std::shared_ptr<PlainDevice> parent_ = std::make_shared<PlainDevice>();
  std::shared_ptr<KORVAN_AC> ac_ = std::make_shared<KORVAN_AC>();
  std::string trace_;
};

// ===========================================================================
// Class and records

TEST(AcRecords, LayoutTemplatesAndKorvanInstances) {
  EXPECT_EQ(sizeof(tele_c_korvan_ac), 33u);
  EXPECT_EQ(sizeof(tele_c_korvan_ac_channel), 25u);
  EXPECT_EQ(tele_c_korvan_ac::AIRLOCK_MAX(), 0);
  EXPECT_EQ(tele_c_korvan_ac::P40_43_SIZE(), 4);
  EXPECT_EQ(tele_c_korvan_ac_channel::P40_41_SIZE(), 0);
  EXPECT_EQ(tele_c_korvan_ac_channel::p40_44_SIZE(), 3);
  static_assert(std::is_same_v<decltype(tele_c_korvan_ac::AIRLOCK_MAX()), unsigned char>);
  static_assert(std::is_same_v<decltype(tele_c_korvan_ac_channel::p40_44_SIZE()), unsigned char>);
  // Other parameters size the variable parts.
  EXPECT_EQ(sizeof(tele_c_pmbuspower_ac<2, 1>), 33u - 4 + 2 + 1);
  EXPECT_EQ(sizeof(tele_c_pmbuspower_ac_channel<1, 0>), 25u + 4 - 3);
}

TEST(AcRecords, KorvanAcIsTheFinalUnit) {
  auto ac = std::make_shared<KORVAN_AC>();
  EXPECT_EQ(ac->DeviceType(), "korvan-ac");
  EXPECT_EQ(KORVAN_AC::kRecordType, 5209);
  static_assert(std::is_final_v<KORVAN_AC>);
  static_assert(std::is_base_of_v<KMXSPDevice, KORVAN_AC>);
  static_assert(
      std::is_base_of_v<PMBusPowerAC<tele_c_korvan_ac, tele_c_korvan_ac_channel, 5209>, KORVAN_AC>);
  EXPECT_EQ(HeadBytes(*ac), Bytes(33, 0));  // a new unit: zeroed head, no channels, no snapshot
  EXPECT_TRUE(ac->channels().empty());
  EXPECT_EQ(ac->snapshot(), nullptr);
  EXPECT_FLOAT_EQ(ac->diff_v(), 20.0f);
  EXPECT_FLOAT_EQ(ac->diff_i(), 20.0f);
  EXPECT_FALSE(ac->DataReady());
}

// ===========================================================================
// parse40_41

// The trace line prints each value as a stream in its default state prints a
// float, also for values where %g changes notation or has no digits at all.
TEST_F(AcUnit, Analog41TraceLineFormatsAsTheDefaultStream) {
  const float tricky[] = {0.0f,
                          -0.0f,
                          1e-5f,
                          0.0001f,
                          123456.0f,
                          999999.5f,
                          1234567.0f,
                          3.4028235e38f,
                          1.0e-40f,
                          -1.17549435e-38f,
                          0.1f,
                          229.87f,
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::quiet_NaN()};
  std::vector<Analog> channels;
  std::ostringstream expected;
  for (std::size_t i = 0; i + 3 < std::size(tricky); i += 4) {
    channels.push_back({tricky[i], tricky[i + 1], tricky[i + 2], tricky[i + 3]});
    expected << "a:" << tricky[i] << " b:" << tricky[i + 1] << " c:" << tricky[i + 2]
             << " f:" << tricky[i + 3] << "\n";
  }
  const Bytes section = Section41(channels, 1.0f, 1.0f, 1.0f);
  ASSERT_EQ(Parse41(section), static_cast<int>(section.size()));
  EXPECT_EQ(trace_, expected.str());
}

TEST_F(AcUnit, Analog41FirstReplyFixesTheChannels) {
  const Bytes section = Section41(kTwoChannels, 10.5f, 11.0f, 12.25f);
  ASSERT_EQ(section.size(), 47u);
  EXPECT_EQ(Parse41(section), 47);
  ASSERT_EQ(ac_->channels().size(), 2u);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 2);
  EXPECT_EQ(ChanFloat(*ac_, 0, offsetof(Chan, a)), 220.5f);
  EXPECT_EQ(ChanFloat(*ac_, 0, offsetof(Chan, b)), 221.0f);
  EXPECT_EQ(ChanFloat(*ac_, 0, offsetof(Chan, c)), 219.75f);
  EXPECT_EQ(ChanFloat(*ac_, 0, offsetof(Chan, f)), 50.0f);
  EXPECT_EQ(ChanFloat(*ac_, 1, offsetof(Chan, a)), 380.0f);
  EXPECT_EQ(ChanFloat(*ac_, 1, offsetof(Chan, f)), 49.5f);
  EXPECT_EQ(ChanByte(*ac_, 1, offsetof(Chan, user_analog_count)), 0);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ia)), 10.5f);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ib)), 11.0f);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ic)), 12.25f);
  EXPECT_TRUE(Logs().empty());
  // The trace line per channel goes to standard output.
  EXPECT_EQ(trace_, "a:220.5 b:221 c:219.75 f:50\na:380 b:381.5 c:379 f:49.5\n");
  // Parsing touches neither the data-ready flag nor the last-update time.
  EXPECT_FALSE(ac_->DataReady());
}

TEST_F(AcUnit, Analog41ConsumesOnlyItsOwnSection) {
  Bytes reply = Section41(kTwoChannels, 1.0f, 2.0f, 3.0f);
  Append(reply, Section41({{1, 2, 3, 4}}, 5, 6, 7));  // the next unit's section
  EXPECT_EQ(Parse41(reply), 47);
}

TEST_F(AcUnit, Analog41WithAnotherCountIsRefusedSilently) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  const Bytes head = HeadBytes(*ac_);
  const Bytes channels = ChannelBytes(*ac_);
  EXPECT_EQ(Parse41(Section41({{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}}, 9, 9, 9)), -1);
  EXPECT_TRUE(Logs().empty());
  EXPECT_EQ(HeadBytes(*ac_), head);
  EXPECT_EQ(ChannelBytes(*ac_), channels);
  EXPECT_EQ(trace_, "");
  // A later reply with the fixed count is taken.
  EXPECT_EQ(Parse41(Section41({{1, 1, 1, 1}, {2, 2, 2, 2}}, 9, 9, 9)), 47);
  EXPECT_EQ(ChanFloat(*ac_, 1, offsetof(Chan, c)), 2.0f);
}

TEST_F(AcUnit, Analog41WithNoChannelsLeavesTheCountOpen) {
  EXPECT_EQ(Parse41(Section41({}, 1.0f, 2.0f, 3.0f)), 13);
  EXPECT_TRUE(ac_->channels().empty());
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 0);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ib)), 2.0f);
  EXPECT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  EXPECT_EQ(ac_->channels().size(), 2u);
}

TEST_F(AcUnit, Analog41NoDataMarkers) {
  Bytes section = Section41({{1, 2, 3, 4}}, 5, 6, 7);
  const Bytes marker = {0x20, 0x20, 0x20, 0x20};
  std::copy(marker.begin(), marker.end(), section.begin() + 1);   // a
  std::copy(marker.begin(), marker.end(), section.begin() + 18);  // ia
  const Bytes zeros = {0, 0, 0, 0};
  std::copy(zeros.begin(), zeros.end(), section.begin() + 5);   // b
  std::copy(zeros.begin(), zeros.end(), section.begin() + 22);  // ib
  const Bytes other_marker = {0x41, 0x41, 0x41, 0x41};
  std::copy(other_marker.begin(), other_marker.end(), section.begin() + 13);  // f
  std::copy(other_marker.begin(), other_marker.end(), section.begin() + 26);  // ic
  const Bytes not_marker = {0x00, 0x41, 0x41, 0x41};                     // first byte zero: a value
  std::copy(not_marker.begin(), not_marker.end(), section.begin() + 9);  // c
  ASSERT_EQ(Parse41(section), 30);
  EXPECT_EQ(Bits(ChanFloat(*ac_, 0, offsetof(Chan, a))), 0u);
  EXPECT_EQ(Bits(ChanFloat(*ac_, 0, offsetof(Chan, b))), 0u);
  EXPECT_EQ(Bits(ChanFloat(*ac_, 0, offsetof(Chan, c))), 0x41414100u);
  EXPECT_EQ(Bits(ChanFloat(*ac_, 0, offsetof(Chan, f))), 0u);
  EXPECT_EQ(Bits(HeadFloat(*ac_, offsetof(Head, ia))), 0xBDCCCCCDu);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ia)), -0.1f);
  EXPECT_EQ(Bits(HeadFloat(*ac_, offsetof(Head, ib))), 0u);
  EXPECT_EQ(Bits(HeadFloat(*ac_, offsetof(Head, ic))), 0xBDCCCCCDu);
  EXPECT_EQ(trace_, "a:0 b:0 c:12.0784 f:0\n");
}

TEST_F(AcUnit, Analog41UserCountOtherThanExpectedIsSkipped) {
  std::vector<Analog> channels = kTwoChannels;
  channels[0].user = Bytes(8, 0x55);  // P = 2: eight bytes skipped
  const Bytes section = Section41(channels, 1.0f, 2.0f, 3.0f);
  ASSERT_EQ(section.size(), 55u);
  EXPECT_EQ(Parse41(section), 55);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_41 p is 2 not 0");
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_analog_count)), 2);
  // The next channel is read behind the skipped bytes.
  EXPECT_EQ(ChanFloat(*ac_, 1, offsetof(Chan, a)), 380.0f);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ic)), 3.0f);
}

TEST_F(AcUnit, Analog41Overflow) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  controller_->Clear();
  // One byte short: ic does not fit.
  EXPECT_EQ(Parse41(Section41(kTwoChannels, 4.0f, 5.0f, 6.0f), 46), -1);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 47 - 46");
  // Fields stored before the shortage keep their new values.
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ib)), 5.0f);
  EXPECT_EQ(HeadFloat(*ac_, offsetof(Head, ic)), 3.0f);
}

TEST_F(AcUnit, Analog41SkipPastTheEndIsAnOverflow) {
  std::vector<Analog> channels = {{1, 2, 3, 4}};
  channels[0].p = 200;  // 800 bytes announced, none there
  const Bytes section = Section41(channels, 1.0f, 2.0f, 3.0f);
  EXPECT_EQ(Parse41(section), -1);
  ASSERT_EQ(Logs().size(), 2u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_41 p is 200 not 0");
  EXPECT_EQ(Logs()[1], "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 818 - 30");
}

TEST_F(AcUnit, Analog41EmptySection) {
  EXPECT_EQ(Parse41(Bytes()), -1);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 1 - 0");
  EXPECT_EQ(ac_->parse40_41(nullptr, 5), -1);
  EXPECT_EQ(Logs().back(), "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 1 - 5");
}

// ===========================================================================
// parse40_43

TEST_F(AcUnit, Switch43StoresTheUserStates) {
  const Bytes section = Section43({}, {1, 0, 1, 1});
  EXPECT_EQ(Parse43(section), 6);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, airlock_count)), 0);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, user_state_count)), 4);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, user_state) + 0), 1);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, user_state) + 1), 0);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, user_state) + 3), 1);
  EXPECT_TRUE(Logs().empty());
  Bytes reply = section;
  Append(reply, Section43({}, {0, 0, 0, 0}));  // the next unit's section
  EXPECT_EQ(Parse43(reply), 6);
}

TEST_F(AcUnit, Switch43MoreSwitchesThanRoom) {
  EXPECT_EQ(Parse43(Section43({1}, {0, 0, 0, 0})), -1);
  ASSERT_EQ(Logs().size(), 1u);
  // Passed unchanged, printf-style markers included (the host formats "{}" only).
  EXPECT_EQ(Logs()[0], "ProcotolError %u read 40_43 m is %d max %d");
  EXPECT_EQ(controller_->events()[0].data_id, kId);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, airlock_count)), 1);
}

TEST_F(AcUnit, Switch43UserCountOtherThanExpected) {
  EXPECT_EQ(Parse43(Section43({}, {9, 9})), 4);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 4");
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, user_state_count)), 2);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, user_state)), 0);  // skipped, not stored
  controller_->Clear();
  // The skipped bytes still have to be there.
  EXPECT_EQ(Parse43(Section43({}, {9, 9}), 3), -1);
  ASSERT_EQ(Logs().size(), 2u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 4");
  EXPECT_EQ(Logs()[1], "PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 4 - 3");
}

TEST_F(AcUnit, Switch43Overflow) {
  EXPECT_EQ(Parse43(Section43({}, {1, 1, 1, 1}), 4), -1);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 6 - 4");
  EXPECT_EQ(Parse43(Bytes()), -1);
  EXPECT_EQ(Logs().back(), "PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 1 - 0");
  EXPECT_EQ(Parse43(Section43({}, {1, 1, 1, 1}), 1), -1);
  EXPECT_EQ(Logs().back(), "PMBusPowerAC:ProcotolError 7 read 40_43 read overflow 2 - 1");
}

// ===========================================================================
// parse40_44

TEST_F(AcUnit, Alarm44BeforeAnyAnalogReply) {
  EXPECT_EQ(Parse44(Bytes{5, 1, 2, 3}), 4);  // count byte 5 is not compared
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, ia_alert)), 1);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, ib_alert)), 2);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, ic_alert)), 3);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(AcUnit, Alarm44StoresTheStatesOfEveryChannel) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  Bytes section = Section44({{1, 2, 3, 4, {}, {7, 8, 9}}, {0, 1, 0, 2}}, 3, 0, 1);
  ASSERT_EQ(section.size(), 22u);
  Append(section, Bytes(10, 0xEE));  // the next unit's section
  EXPECT_EQ(Parse44(section), 22);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, a_alert)), 1);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, b_alert)), 2);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, c_alert)), 3);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, f_alert)), 4);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_alert_count)), 3);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_alert) + 2), 9);
  EXPECT_EQ(ChanByte(*ac_, 1, offsetof(Chan, b_alert)), 1);
  EXPECT_EQ(ChanByte(*ac_, 1, offsetof(Chan, f_alert)), 2);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, ia_alert)), 3);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, ic_alert)), 1);
  EXPECT_TRUE(Logs().empty());
}

TEST_F(AcUnit, Alarm44FuseCountIsSkipped) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  const Bytes section = Section44({{1, 1, 1, 1, {0xAA, 0xBB}, {4, 5, 6}}, {2, 2, 2, 2}}, 0, 0, 0);
  EXPECT_EQ(Parse44(section), 24);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_44 m is 2");
  // P is read behind the skipped bytes.
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_alert_count)), 3);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_alert)), 4);
  EXPECT_EQ(ChanByte(*ac_, 1, offsetof(Chan, a_alert)), 2);
}

TEST_F(AcUnit, Alarm44UserCountOtherThanExpected) {
  ASSERT_EQ(Parse41(Section41({{1, 1, 1, 1}}, 1.0f, 2.0f, 3.0f)), 30);
  EXPECT_EQ(Parse44(Section44({{1, 1, 1, 1, {}, {6}}}, 2, 2, 2)), 11);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_44 p is 1 not 3");
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_alert_count)), 1);
  EXPECT_EQ(ChanByte(*ac_, 0, offsetof(Chan, user_alert)), 0);  // skipped
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, ib_alert)), 2);
}

TEST_F(AcUnit, Alarm44Overflow) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  controller_->Clear();
  EXPECT_EQ(Parse44(Section44({{1, 1, 1, 1}, {2, 2, 2, 2}}, 0, 0, 0), 21), -1);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_44 read overflow 22 - 21");
  EXPECT_EQ(Parse44(Bytes()), -1);
  EXPECT_EQ(Logs().back(), "PMBusPowerAC:ProcotolError 7 read 40_44 read overflow 1 - 0");
  // A fuse count that runs past the end.
  EXPECT_EQ(Parse44(Section44({{1, 1, 1, 1, Bytes(100, 0)}, {2, 2, 2, 2}}, 0, 0, 0), 20), -1);
  EXPECT_EQ(Logs()[Logs().size() - 2], "PMBusPowerAC:ProcotolError 7 read 40_44 m is 100");
  EXPECT_EQ(Logs().back(), "PMBusPowerAC:ProcotolError 7 read 40_44 read overflow 106 - 20");
}

// ===========================================================================
// Every parse stays within `size`.

// The consumed count that an overflow line reports, or -1.
long ReportedOverflow(const std::string& line, const char* command, int size) {
  const std::string prefix =
      std::string("PMBusPowerAC:ProcotolError 7 read ") + command + " read overflow ";
  if (line.compare(0, prefix.size(), prefix) != 0) return -1;
  long consumed = -1;
  int reported_size = -2;
  if (std::sscanf(line.c_str() + prefix.size(), "%ld - %d", &consumed, &reported_size) != 2) {
    return -1;
  }
  return reported_size == size ? consumed : -1;
}

TEST_F(AcUnit, EveryTruncationIsAnOverflow) {
  std::vector<Analog> analog = kTwoChannels;
  const Bytes s41 = Section41(analog, 1.0f, 2.0f, 3.0f);
  const Bytes s43 = Section43({}, {1, 2, 3, 4});
  const Bytes s44 = Section44({{1, 1, 1, 1}, {2, 2, 2, 2}}, 0, 0, 0);
  ASSERT_EQ(Parse41(s41), 47);
  for (int cut = 0; cut < static_cast<int>(s41.size()); ++cut) {
    controller_->Clear();
    EXPECT_EQ(Parse41(s41, cut), -1) << cut;
    ASSERT_EQ(Logs().size(), 1u) << cut;
    EXPECT_GT(ReportedOverflow(Logs()[0], "40_41", cut), cut) << Logs()[0];
  }
  for (int cut = 0; cut < static_cast<int>(s43.size()); ++cut) {
    controller_->Clear();
    EXPECT_EQ(Parse43(s43, cut), -1) << cut;
    ASSERT_EQ(Logs().size(), 1u) << cut;
    EXPECT_GT(ReportedOverflow(Logs()[0], "40_43", cut), cut) << Logs()[0];
  }
  for (int cut = 0; cut < static_cast<int>(s44.size()); ++cut) {
    controller_->Clear();
    EXPECT_EQ(Parse44(s44, cut), -1) << cut;
    ASSERT_EQ(Logs().size(), 1u) << cut;
    EXPECT_GT(ReportedOverflow(Logs()[0], "40_44", cut), cut) << Logs()[0];
  }
}

TEST_F(AcUnit, RandomSectionsNeverReportMoreThanSize) {
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> length(0, 64);
  std::uniform_int_distribution<int> small(0, 5);  // counts that often fit
  std::uniform_int_distribution<int> byte(0, 255);
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  for (int round = 0; round < 3000; ++round) {
    Bytes section(static_cast<std::size_t>(length(random)));
    for (unsigned char& b : section)
      b = static_cast<unsigned char>(small(random) == 0 ? byte(random) : small(random));
    const int size = static_cast<int>(section.size());
    for (int result : {Parse41(section), Parse43(section), Parse44(section)}) {
      EXPECT_TRUE(result == -1 || (result >= 0 && result <= size)) << result << " of " << size;
    }
  }
}

// ===========================================================================
// Get_Value

TEST_F(AcUnit, PointsAreNotReadyBeforeTheFirstCycle) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  for (const char* name : {"ia", "ic_alert", "channel_0_a", "channel_9_a", "bogus", ""}) {
    EXPECT_EQ(Failure(*ac_, name), "数据未就绪") << name;
  }
}

TEST_F(AcUnit, PointsAfterACycle) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 10.5f, 11.0f, 12.25f)), 47);
  ASSERT_EQ(Parse44(Section44({{0, 0, 0, 0}, {0, 0, 0, 0}}, 2, 1, 3)), 22);
  ac_->RoundDone();
  EXPECT_EQ(ac_->Get_Value(0, "ia"), 10.5f);
  EXPECT_EQ(ac_->Get_Value(0, "ib"), 11.0f);
  EXPECT_EQ(ac_->Get_Value(12345, "ic"), 12.25f);  // the id is not used
  EXPECT_EQ(ac_->Get_Value(0, "ia_alert"), 2.0f);
  EXPECT_EQ(ac_->Get_Value(0, "ib_alert"), 1.0f);
  EXPECT_EQ(ac_->Get_Value(0, "ic_alert"), 3.0f);
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_a"), 220.5f);  // the first channel
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_b"), 221.0f);
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_c"), 219.75f);
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_f"), 50.0f);
  EXPECT_EQ(ac_->Get_Value(0, "channel_1_a"), 380.0f);
  EXPECT_EQ(ac_->Get_Value(0, "channel_1_frequency"), 49.5f);  // group 2 is one character
  EXPECT_EQ(ac_->Get_Value(0, "xchannel_0_b"), 221.0f);        // searched anywhere
  EXPECT_EQ(ac_->Get_Value(0, "channel_01_c"), 379.0f);        // decimal, as atoi reads it
  EXPECT_EQ(ac_->Get_Value(0, "my channel_1_b point"), 381.5f);
  EXPECT_EQ(Failure(*ac_, "channel_0_x"), "数据未提供");
  EXPECT_EQ(Failure(*ac_, "Channel_0_a"), "数据未提供");
  EXPECT_EQ(Failure(*ac_, "channel_0_"), "数据未提供");
  EXPECT_EQ(Failure(*ac_, "channel_a"), "数据未提供");
  EXPECT_EQ(Failure(*ac_, "IA"), "数据未提供");
  EXPECT_EQ(Failure(*ac_, "user_state"), "数据未提供");
  EXPECT_EQ(Failure(*ac_, "channel_2_a"), "通道参数越界");
  EXPECT_EQ(Failure(*ac_, "channel_2_x"), "通道参数越界");  // the index is checked first
}

TEST_F(AcUnit, PointsAge60SecondsAndTimeOutAt61) {
  TwoChannelsReady();
  clock_.Advance(60);
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_a"), 220.5f);
  clock_.Advance(1);
  EXPECT_EQ(Failure(*ac_, "channel_0_a"), "数据已超时");
  EXPECT_EQ(Failure(*ac_, "ia"), "数据已超时");
  EXPECT_EQ(Failure(*ac_, "bogus"), "数据已超时");  // before any look at the name
  ac_->RoundDone();                                 // a cycle renews the lifetime
  EXPECT_EQ(ac_->Get_Value(0, "ia"), 10.0f);
}

TEST_F(AcUnit, ClockSetBackCountsAsFresh) {
  TwoChannelsReady();
  clock_.Advance(-3600);
  EXPECT_EQ(ac_->Get_Value(0, "ib"), 11.0f);
}

// ===========================================================================
// InitV

TEST(AcInitV, StoresTheIdAndCallsTheHost) {
  auto controller = std::make_shared<RecordingController>();
  auto parent = std::make_shared<PlainDevice>();
  parent->Init(controller, 1, Json::Value());
  auto ac = std::make_shared<KORVAN_AC>();
  EXPECT_TRUE(ac->InitV(parent.get(), 0x01020304u, Json::Value()));
  EXPECT_EQ(LoadField<std::uint32_t>(ac->tele(), offsetof(Head, data_id)), 0x01020304u);
  EXPECT_EQ(ac->DataId(), 0x01020304u);
  EXPECT_EQ(ac->Parent(), parent.get());
  EXPECT_EQ(ac->Controller(), controller);
}

float Threshold(const Json::Value& config, bool voltage) {
  KORVAN_AC ac;
  ac.InitV(nullptr, 1, config);
  return voltage ? ac.diff_v() : ac.diff_i();
}

Json::Value App(const char* key, const Json::Value& value) {
  Json::Value config(Json::objectValue);
  config["data_id"] = 1;
  config["appSetting"][key] = value;
  return config;
}

TEST(AcInitV, Thresholds) {
  EXPECT_EQ(Threshold(App("diff_v", "5"), true), 5.0f);
  EXPECT_EQ(Threshold(App("diff_v", 5), true), 5.0f);
  EXPECT_EQ(Threshold(App("diff_v", 7.25), true), 7.25f);
  EXPECT_EQ(Threshold(App("diff_v", "2.5e1 volts"), true), 25.0f);
  EXPECT_EQ(Threshold(App("diff_v", "abc"), true), 0.0f);
  EXPECT_EQ(Threshold(App("diff_v", ""), true), 0.0f);
  EXPECT_EQ(Threshold(App("diff_v", "5"), false), 20.0f);  // diff_i untouched
  EXPECT_EQ(Threshold(App("diff_i", "3"), false), 3.0f);
  EXPECT_EQ(Threshold(App("diff_i", 0.5), false), 0.5f);
  EXPECT_EQ(Threshold(App("diff_i", "x1"), false), 0.0f);
  EXPECT_EQ(Threshold(App("diff_i", Json::Value()), false), 20.0f);  // null keeps the value
  EXPECT_EQ(Threshold(App("diff_v", true), true), 0.0f);             // text "true"
  // Arrays and objects have no text form: kept.
  EXPECT_EQ(Threshold(App("diff_v", Json::Value(Json::arrayValue)), true), 20.0f);
  EXPECT_EQ(Threshold(App("diff_v", Json::Value(Json::objectValue)), true), 20.0f);
  // No appSetting, or appSetting not an object, or a configuration that is not an object.
  Json::Value no_app(Json::objectValue);
  no_app["data_id"] = 1;
  EXPECT_EQ(Threshold(no_app, true), 20.0f);
  EXPECT_EQ(Threshold(no_app, false), 20.0f);
  Json::Value text_app(Json::objectValue);
  text_app["appSetting"] = "diff_v=5";
  EXPECT_EQ(Threshold(text_app, true), 20.0f);
  Json::Value array_app(Json::objectValue);
  array_app["appSetting"].append(5);
  EXPECT_EQ(Threshold(array_app, true), 20.0f);
  EXPECT_EQ(Threshold(Json::Value(Json::arrayValue), true), 20.0f);
  EXPECT_EQ(Threshold(Json::Value(5), false), 20.0f);
}

TEST(AcInitV, ALaterInitVKeepsThresholdsThatItDoesNotName) {
  KORVAN_AC ac;
  ac.InitV(nullptr, 1, App("diff_v", "4"));
  ac.InitV(nullptr, 1, App("diff_i", "6"));
  EXPECT_EQ(ac.diff_v(), 4.0f);
  EXPECT_EQ(ac.diff_i(), 6.0f);
}

// ===========================================================================
// LoadFromCache

// A blob in the snapshot format: head with `count` channels, then `records` channels.
Bytes Blob(unsigned char count, std::size_t records, std::uint32_t data_id = 99) {
  Bytes blob(33 + 25 * records, 0);
  for (int i = 0; i < 4; ++i) blob[i] = static_cast<unsigned char>(data_id >> (8 * i));
  blob[16] = count;
  for (std::size_t k = 0; k < records; ++k) {
    Bytes a;
    PutFloat(a, 100.0f + static_cast<float>(k));
    std::copy(a.begin(), a.end(), blob.begin() + 33 + 25 * k);
    blob[50 + 25 * k] = static_cast<unsigned char>(k + 1);  // a_alert
  }
  return blob;
}

TEST_F(AcUnit, CacheTakesAMatchingBlob) {
  const Bytes blob = Blob(1, 1);
  ASSERT_EQ(blob.size(), 58u);
  EXPECT_TRUE(ac_->LoadFromCache(blob.data(), 58));
  EXPECT_TRUE(ac_->DataReady());
  EXPECT_EQ(ac_->LastUpdate(), clock_.Now());
  ASSERT_EQ(ac_->channels().size(), 1u);
  EXPECT_EQ(HeadBytes(*ac_), Bytes(blob.begin(), blob.begin() + 33));
  EXPECT_EQ(ChannelBytes(*ac_), Bytes(blob.begin() + 33, blob.end()));
  // The blob's data id replaces the record's; nothing compares them.
  EXPECT_EQ(LoadField<std::uint32_t>(ac_->tele(), offsetof(Head, data_id)), 99u);
  // Readable at once, for 60 seconds.
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_a"), 100.0f);
  clock_.Advance(60);
  EXPECT_EQ(ac_->Get_Value(0, "channel_0_a"), 100.0f);
  clock_.Advance(1);
  EXPECT_EQ(Failure(*ac_, "channel_0_a"), "数据已超时");
  EXPECT_TRUE(Logs().empty());  // the cache logs nothing
}

TEST_F(AcUnit, CacheRefusesShortBlobs) {
  const Bytes blob = Blob(0, 0);
  EXPECT_FALSE(ac_->LoadFromCache(blob.data(), 33));
  EXPECT_FALSE(ac_->LoadFromCache(blob.data(), 0));
  EXPECT_FALSE(ac_->LoadFromCache(blob.data(), -5));
  EXPECT_FALSE(ac_->LoadFromCache(nullptr, 58));
  Bytes one_more = Blob(0, 0);
  one_more.push_back(0);
  EXPECT_FALSE(ac_->LoadFromCache(one_more.data(), 34));  // 1 byte for 0 channels
  EXPECT_FALSE(ac_->DataReady());
  EXPECT_EQ(HeadBytes(*ac_), [] {
    Bytes head(33, 0);
    head[0] = kId;
    return head;
  }());
}

TEST_F(AcUnit, CacheTextFormCarriesTheBytes) {
  const Bytes blob = Blob(2, 2);
  EXPECT_TRUE(ac_->LoadFromCache(std::string(blob.begin(), blob.end())));
  EXPECT_EQ(ac_->channels().size(), 2u);
}

TEST_F(AcUnit, CacheRoundTrip) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 10.5f, -0.5f, 12.25f)), 47);
  ASSERT_EQ(Parse43(Section43({}, {1, 0, 1, 0})), 6);
  ASSERT_EQ(Parse44(Section44({{1, 2, 3, 0, {}, {1, 2, 3}}, {3, 0, 0, 1}}, 2, 0, 1)), 22);
  ac_->RoundDone();
  const auto published = controller_->Of(Kind::kPublish);
  ASSERT_EQ(published.size(), 1u);
  const Bytes snapshot = published[0].bytes;
  ASSERT_EQ(snapshot.size(), 83u);

  auto restored = std::make_shared<KORVAN_AC>();
  restored->InitV(parent_.get(), 8, Json::Value());
  ASSERT_TRUE(restored->LoadFromCache(snapshot.data(), static_cast<int>(snapshot.size())));
  EXPECT_EQ(HeadBytes(*restored), HeadBytes(*ac_));
  EXPECT_EQ(ChannelBytes(*restored), ChannelBytes(*ac_));
  EXPECT_EQ(restored->Get_Value(0, "channel_1_b"), 381.5f);
  EXPECT_EQ(restored->Get_Value(0, "ib"), -0.5f);
  controller_->Clear();
  restored->RoundDone();  // same frozen time: the same bytes again
  ASSERT_EQ(controller_->Of(Kind::kPublish).size(), 1u);
  EXPECT_EQ(controller_->Of(Kind::kPublish)[0].bytes, snapshot);
  // The restore fixed the channel count.
  EXPECT_EQ(restored->parse40_41(nullptr, 0), -1);
  controller_->Clear();
  testing::internal::CaptureStdout();
  const Bytes three = Section41({{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}}, 0, 0, 0);
  EXPECT_EQ(restored->parse40_41(three.data(), static_cast<int>(three.size())), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(controller_->LogLines().empty());
}

TEST_F(AcUnit, CacheRestoreSetsItsOwnChannelCount) {
  TwoChannelsReady();
  const Bytes blob = Blob(3, 3);
  EXPECT_TRUE(ac_->LoadFromCache(blob.data(), static_cast<int>(blob.size())));
  EXPECT_EQ(ac_->channels().size(), 3u);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 3);
  EXPECT_EQ(Parse41(Section41(kTwoChannels, 0, 0, 0)), -1);
}

// ===========================================================================
// RoundDone

// The AC alarm table, written out again for the test.
struct ExpectedRow {
  const char* id;
  int level;
  const char* code;
  const char* name;
  const char* suffix;
};
const ExpectedRow kChannelTable[] = {
    {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A"},
    {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B"},
    {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C"},
    {"AC_3", 3, "06019", "交流输入频率过低告警", "频率"},
    {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A"},
    {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B"},
    {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C"},
    {"AC_7", 2, "06018", "交流输入频率过高告警", "频率"},
    {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A"},
    {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B"},
    {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C"},
};
const ExpectedRow kUnitTable[] = {
    {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警"},
    {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警"},
    {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警"},
    {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警"},
    {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警"},
    {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警"},
    {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警"},
    {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警"},
    {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警"},
};

// The rules of the one batch that the jobs ran.
std::vector<rule_value> BatchRules(RecordingController& controller) {
  controller.RunJobs();
  const auto batches = controller.Of(Kind::kBatch);
  EXPECT_EQ(batches.size(), 1u);
  return batches.empty() ? std::vector<rule_value>() : batches.back().rules;
}

const rule_value* FindRule(const std::vector<rule_value>& rules, const std::string& id,
                           const std::string& text_prefix) {
  for (const rule_value& rule : rules) {
    if (rule.id == id && rule.text.compare(0, text_prefix.size(), text_prefix) == 0) return &rule;
  }
  return nullptr;
}

TEST_F(AcUnit, RoundDoneAlarmTableForTwoChannels) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  ASSERT_EQ(Parse44(Section44({{1, 2, 3, 1}, {0, 3, 2, 2}}, 1, 2, 3)), 22);
  ac_->RoundDone();
  EXPECT_TRUE(ac_->PendingRules().empty());
  const std::vector<rule_value> rules = BatchRules(*controller_);
  ASSERT_EQ(rules.size(), 11u * 2 + 9);
  // States: channel 1 a=1 b=2 c=3 f=1; channel 2 a=0 b=3 c=2 f=2; ia=1 ib=2 ic=3.
  const std::vector<std::vector<bool>> channel_active = {
      {true, false, false, true, false, true, false, false, false, false, true},
      {false, false, false, false, false, false, true, true, false, true, false}};
  const std::vector<bool> unit_active = {true,  false, false, false, true,
                                         false, false, false, true};
  std::size_t i = 0;
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t r = 0; r < 11; ++r, ++i) {
      const ExpectedRow& row = kChannelTable[r];
      SCOPED_TRACE(std::string(row.id) + " channel " + std::to_string(k + 1));
      EXPECT_EQ(rules[i].id, row.id);
      EXPECT_EQ(rules[i].level, row.level);
      EXPECT_EQ(rules[i].code, row.code);
      EXPECT_EQ(rules[i].name, row.name);
      EXPECT_EQ(rules[i].text, "交流屏" + std::to_string(k + 1) + row.suffix);
      EXPECT_EQ(rules[i].active, channel_active[k][r]);
      EXPECT_EQ(rules[i].sequence, 11 * k + r + 1);
      EXPECT_EQ(rules[i].data_id, kId);
    }
  }
  for (std::size_t r = 0; r < 9; ++r, ++i) {
    const ExpectedRow& row = kUnitTable[r];
    SCOPED_TRACE(row.id);
    EXPECT_EQ(rules[i].id, row.id);
    EXPECT_EQ(rules[i].level, row.level);
    EXPECT_EQ(rules[i].code, row.code);
    EXPECT_EQ(rules[i].name, row.name);
    EXPECT_EQ(rules[i].text, "其他告警");
    EXPECT_EQ(rules[i].active, unit_active[r]);
    EXPECT_EQ(rules[i].sequence, 22 + r + 1);
  }
  EXPECT_EQ(ac_->AlarmSequence(), 32);
}

TEST_F(AcUnit, RoundDoneSpecExamples) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  // a_alert 1 and 0; c_alert 3 on channel 1; state 4 everywhere else.
  ASSERT_EQ(Parse44(Section44({{1, 4, 4, 4}, {0, 4, 3, 4}}, 4, 4, 4)), 22);
  ac_->RoundDone();
  const std::vector<rule_value> rules = BatchRules(*controller_);
  const rule_value* first = FindRule(rules, "AC_0", "交流屏1");
  const rule_value* second = FindRule(rules, "AC_0", "交流屏2");
  const rule_value* ac12 = FindRule(rules, "AC_12", "");
  ASSERT_TRUE(first && second && ac12);
  EXPECT_TRUE(first->active);
  EXPECT_EQ(first->text, "交流屏1输入线/相电压AB/A");
  EXPECT_EQ(first->sequence, 1u);
  EXPECT_FALSE(second->active);
  EXPECT_EQ(second->text, "交流屏2输入线/相电压AB/A");
  EXPECT_EQ(second->sequence, 12u);
  EXPECT_EQ(ac12->sequence, 23u);
  EXPECT_TRUE(FindRule(rules, "AC_10", "交流屏2")->active);
  EXPECT_FALSE(FindRule(rules, "AC_2", "交流屏2")->active);
  EXPECT_FALSE(FindRule(rules, "AC_6", "交流屏2")->active);
  int active = 0;
  for (const rule_value& rule : rules) active += rule.active ? 1 : 0;
  EXPECT_EQ(active, 2);  // the 4s activate nothing
}

TEST_F(AcUnit, RoundDoneWithNoChannels) {
  ac_->RoundDone();
  const auto published = controller_->Of(Kind::kPublish);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].bytes.size(), 33u);
  const std::vector<rule_value> rules = BatchRules(*controller_);
  ASSERT_EQ(rules.size(), 9u);
  for (std::size_t r = 0; r < 9; ++r) {
    EXPECT_EQ(rules[r].id, kUnitTable[r].id);
    EXPECT_EQ(rules[r].sequence, r + 1);
    EXPECT_FALSE(rules[r].active);
  }
}

TEST_F(AcUnit, RoundDonePublishesTheSnapshot) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 10.5f, 11.0f, 12.25f)), 47);
  ASSERT_EQ(Parse43(Section43({}, {1, 2, 3, 4})), 6);
  ASSERT_EQ(Parse44(Section44({{1, 2, 3, 0, {}, {7, 8, 9}}, {0, 1, 0, 2}}, 3, 0, 1)), 22);
  clock_.Advance(3723);  // 2026-12-08 11:02:03
  ac_->RoundDone();
  EXPECT_EQ(ac_->LastUpdate(), clock_.Now());
  EXPECT_TRUE(ac_->DataReady());

  // The order of the host calls: publish, job; the job batches, then saves.
  ASSERT_EQ(controller_->events().size(), 2u);
  EXPECT_EQ(controller_->events()[0].kind, Kind::kPublish);
  EXPECT_EQ(controller_->events()[1].kind, Kind::kJob);
  EXPECT_EQ(controller_->RunJobs(), 1);
  ASSERT_EQ(controller_->events().size(), 4u);
  EXPECT_EQ(controller_->events()[2].kind, Kind::kBatch);
  EXPECT_EQ(controller_->events()[3].kind, Kind::kHistory);

  const auto& publish = controller_->events()[0];
  EXPECT_EQ(publish.type, 5209);
  EXPECT_FALSE(publish.delayed);
  EXPECT_EQ(publish.data_id, kId);
  const Bytes& s = publish.bytes;
  ASSERT_EQ(s.size(), 83u);
  EXPECT_EQ(ac_->snapshot_len(), 83u);
  EXPECT_EQ(Bytes(ac_->snapshot(), ac_->snapshot() + 83), s);
  EXPECT_EQ(controller_->events()[3].bytes, s);  // saved as history too

  Bytes expected;
  PutU32(expected, kId);
  PutFloat(expected, 10.5f);
  PutFloat(expected, 11.0f);
  PutFloat(expected, 12.25f);
  expected.insert(expected.end(), {2, 0, 4, 1, 2, 3, 4, 3, 0, 1});
  const ttime stamp = get_ttime(boost::posix_time::time_from_string("2026-12-08 11:02:03"));
  expected.insert(expected.end(), stamp.bytes, stamp.bytes + 7);
  EXPECT_EQ(Bytes(stamp.bytes, stamp.bytes + 7), (Bytes{0xEA, 0x07, 12, 8, 11, 2, 3}));
  PutFloat(expected, 220.5f);
  PutFloat(expected, 221.0f);
  PutFloat(expected, 219.75f);
  PutFloat(expected, 50.0f);
  expected.insert(expected.end(), {0, 1, 2, 3, 0, 3, 7, 8, 9});
  PutFloat(expected, 380.0f);
  PutFloat(expected, 381.5f);
  PutFloat(expected, 379.0f);
  PutFloat(expected, 49.5f);
  expected.insert(expected.end(), {0, 0, 1, 0, 2, 3, 0, 0, 0});
  EXPECT_EQ(s, expected);
}

TEST_F(AcUnit, RoundDoneStampIsThisCycles) {
  TwoChannelsReady();
  clock_.Advance(2);
  ac_->RoundDone();
  const Bytes s = controller_->Of(Kind::kPublish).at(0).bytes;
  const ttime stamp = get_ttime(clock_.Now());
  EXPECT_EQ(Bytes(s.begin() + 26, s.begin() + 33), Bytes(stamp.bytes, stamp.bytes + 7));
}

TEST_F(AcUnit, AlarmChangeFlagOnlyTurnsOn) {
  controller_->batch_result = true;
  ac_->RoundDone();
  controller_->RunJobs();
  EXPECT_TRUE(ac_->AlarmChanged());
  controller_->batch_result = false;
  ac_->RoundDone();
  controller_->RunJobs();
  EXPECT_TRUE(ac_->AlarmChanged());
}

TEST_F(AcUnit, AlarmChangeFlagStaysOffWhileNothingChanges) {
  ac_->RoundDone();
  controller_->RunJobs();
  EXPECT_FALSE(ac_->AlarmChanged());
}

TEST_F(AcUnit, TheJobKeepsTheDeviceAlive) {
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  ac_->RoundDone();
  std::weak_ptr<KORVAN_AC> watch = ac_;
  ac_.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(controller_->RunJobs(), 1);
  EXPECT_TRUE(watch.expired());
  const auto history = controller_->Of(Kind::kHistory);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].bytes.size(), 83u);
  EXPECT_EQ(controller_->Of(Kind::kBatch).at(0).rules.size(), 31u);
}

TEST_F(AcUnit, ALateJobSavesTheBytesOfItsOwnCycle) {
  ASSERT_EQ(Parse41(Section41({{1, 1, 1, 1}}, 1.0f, 1.0f, 1.0f)), 30);
  ac_->RoundDone();
  ASSERT_EQ(Parse41(Section41({{2, 2, 2, 2}}, 2.0f, 2.0f, 2.0f)), 30);
  clock_.Advance(5);
  ac_->RoundDone();
  EXPECT_EQ(controller_->RunJobs(), 2);
  const auto published = controller_->Of(Kind::kPublish);
  const auto history = controller_->Of(Kind::kHistory);
  ASSERT_EQ(published.size(), 2u);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_NE(published[0].bytes, published[1].bytes);
  EXPECT_EQ(history[0].bytes, published[0].bytes);
  EXPECT_EQ(history[1].bytes, published[1].bytes);
  // Each job ran the rules of its own cycle.
  const auto batches = controller_->Of(Kind::kBatch);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].rules.size(), 20u);
  EXPECT_EQ(batches[1].rules.size(), 20u);
}

// A product class whose hook adds a rule of its own.
class ExtraAlarmAC final : public PMBusPowerAC<tele_c_korvan_ac, tele_c_korvan_ac_channel, 5209> {
 protected:
  void DoImpCheckAlert() override {
    CheckThresholdBool(2, "X_1", "99999", "extra", "extra", true, alarm_sequence_++);
  }
};

TEST(AcHook, RulesOfTheHookJoinTheBatch) {
  FrozenClock clock;
  auto controller = std::make_shared<RecordingController>();
  auto parent = std::make_shared<PlainDevice>();
  parent->Init(controller, 1, Json::Value());
  auto ac = std::make_shared<ExtraAlarmAC>();
  ac->InitV(parent.get(), 3, Json::Value());
  ac->RoundDone();
  controller->RunJobs();
  const auto rules = controller->Of(Kind::kBatch).at(0).rules;
  ASSERT_EQ(rules.size(), 10u);
  EXPECT_EQ(rules[9].id, "X_1");
  EXPECT_EQ(rules[9].sequence, 10u);
}

TEST_F(AcUnit, KorvanAddsNoRulesOfItsOwn) {
  TwoChannelsReady();
  ac_->RoundDone();
  EXPECT_EQ(BatchRules(*controller_).size(), 31u);
}

// ===========================================================================
// Mend 1: the snapshot follows the channel count.

TEST_F(AcUnit, Mend1SnapshotGrowsWhenTheCountIsFixedLater) {
  ac_->RoundDone();  // no channels yet: 33 bytes
  EXPECT_EQ(ac_->snapshot_len(), 33u);
  ASSERT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f)), 47);
  ac_->RoundDone();
  EXPECT_EQ(ac_->snapshot_len(), 83u);
  const auto published = controller_->Of(Kind::kPublish);
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[0].bytes.size(), 33u);
  ASSERT_EQ(published[1].bytes.size(), 83u);
  EXPECT_EQ(Bytes(published[1].bytes.begin() + 33, published[1].bytes.end()), ChannelBytes(*ac_));
  // A restore with another count resizes it again.
  const Bytes blob = Blob(3, 3);
  ASSERT_TRUE(ac_->LoadFromCache(blob.data(), static_cast<int>(blob.size())));
  ac_->RoundDone();
  EXPECT_EQ(ac_->snapshot_len(), 108u);
  EXPECT_EQ(controller_->Of(Kind::kPublish).back().bytes.size(), 108u);
  // Every snapshot is a blob that the cache takes.
  for (const auto& event : controller_->Of(Kind::kPublish)) {
    if (event.bytes.size() == 33u) continue;  // no channels: refused by the format
    auto other = std::make_shared<KORVAN_AC>();
    EXPECT_TRUE(other->LoadFromCache(event.bytes.data(), static_cast<int>(event.bytes.size())));
  }
  controller_->RunJobs();
  const auto history = controller_->Of(Kind::kHistory);
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0].bytes.size(), 33u);
  EXPECT_EQ(history[1].bytes.size(), 83u);
  EXPECT_EQ(history[2].bytes.size(), 108u);
}

// ===========================================================================
// Mend 2: a refused blob changes nothing.

TEST_F(AcUnit, Mend2RefusedBlobLeavesALiveUnitAsItWas) {
  TwoChannelsReady();
  const auto updated = ac_->LastUpdate();
  const Bytes head = HeadBytes(*ac_);
  const Bytes channels = ChannelBytes(*ac_);
  clock_.Advance(5);
  // 58 bytes whose head says two channels, then three channels' worth for one.
  const Bytes short_blob = Blob(2, 1);
  EXPECT_FALSE(ac_->LoadFromCache(short_blob.data(), 58));
  const Bytes long_blob = Blob(1, 3);
  EXPECT_FALSE(ac_->LoadFromCache(long_blob.data(), static_cast<int>(long_blob.size())));
  const Bytes head_only = Blob(2, 0);
  EXPECT_FALSE(ac_->LoadFromCache(head_only.data(), 33));
  EXPECT_EQ(HeadBytes(*ac_), head);
  EXPECT_EQ(ChannelBytes(*ac_), channels);
  EXPECT_EQ(ac_->channels().size(), 2u);
  EXPECT_TRUE(ac_->DataReady());
  EXPECT_EQ(ac_->LastUpdate(), updated);
}

TEST_F(AcUnit, Mend2RefusedBlobLeavesANewUnitOpen) {
  const Bytes blob = Blob(2, 1);
  EXPECT_FALSE(ac_->LoadFromCache(blob.data(), 58));
  EXPECT_TRUE(ac_->channels().empty());
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 0);
  EXPECT_EQ(LoadField<std::uint32_t>(ac_->tele(), offsetof(Head, data_id)), kId);
  EXPECT_FALSE(ac_->DataReady());
  EXPECT_EQ(Failure(*ac_, "ia"), "数据未就绪");
  EXPECT_EQ(Parse41(Section41({{1, 1, 1, 1}}, 1, 1, 1)), 30);  // the count is still open
}

// ===========================================================================
// Mend 3: a rejected first reply does not fix the channel count.

TEST_F(AcUnit, Mend3TruncatedFirstReplyLeavesTheCountOpen) {
  EXPECT_EQ(Parse41(Section41(kTwoChannels, 1.0f, 2.0f, 3.0f), 46), -1);
  EXPECT_TRUE(ac_->channels().empty());
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 0);
  ASSERT_EQ(Logs().size(), 1u);
  EXPECT_EQ(Logs()[0], "PMBusPowerAC:ProcotolError 7 read 40_41 read overflow 47 - 46");
  // The next good reply fixes the count, whatever it is.
  EXPECT_EQ(Parse41(Section41({{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}}, 4, 5, 6)), 64);
  EXPECT_EQ(ac_->channels().size(), 3u);
  EXPECT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 3);
  EXPECT_EQ(ChanFloat(*ac_, 2, offsetof(Chan, f)), 3.0f);
}

TEST_F(AcUnit, Mend3EveryTruncatedFirstReplyLeavesTheCountOpen) {
  const Bytes section = Section41(kTwoChannels, 1.0f, 2.0f, 3.0f);
  for (int cut = 0; cut < static_cast<int>(section.size()); ++cut) {
    ASSERT_EQ(Parse41(section, cut), -1) << cut;
    ASSERT_TRUE(ac_->channels().empty()) << cut;
    ASSERT_EQ(HeadByte(*ac_, offsetof(Head, channel_count)), 0) << cut;
  }
  // A skip that runs past the end, too.
  std::vector<Analog> skipping = {{1, 1, 1, 1}};
  skipping[0].p = 50;
  EXPECT_EQ(Parse41(Section41(skipping, 1, 1, 1)), -1);
  EXPECT_TRUE(ac_->channels().empty());
  EXPECT_EQ(Parse41(section), 47);
  EXPECT_EQ(ac_->channels().size(), 2u);
}

// ===========================================================================
// Mend 4: huge channel indexes are out of range, not overflowed.

TEST_F(AcUnit, Mend4HugeChannelIndexIsOutOfRange) {
  TwoChannelsReady();
  for (const char* name : {
           "channel_99999999999999999999_a",
           "channel_4294967296_a",            // 2^32: wraps to 0 in 32 bits
           "channel_4294967297_b",            // 2^32 + 1
           "channel_18446744073709551616_a",  // 2^64: wraps to 0 in 64 bits
           "channel_18446744073709551617_c",  // 2^64 + 1
           "channel_2147483648_a",            // INT_MAX + 1
           "channel_00000000000000000000000000000002_a",
       }) {
    EXPECT_EQ(Failure(*ac_, name), "通道参数越界") << name;
  }
  // Leading zeros do not make an index big.
  EXPECT_EQ(ac_->Get_Value(0, "channel_00000000000000000000000000000001_a"), 380.0f);
  EXPECT_EQ(ac_point::ChannelIndexValue("18446744073709551615"), SIZE_MAX);
  // One below the limit is still a number, whatever the width of size_t.
  EXPECT_EQ(ac_point::ChannelIndexValue(std::to_string(SIZE_MAX - 1)), SIZE_MAX - 1);
  EXPECT_EQ(ac_point::ChannelIndexValue("99999999999999999999"), SIZE_MAX);
  EXPECT_EQ(ac_point::ChannelIndexValue("0042"), 42u);
}

// ===========================================================================
// Mend 5: the point-name matcher gives std::regex's answers without recursion.

struct SearchAnswer {
  bool found = false;
  std::size_t position = 0, length = 0;
  std::string index, key;
  bool operator==(const SearchAnswer& o) const {
    return found == o.found && position == o.position && length == o.length && index == o.index &&
           key == o.key;
  }
};

std::ostream& operator<<(std::ostream& out, const SearchAnswer& a) {
  if (!a.found) return out << "(no hit)";
  return out << "(at " << a.position << " length " << a.length << " index \"" << a.index
             << "\" key \"" << a.key << "\")";
}

SearchAnswer ByRegex(const std::string& name) {
  static const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
  std::smatch match;
  SearchAnswer answer;
  if (!std::regex_search(name, match, pattern)) return answer;
  answer.found = true;
  answer.position = static_cast<std::size_t>(match.position(0));
  answer.length = static_cast<std::size_t>(match.length(0));
  answer.index = match[1].str();
  answer.key = match[2].str();
  return answer;
}

SearchAnswer ByMatcher(const std::string& name) {
  const ac_point::ChannelPointMatch match = ac_point::FindChannelPoint(name);
  SearchAnswer answer;
  if (!match.found) return answer;
  answer.found = true;
  answer.position = match.position;
  answer.length = match.length;
  answer.index = std::string(match.index);
  answer.key = std::string(match.key);
  return answer;
}

std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char ch : name) {
    if (ch >= 0x20 && ch < 0x7F) {
      out += static_cast<char>(ch);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", ch);
      out += hex;
    }
  }
  return out.size() > 120 ? out.substr(0, 120) + "..." : out;
}

TEST(Mend5PointNames, AgreeWithStdRegexOnATable) {
  using namespace std::string_literals;
  const std::vector<std::string> names = {
      // The documented point names.
      "ia",
      "ib",
      "ic",
      "ia_alert",
      "channel_0_a",
      "channel_0_b",
      "channel_1_c",
      "channel_2_f",
      "channel_1_frequency",
      "xchannel_0_b",
      "channel_0_x",
      "Channel_0_a",
      "channel_2_a",
      "channel_99999999999999999999_a",
      // No digits, no key, other separators.
      "",
      "channel_",
      "channel__a",
      "channel_0",
      "channel_0_",
      "channel_a_0",
      "channel-0-a",
      "channel_0-a",
      "chanel_0_a",
      "channel 0 a",
      "CHANNEL_0_A",
      "channel_ 0_a",
      "channel_+1_a",
      "channel_-1_a",
      "channel_1.5_a",
      "channel_0x1_a",
      // The key is one character, any but a line terminator.
      "channel_0__",
      "channel_0___",
      "channel_0_\n",
      "channel_0_\r",
      "channel_0_\r\n",
      "channel_0_\t",
      "channel_0_ ",
      "channel_0_\0"s,
      "channel_0_\0a"s,
      "channel_0_\x7F",
      "channel_0_\xFF",
      "channel_0_\xC3\xA9",      // é: its first byte only
      "channel_0_\xE2\x80\xA8",  // U+2028 as UTF-8 bytes
      // Several candidates: the leftmost hit wins.
      "channel_channel_0_a",
      "channel_0_\nchannel_1_a",
      "channel_1_2_a",
      "channel_12_34_b",
      "channel_0_achannel_1_b",
      "channelchannel_3_c",
      "channel_1channel_2_b",
      "channel_1_\rchannel_2_\nchannel_3_c",
      "channel_channel_channel_",
      "xx_channel_7_a_channel_8_b",
      "channel_5\nchannel_6_f",
      // Digits other than ASCII are not \d.
      "channel_\xD9\xA3_a",
      "channel_\xEF\xBC\x91_a",
      // Leading zeros and long runs of digits.
      "channel_007_a",
      "channel_" + std::string(300, '0') + "_a",
      "channel_" + std::string(500, '9') + "_b",
      "channel_" + std::string(500, '9'),
      std::string(200, 'x') + "channel_1_a",
      "channel_" + std::string(300, '1') + "_\n",
      // NUL bytes inside the name.
      "chan\0nel_0_a"s,
      "channel_\0_0_a"s,
      "\0channel_3_c"s,
  };
  for (const std::string& name : names) {
    EXPECT_EQ(ByMatcher(name), ByRegex(name)) << Printable(name);
  }
}

// Every name of up to four pieces drawn from fragments of the pattern.
TEST(Mend5PointNames, AgreeWithStdRegexOnEveryShortComposition) {
  using namespace std::string_literals;
  const std::vector<std::string> pieces = {"channel_", "0",   "12", "_",      "a",  "\n",
                                           "\r",       "\0"s, "c",  "hannel", "l_", "x"};
  std::vector<std::string> names = {""};
  std::size_t compared = 0;
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<std::string> longer;
    for (const std::string& name : names) {
      for (const std::string& piece : pieces) longer.push_back(name + piece);
    }
    for (const std::string& name : longer) {
      ASSERT_EQ(ByMatcher(name), ByRegex(name)) << Printable(name);
      ++compared;
    }
    names = std::move(longer);
  }
  EXPECT_EQ(compared, 12u + 144 + 1728 + 20736);
}

TEST(Mend5PointNames, AgreeWithStdRegexOnRandomNames) {
  using namespace std::string_literals;
  const std::string alphabet = "channel_0123_ac\n\rX\0"s;
  std::mt19937 random(3);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 40);
  for (int round = 0; round < 20000; ++round) {
    std::string name;
    const int n = length(random);
    for (int i = 0; i < n; ++i) {
      // Often start a "channel_" to make hits likely.
      if (pick(random) < 2) {
        name += "channel_";
      } else {
        name += alphabet[pick(random)];
      }
    }
    ASSERT_EQ(ByMatcher(name), ByRegex(name)) << Printable(name);
  }
}

TEST_F(AcUnit, Mend5LongNamesNeedNoStack) {
  TwoChannelsReady();
  // std::regex overflows the stack on these (one frame per character).
  const std::string digits(2000000, '1');
  EXPECT_EQ(Failure(*ac_, "channel_" + digits + "_a"), "通道参数越界");
  EXPECT_EQ(Failure(*ac_, "channel_" + digits), "数据未提供");
  EXPECT_EQ(ac_->Get_Value(0, "channel_" + std::string(2000000, '0') + "1_a"), 380.0f);
  EXPECT_EQ(ac_->Get_Value(0, std::string(2000000, '_') + "channel_0_b"), 221.0f);
  std::string repeated;
  for (int i = 0; i < 200000; ++i) repeated += "channel_1";
  EXPECT_EQ(Failure(*ac_, repeated), "数据未提供");
  EXPECT_EQ(ac_->Get_Value(0, repeated + "_c"), 379.0f);
}

}  // namespace
