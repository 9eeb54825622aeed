// Rectifier group: reply parsing, point reads, cache restore and end of cycle.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "units/common/packed_field.h"
#include "units/rc/korvan_rc.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Kind = RecordingController::Kind;
using Tele = tele_c_korvan_rc;
using Module = tele_c_korvan_rc_channel;
using Parser = int (KORVAN_RC::*)(const unsigned char*, int);

const std::string kRc = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError 7 ";
const std::string kAc = "PMBusPowerAC:ProcotolError 7 ";

// A float whose four bytes differ (so it is no no-data marker): b, b+1, b+2, b+3.
void Value(Bytes& out, unsigned char b) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(b + i));
}

// 41h/41h: flag, output voltage (4), M, then per module current (4), P, P x 4 bytes.
Bytes AnalogWithP(std::vector<unsigned char> p_per_module) {
  Bytes out{0x11};
  Value(out, 0xA0);
  out.push_back(static_cast<unsigned char>(p_per_module.size()));
  for (std::size_t i = 0; i < p_per_module.size(); ++i) {
    Value(out, static_cast<unsigned char>(0x10 * (i + 1)));
    out.push_back(p_per_module[i]);
    for (int v = 0; v < p_per_module[i]; ++v) Value(out, 0x50);
  }
  return out;
}
Bytes Analog(std::size_t modules) {
  return AnalogWithP(std::vector<unsigned char>(modules, 0));
}

Bytes Cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

// 41h/43h: flag, M, then per module on/off, limit, mode, P, P state bytes.
// 41h/44h: flag, M, then per module fault, P, P alarm bytes.
Bytes States(std::vector<Bytes> modules) {
  Bytes out{0x00, static_cast<unsigned char>(modules.size())};
  for (const Bytes& m : modules) out.insert(out.end(), m.begin(), m.end());
  return out;
}

// 40h/46h: five limits (4 each), P, P x 4 bytes.  42h/46h: two limits, P, P x 4 bytes.
Bytes Params(int limits, unsigned char p, std::size_t values) {
  Bytes out;
  for (int i = 0; i < limits; ++i) Value(out, static_cast<unsigned char>(0x20 + 4 * i));
  out.push_back(p);
  for (std::size_t i = 0; i < values; ++i) Value(out, static_cast<unsigned char>(0x80 + 4 * i));
  return out;
}

template <typename Record>
Bytes Field(const Record& record, std::size_t offset, std::size_t size) {
  const unsigned char* at = FieldAddress(record, offset);
  return Bytes(at, at + size);
}

struct RcTest : ::testing::Test {
  FrozenClock clock;
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<KORVAN_RC> parent = std::make_shared<KORVAN_RC>();
  std::shared_ptr<KORVAN_RC> rc = std::make_shared<KORVAN_RC>();

  RcTest() {
    parent->Init(controller, 99, Json::Value());
    rc->InitV(parent.get(), 7, Json::Value());
  }
  int Parse(Parser parser, const Bytes& payload) {
    // An exact-size copy, so any read past the end is a heap overrun.
    Bytes exact(payload);
    return ((*rc).*parser)(exact.data(), static_cast<int>(exact.size()));
  }
  void Modules(std::size_t count) {
    ASSERT_EQ(Parse(&KORVAN_RC::parse41_41, Analog(count)), static_cast<int>(6 + 5 * count));
  }
  Bytes Published() const { return controller->Of(Kind::kPublish).back().bytes; }
  std::uint8_t Count() const {
    return LoadField<std::uint8_t>(rc->Tele(), offsetof(Tele, module_count));
  }
  std::uint8_t ModuleByte(std::size_t m, std::size_t off) const {
    return LoadField<std::uint8_t>(rc->Channels()[m], off);
  }
};

TEST_F(RcTest, FirstAnalogReplyFixesTheModuleCountAndLaterCountsMustMatch) {
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, Analog(3)), 21);
  ASSERT_EQ(rc->Channels().size(), 3u);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(Field(rc->Channels()[2], offsetof(Module, output_current), 4),
            (Bytes{0x30, 0x31, 0x32, 0x33}));

  Bytes other = Analog(4);
  other[1] = 0x77;  // new output voltage
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, other), -1);
  EXPECT_EQ(Field(rc->Tele(), offsetof(Tele, output_voltage), 4), (Bytes{0x77, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(rc->Channels().size(), 3u);
  EXPECT_TRUE(controller->LogLines().empty());
}

TEST_F(RcTest, ZeroModulesOrARejectedFirstReplyLeaveTheCountOpen) {
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, Analog(0)), 6);
  EXPECT_TRUE(rc->Channels().empty());
  // Two modules announced, the second one cut off inside its current.
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, Cut(Analog(2), 13)), -1);
  EXPECT_EQ(controller->LogLines(),
            std::vector<std::string>{kAc + "read 41_41 in channel overflow 15 - 13"});
  EXPECT_TRUE(rc->Channels().empty());
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, Analog(4)), 26);
  EXPECT_EQ(Count(), 4);
}

TEST_F(RcTest, UnexpectedUserAnalogCountIsSkippedAndParsingGoesOn) {
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, AnalogWithP({0, 2, 0})), 6 + 15 + 8);
  EXPECT_EQ(controller->LogLines(), std::vector<std::string>{kRc + "read 41_41 p is 2 not 0"});
  EXPECT_EQ(ModuleByte(1, offsetof(Module, user_analog_count)), 2);
  EXPECT_EQ(Field(rc->Channels()[2], offsetof(Module, output_current), 4),
            (Bytes{0x30, 0x31, 0x32, 0x33}));
}

// One row per rejected or logged reply; `modules` are established first.
struct FailureRow {
  const char* name;
  std::size_t modules;
  Parser parser;
  Bytes payload;
  int result;
  std::vector<std::string> lines;
};

TEST_F(RcTest, FailureTable) {
  using L = std::vector<std::string>;
  // clang-format off
  const std::vector<FailureRow> rows = {
      {"41_41 skip runs past the end", 0, &KORVAN_RC::parse41_41, Cut(AnalogWithP({2}), 11), -1,
       L{kRc + "read 41_41 p is 2 not 0", kAc + "read 41_41 read overflow 19 - 11"}},
      {"41_43 lists more modules", 2, &KORVAN_RC::parse41_43,
       States({{1, 0, 0, 1, 9}, {1, 0, 0, 1, 9}, {1, 0, 0, 1, 9}}), -1, L{}},
      {"41_43 p not 1", 2, &KORVAN_RC::parse41_43, States({{1, 1, 1, 0}, {1, 1, 1, 1, 5}}), 11,
       L{kRc + "read 41_43 p is 0, not 1"}},
      {"41_43 cut inside a module", 2, &KORVAN_RC::parse41_43, {0, 2, 1, 1, 1, 1, 5, 1, 1}, -1,
       L{kAc + "read 41_43 read overflow 11 - 9"}},
      {"41_44 lists more modules", 2, &KORVAN_RC::parse41_44, States({{1, 0}, {1, 0}, {1, 0}}), 0,
       L{kRc + "parse p41_44 channel_count not equal 3 != 2 "}},
      {"41_44 p not 0", 2, &KORVAN_RC::parse41_44, States({{0, 1, 4}, {1, 0}}), 7,
       L{kRc + "read 41_44 p is 1, not 0"}},
      {"41_44 cut before a fault", 2, &KORVAN_RC::parse41_44, {0, 2, 1, 0}, -1,
       L{kAc + "read 41_44 read overflow 5 - 4"}},
      {"40_46 shorter than 21", 0, &KORVAN_RC::parse40_46, Bytes(10, 1), -1,
       L{kAc + "read 40_46 read overflow 12 - 10"}},
      {"42_46 p not 14", 0, &KORVAN_RC::parse42_46, Params(2, 10, 0), 49,
       L{"KTR19P:ProcotolError parse42_46 7 p:10 != 14"}},
      {"42_46 shorter than 9", 0, &KORVAN_RC::parse42_46, Bytes(6, 1), -1,
       L{kAc + "read 42_46 read overflow 8 - 6"}},
  };
  // clang-format on
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    rc = std::make_shared<KORVAN_RC>();
    rc->InitV(parent.get(), 7, Json::Value());
    if (row.modules != 0) Modules(row.modules);
    controller->Clear();
    EXPECT_EQ(Parse(row.parser, row.payload), row.result);
    EXPECT_EQ(controller->LogLines(), row.lines);
  }
}

TEST_F(RcTest, StateRepliesUpdateOnlyTheListedModules) {
  Modules(3);
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_43, States({{1, 2, 3, 1, 4}, {5, 6, 7, 1, 8}})), 12);
  EXPECT_EQ(Field(rc->Channels()[1], offsetof(Module, on_off), 5), (Bytes{5, 6, 7, 1, 8}));
  EXPECT_EQ(ModuleByte(2, offsetof(Module, on_off)), 0);
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_44, States({{0, 0}, {1, 0}, {2, 0}})), 8);
  EXPECT_EQ(ModuleByte(1, offsetof(Module, fault)), 1);
  EXPECT_EQ(ModuleByte(2, offsetof(Module, fault)), 2);
  // More modules than known: nothing stored.
  EXPECT_EQ(Parse(&KORVAN_RC::parse41_44, States({{0, 0}, {0, 0}, {0, 0}, {0, 0}})), 0);
  EXPECT_EQ(ModuleByte(1, offsetof(Module, fault)), 1);
}

TEST_F(RcTest, ParameterRepliesAndTheirResults) {
  EXPECT_EQ(Parse(&KORVAN_RC::parse40_46, Params(5, 0, 0)), 21);
  EXPECT_EQ(Field(rc->Tele(), offsetof(Tele, frequency_lower), 4), (Bytes{0x30, 0x31, 0x32, 0x33}));
  EXPECT_EQ(Parse(&KORVAN_RC::parse40_46, Params(5, 2, 0)), 29);  // values not there, not checked

  EXPECT_EQ(Parse(&KORVAN_RC::parse42_46, Params(2, 14, 14)), 65);
  Bytes first = Field(rc->Tele(), offsetof(Tele, dc_param), 56);
  Bytes shorter = Params(2, 14, 14);
  for (std::size_t i = 9; i < shorter.size(); ++i) shorter[i] = 0xEE;
  shorter.resize(40);
  EXPECT_EQ(Parse(&KORVAN_RC::parse42_46, shorter), 40);
  Bytes now = Field(rc->Tele(), offsetof(Tele, dc_param), 56);
  EXPECT_EQ(Bytes(now.begin(), now.begin() + 31), Bytes(31, 0xEE));
  EXPECT_EQ(Bytes(now.begin() + 31, now.end()), Bytes(first.begin() + 31, first.end()));

  EXPECT_EQ(Parse(&KORVAN_RC::parse42_46, Params(2, 10, 10)), 49);
  EXPECT_EQ(LoadField<std::uint8_t>(rc->Tele(), offsetof(Tele, dc_param_count)), 10);
  EXPECT_EQ(Field(rc->Tele(), offsetof(Tele, dc_param), 56), now);
}

// Every truncation of a good reply is refused (42h/46h takes what it holds).
TEST_F(RcTest, TruncatedRepliesNeverReadPastTheEnd) {
  const Bytes analog = Analog(3);
  for (std::size_t n = 0; n < analog.size(); ++n) {
    EXPECT_EQ(Parse(&KORVAN_RC::parse41_41, Bytes(analog.begin(), analog.begin() + n)), -1) << n;
    EXPECT_EQ(Count(), 0) << n;
  }
  Modules(3);
  auto sweep = [&](Parser parser, const Bytes& whole, std::size_t keeps_from) {
    for (std::size_t n = 0; n < whole.size(); ++n) {
      const int expected = n < keeps_from ? -1 : static_cast<int>(n);
      EXPECT_EQ(Parse(parser, Bytes(whole.begin(), whole.begin() + n)), expected) << n;
    }
  };
  sweep(&KORVAN_RC::parse41_43, States({{1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}}), 99);
  sweep(&KORVAN_RC::parse41_44, States({{1, 0}, {1, 0}, {1, 0}}), 99);
  sweep(&KORVAN_RC::parse40_46, Params(5, 0, 0), 99);
  sweep(&KORVAN_RC::parse42_46, Params(2, 14, 14), 9);
  EXPECT_EQ(rc->parse41_41(nullptr, 50), -1);
}

TEST_F(RcTest, PointReadsOnlyEverThrowStatusTexts) {
  auto text = [&] {
    try {
      rc->Get_Value(0, "any");
    } catch (const std::out_of_range& e) {
      return std::string(e.what());
    }
    return std::string("returned");
  };
  EXPECT_EQ(text(), "数据未就绪");
  rc->RoundDone();
  const struct {
    int advance;
    const char* text;
  } steps[] = {{30, "数据未就绪"}, {30, "数据未就绪"}, {1, "数据已超时"}, {-100, "数据未就绪"}};
  for (const auto& step : steps) {
    clock.Advance(step.advance);
    EXPECT_EQ(text(), step.text) << step.advance;
  }
}

TEST_F(RcTest, RoundDonePublishesSnapshotAndOneFaultRulePerModule) {
  rc = std::make_shared<KORVAN_RC>();
  rc->InitV(parent.get(), 0x0A0B0C0D, Json::Value());
  Modules(3);
  Parse(&KORVAN_RC::parse41_44, States({{0, 0}, {1, 0}, {2, 0}}));
  rc->RoundDone();

  const Bytes snapshot = Published();
  ASSERT_EQ(snapshot.size(), 137u);
  EXPECT_EQ(controller->Of(Kind::kPublish).back().type, 5211);
  EXPECT_EQ(Bytes(snapshot.begin(), snapshot.begin() + 4), (Bytes{0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_EQ(Bytes(snapshot.begin() + 94, snapshot.begin() + 101),
            (Bytes{0xEA, 0x07, 12, 8, 10, 0, 0}));
  EXPECT_EQ(snapshot[101 + 12 + 10], 1);  // module 2's fault byte
  EXPECT_TRUE(rc->PendingRules().empty());

  std::weak_ptr<KORVAN_RC> alive = rc;
  rc.reset();  // the queued job keeps the device until it has run
  EXPECT_FALSE(alive.expired());
  EXPECT_EQ(controller->RunJobs(), 1);
  EXPECT_TRUE(alive.expired());
  const std::vector<rule_value> rules = controller->Of(Kind::kBatch).at(0).rules;
  ASSERT_EQ(rules.size(), 3u);
  const bool active[] = {false, true, false};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rules[i].text, "模块" + std::to_string(i + 1) + "整流模块故障告警");
    EXPECT_EQ(rules[i].active, active[i]);
    EXPECT_EQ(rules[i].sequence, i + 1);
    EXPECT_EQ(rules[i].id, "RC_0");
    EXPECT_EQ(rules[i].code, "06024");
    EXPECT_EQ(rules[i].name, "整流模块故障告警");
    EXPECT_EQ(rules[i].level, 2);
  }
  EXPECT_EQ(controller->Of(Kind::kHistory).at(0).bytes, snapshot);
}

TEST_F(RcTest, SnapshotFollowsTheModuleCountAcrossCycles) {
  controller->batch_result = true;
  rc->RoundDone();  // no modules yet
  EXPECT_EQ(Published().size(), 101u);
  EXPECT_FALSE(rc->AlarmChanged());
  controller->RunJobs();
  EXPECT_TRUE(controller->Of(Kind::kBatch).at(0).rules.empty());
  EXPECT_EQ(controller->Of(Kind::kHistory).at(0).bytes.size(), 101u);
  EXPECT_TRUE(rc->AlarmChanged());
  controller->batch_result = false;  // a quiet batch does not clear the flag

  Modules(10);  // count fixed after the snapshot existed
  rc->RoundDone();
  const Bytes first = Published();
  clock.Advance(1);
  rc->RoundDone();
  EXPECT_EQ(first.size(), 221u);
  EXPECT_EQ(Published().size(), 221u);
  EXPECT_EQ(Published()[100], first[100] + 1);  // stamp seconds
  controller->RunJobs();
  EXPECT_EQ(controller->Of(Kind::kHistory).back().bytes.size(), 221u);
  EXPECT_EQ(controller->Of(Kind::kBatch).back().rules.front().sequence, 1u);
  EXPECT_TRUE(rc->AlarmChanged());
}

// The host may run a job late (or on another thread) while the next cycle's
// replies are parsed and that cycle ends, even with another module count:
// each job saves its own cycle's snapshot.
TEST_F(RcTest, ALateJobSavesTheSnapshotOfItsOwnCycle) {
  Modules(2);
  Parse(&KORVAN_RC::parse41_44, States({{1, 0}, {0, 0}}));
  Parse(&KORVAN_RC::parse42_46, Params(2, 14, 14));
  rc->RoundDone();
  const Bytes first = Published();
  ASSERT_EQ(first.size(), 125u);

  // A restore brings three modules; the next cycle's replies change every value.
  Bytes blob(101 + 3 * 12, 0x33);
  blob[93] = 3;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(rc->LoadFromCache(blob.data(), static_cast<int>(blob.size())));
  testing::internal::GetCapturedStdout();
  Bytes analog = Analog(3);
  analog[1] = 0x77;
  ASSERT_EQ(Parse(&KORVAN_RC::parse41_41, analog), 21);
  Parse(&KORVAN_RC::parse41_44, States({{0, 0}, {1, 0}, {1, 0}}));
  Parse(&KORVAN_RC::parse42_46, Params(2, 3, 3));
  clock.Advance(5);
  rc->RoundDone();
  const Bytes second = Published();
  ASSERT_EQ(second.size(), 137u);
  Parse(&KORVAN_RC::parse41_44, States({{0, 0}, {0, 0}, {0, 0}}));

  ASSERT_EQ(controller->RunJobs(), 2);
  const auto history = controller->Of(Kind::kHistory);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].bytes, first);
  EXPECT_EQ(history[1].bytes, second);
  const auto batches = controller->Of(Kind::kBatch);
  ASSERT_EQ(batches.size(), 2u);
  ASSERT_EQ(batches[0].rules.size(), 2u);
  EXPECT_TRUE(batches[0].rules[0].active);
  ASSERT_EQ(batches[1].rules.size(), 3u);
  EXPECT_FALSE(batches[1].rules[0].active);
}

TEST_F(RcTest, CacheRestoresASnapshotAndRefusesBadBlobsUnchanged) {
  Modules(3);
  Parse(&KORVAN_RC::parse41_44, States({{0, 0}, {1, 0}, {0, 0}}));
  rc->RoundDone();
  const Bytes blob = Published();

  auto fresh = std::make_shared<KORVAN_RC>();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(fresh->LoadFromCache(blob.data(), static_cast<int>(blob.size())));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "rc data_len:137 vs 101\nrc channelLen 12 and 3 left:36\n");
  EXPECT_TRUE(fresh->DataReady());
  EXPECT_EQ(Field(fresh->Tele(), 0, 101), Bytes(blob.begin(), blob.begin() + 101));
  ASSERT_EQ(fresh->Channels().size(), 3u);
  EXPECT_EQ(Field(fresh->Channels()[1], 0, 12), Bytes(blob.begin() + 113, blob.begin() + 125));

  // Wrong module count (2 announced, 3 present), too short, negative, none.
  Bytes wrong = blob;
  wrong[93] = 2;
  const auto before_update = rc->LastUpdate();
  clock.Advance(5);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(rc->LoadFromCache(wrong.data(), static_cast<int>(wrong.size())));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "rc data_len:137 vs 101\nrc channelLen 12 and 2 left:36\n");
  EXPECT_FALSE(rc->LoadFromCache(blob.data(), 100));
  EXPECT_FALSE(rc->LoadFromCache(blob.data(), -5));
  EXPECT_FALSE(rc->LoadFromCache(nullptr, 137));
  EXPECT_EQ(Field(rc->Tele(), 0, 101), Bytes(blob.begin(), blob.begin() + 101));
  ASSERT_EQ(rc->Channels().size(), 3u);
  EXPECT_EQ(ModuleByte(1, offsetof(Module, fault)), 1);
  EXPECT_EQ(rc->LastUpdate(), before_update);
  auto never = std::make_shared<KORVAN_RC>();
  EXPECT_FALSE(never->LoadFromCache(wrong.data(), static_cast<int>(wrong.size())));
  EXPECT_FALSE(never->DataReady());
  EXPECT_TRUE(never->Channels().empty());

  // A bare system record with no modules, then a restore that changes the count.
  Bytes bare(blob.begin(), blob.begin() + 101);
  bare[93] = 0;
  EXPECT_TRUE(never->LoadFromCache(bare.data(), 101));
  EXPECT_TRUE(never->DataReady());
  EXPECT_TRUE(never->Channels().empty());
  Bytes two(blob.begin(), blob.end() - 12);
  two[93] = 2;
  EXPECT_TRUE(rc->LoadFromCache(two.data(), static_cast<int>(two.size())));
  rc->RoundDone();
  EXPECT_EQ(Published().size(), 125u);
}

}  // namespace
