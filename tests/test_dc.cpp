// The DC distribution unit: reply parsing, point reads, settings, cache and alarms.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/ttime.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "units/common/packed_field.h"
#include "units/dc/korvan_dc.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Kind = RecordingController::Kind;
using Tele = tele_c_korvan_dc;

void Put(Bytes& out, float value) {
  unsigned char raw[4];
  std::memcpy(raw, &value, 4);
  out.insert(out.end(), raw, raw + 4);
}

// Analog block: v f32 | i f32 | m u8 | m × f32 | n u8 | n × f32 | p u8 | p × 4 raw bytes
Bytes Analog(float v, float i, const std::vector<float>& m, const std::vector<float>& n = {},
             const Bytes& user = {}) {
  Bytes out;
  Put(out, v);
  Put(out, i);
  out.push_back(static_cast<unsigned char>(m.size()));
  for (float value : m) Put(out, value);
  out.push_back(static_cast<unsigned char>(n.size()));
  for (float value : n) Put(out, value);
  out.push_back(static_cast<unsigned char>(user.size() / 4));
  out.insert(out.end(), user.begin(), user.end());
  return out;
}

// Alarm block: dc_state u8 | m u8 | m state bytes | p u8 | p state bytes
Bytes Alarm(unsigned char dc_state, const Bytes& m_states, const Bytes& p_states) {
  Bytes out{dc_state, static_cast<unsigned char>(m_states.size())};
  out.insert(out.end(), m_states.begin(), m_states.end());
  out.push_back(static_cast<unsigned char>(p_states.size()));
  out.insert(out.end(), p_states.begin(), p_states.end());
  return out;
}

template <typename T>
T Field(const KORVAN_DC& unit, std::size_t offset) {
  return LoadField<T>(unit.Tele(), offset);
}

void ExpectThrows(const KORVAN_DC& unit, const std::string& name, const std::string& text) {
  try {
    unit.Get_Value(0, name);
    ADD_FAILURE() << name << " read without " << text;
  } catch (const std::out_of_range& error) {
    EXPECT_EQ(error.what(), text) << name;
  }
}

struct DcUnit : testing::Test {
  std::shared_ptr<KORVAN_DC> Make(unsigned int id, const Json::Value& config = Json::Value()) {
    auto unit = std::make_shared<KORVAN_DC>("KORVAN3");
    EXPECT_TRUE(unit->InitV(parent.get(), id, config));
    return unit;
  }
  void SetUp() override {
    parent->Init(controller, 1, Json::Value());
    unit = Make(7);
  }

  FrozenClock clock;
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<KORVAN_DC> parent = std::make_shared<KORVAN_DC>();
  std::shared_ptr<KORVAN_DC> unit;
};

TEST_F(DcUnit, AnalogBlockFillsRecordAndMarksMissingUserValues) {
  Bytes three = Analog(53.5f, 12.0f, {1.0f, 2.0f, 3.0f});
  ASSERT_EQ(unit->parse42_41(three.data(), static_cast<int>(three.size())), 23);

  // A marker among v, i or the M values is copied as it came; only user values become -0.1.
  const Bytes user = {0x20, 0x20, 0x20, 0x20, 0xFF, 0xFF, 0xFF, 0xFF,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x41};
  Bytes block = Analog(48.0f, 7.5f, {0.5f, 0.25f}, {}, user);
  std::memset(block.data() + 9, 0x20, 4);
  testing::internal::CaptureStdout();
  EXPECT_EQ(unit->parse42_41(block.data(), static_cast<int>(block.size())), 19 + 16);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "parse 42 41: 0 0 40 42\n");

  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, v)), 48.0f);
  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, i)), 7.5f);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, dc_m)), 2);
  EXPECT_EQ(Field<std::uint32_t>(*unit, offsetof(Tele, m_value)), 0x20202020u);
  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, m_value) + 4), 0.25f);
  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, m_value) + 8), 3.0f);  // kept from before
  const float expected_user[] = {-0.1f, -0.1f, 0.0f, 10.0f};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(Field<float>(*unit, offsetof(Tele, user_p) + 4 * k), expected_user[k]) << k;
  }
  EXPECT_TRUE(controller->LogLines().empty());
}

struct FailureRow {
  const char* what;
  bool alarm;
  Bytes block;
  int length;  // bytes handed to the parser; the block is cut or padded to it
  int result;
  std::vector<std::string> lines;
};

TEST_F(DcUnit, MalformedBlocksAreLoggedAndBounded) {
  const std::string dc = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 7 ";
  const std::string ac = "PMBusPowerAC:ProcotolError 7 ";
  const Bytes ten = {0x00, 0x00, 0x20, 0x41};
  const std::vector<FailureRow> rows = {
      {"M count 4", false, Analog(1, 2, {1, 2, 3, 4}), 27, 27, {dc + "read dc_m is 4, MAX_M is 3"}},
      {"N count 1", false, Analog(1, 2, {}, {9}, ten), 19, 19, {dc + "read dc_n is 1, MAX_N is 0"}},
      {"user count 7",
       false,
       Analog(1, 2, {}, {}, Bytes(28, 1)),
       45,
       45,
       {dc + "read p_count is 7, support user_p max is 6"}},
      {"M alarms 25", true, Alarm(1, Bytes(25, 3), {}), 28, 28, {}},
      {"user alarms 12",
       true,
       Alarm(1, {}, Bytes(12, 0)),
       15,
       15,
       {dc + "read 42_44 p is 12,  alert_p is 11"}},
      {"no room for v", false, Analog(1, 2, {}), 3, -1, {ac + "read 42_41 read overflow 4 - 3"}},
      {"cut in a float",
       false,
       Analog(1, 2, {1, 2}),
       15,
       -1,
       {ac + "read 42_41 read overflow 17 - 15"}},
      {"cut before a count",
       false,
       Analog(1, 2, {1, 2}),
       17,
       -1,
       {ac + "read 42_41 read overflow 18 - 17"}},
      {"skip past the end",
       false,
       Analog(1, 2, {1, 2, 3, 4}),
       20,
       -1,
       {dc + "read dc_m is 4, MAX_M is 3", ac + "read 42_41 read overflow 26 - 20"}},
      {"cut in states",
       true,
       Alarm(2, Bytes(5, 3), {}),
       4,
       -1,
       {ac + "read 42_44 read overflow 7 - 4"}},
  };
  for (const FailureRow& row : rows) {
    controller->Clear();
    unit = Make(7);
    Bytes given = row.block;
    given.resize(row.length, 0xEE);  // exactly `length` bytes, nothing readable beyond
    const int result = row.alarm ? unit->parse42_44(given.data(), row.length)
                                 : unit->parse42_41(given.data(), row.length);
    EXPECT_EQ(result, row.result) << row.what;
    EXPECT_EQ(controller->LogLines(), row.lines) << row.what;
  }
  // What the last row decoded before the cut stays; the cut run is not taken.
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, dc_state)), 2);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, alert_m_count)), 5);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, alert_m)), 0);
}

TEST_F(DcUnit, OversizedCountsKeepCountAndCapacity) {
  Bytes block = Analog(1, 2, {1, 2, 3});
  unit->parse42_41(block.data(), static_cast<int>(block.size()));
  block = Analog(5, 6, {7, 8, 9, 10}, {11}, {0x00, 0x00, 0x20, 0x41});
  unit->parse42_41(block.data(), static_cast<int>(block.size()));
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, dc_m)), 4);
  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, m_value)), 1.0f);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, dc_n)), 1);
  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, user_p)), 10.0f);

  Bytes states(25);
  for (int k = 0; k < 25; ++k) states[k] = static_cast<unsigned char>(k + 1);
  block = Alarm(0, states, Bytes(12, 9));
  unit->parse42_44(block.data(), static_cast<int>(block.size()));
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, alert_m_count)), 25);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, alert_m) + 19), 20);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, alert_p_count)), 12);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, alert_p) + 10), 9);
  EXPECT_EQ(Field<std::uint8_t>(*unit, offsetof(Tele, stamp)), 0);  // the next field is untouched
}

TEST_F(DcUnit, TwoUnitsShareOneReply) {
  auto second = Make(8);
  Bytes reply = Analog(50, 1, {1, 2});
  const Bytes more = Analog(51, 2, {}, {}, {0x20, 0x20, 0x20, 0x20});
  reply.insert(reply.end(), more.begin(), more.end());
  const int first = unit->parse42_41(reply.data(), static_cast<int>(reply.size()));
  ASSERT_EQ(first, 19);
  EXPECT_EQ(second->parse42_41(reply.data() + first, static_cast<int>(reply.size()) - first), 15);
  EXPECT_EQ(Field<float>(*unit, offsetof(Tele, v)), 50.0f);
  EXPECT_EQ(Field<float>(*second, offsetof(Tele, v)), 51.0f);
  EXPECT_EQ(Field<float>(*second, offsetof(Tele, user_p)), -0.1f);
}

TEST_F(DcUnit, PointReadsFollowReadinessAndAge) {
  ExpectThrows(*unit, "v", "数据未就绪");
  Bytes blob(92, 0);
  blob[0] = 99;                            // data_id 99, not the 7 given to InitV
  blob[6] = 0x50, blob[7] = 0x42;          // v = 52.0
  blob[8 + 2] = 0x20, blob[8 + 3] = 0x41;  // i = 10.0
  for (int size : {91, 93}) EXPECT_FALSE(unit->LoadFromCache(blob.data(), size));
  ExpectThrows(*unit, "v", "数据未就绪");

  ASSERT_TRUE(unit->LoadFromCache(blob.data(), 92));
  EXPECT_EQ(unit->Get_Value(0, "v"), 52.0f);
  EXPECT_EQ(unit->Get_Value(0, "i"), 10.0f);
  EXPECT_EQ(Field<std::uint32_t>(*unit, offsetof(Tele, data_id)), 99u);
  ExpectThrows(*unit, "V", "数据未就绪");
  clock.Advance(60);
  EXPECT_EQ(unit->Get_Value(0, "v"), 52.0f);
  clock.Advance(1);
  ExpectThrows(*unit, "v", "数据已超时");
  ExpectThrows(*unit, "x", "数据已超时");
  clock.Advance(-120);  // clock set back
  EXPECT_EQ(unit->Get_Value(0, "v"), 52.0f);
}

TEST_F(DcUnit, SettingsTakeNumbersOrTextsOnlyFromAnObject) {
  struct Row {
    const char* config;
    float diff_v, diff_i;
  };
  const Row rows[] = {
      {R"({"data_id": 3, "appSetting": {"diff_v": "0.5"}})", 0.5f, 20.0f},
      {R"({"appSetting": {"diff_v": 0.25, "diff_i": "abc"}})", 0.25f, 0.0f},
      {R"({"appSetting": {"diff_i": 4, "diff_v": [1]}})", 0.1f, 4.0f},
      {R"({"appSetting": 5})", 0.1f, 20.0f},
      {R"({"appSetting": ["diff_v"]})", 0.1f, 20.0f},
      {R"([1, 2])", 0.1f, 20.0f},
  };
  for (const Row& row : rows) {
    Json::Value config;
    ASSERT_TRUE(Json::Reader().parse(row.config, config)) << row.config;
    auto configured = Make(3, config);
    EXPECT_EQ(configured->DiffV(), row.diff_v) << row.config;
    EXPECT_EQ(configured->DiffI(), row.diff_i) << row.config;
    EXPECT_EQ(Field<std::uint32_t>(*configured, offsetof(Tele, data_id)), 3u);
  }
}

// Feeds the unit an alarm block and ends a cycle; the rules the job hands the host.
std::vector<rule_value> Cycle(KORVAN_DC& unit, RecordingController& controller,
                              const Bytes& block) {
  unit.parse42_44(block.data(), static_cast<int>(block.size()));
  controller.Clear();
  unit.RoundDone();
  controller.RunJobs();
  const auto batches = controller.Of(Kind::kBatch);
  return batches.size() == 1 ? batches[0].rules : std::vector<rule_value>{};
}

TEST_F(DcUnit, RoundDonePublishesRecordAndDefersRules) {
  Bytes analog = Analog(53.5f, 12.0f, {1, 2, 3});
  unit->parse42_41(analog.data(), static_cast<int>(analog.size()));
  Bytes block = Alarm(1, Bytes(20, 0), Bytes(11, 0));
  unit->parse42_44(block.data(), static_cast<int>(block.size()));
  clock.Advance(5);
  unit->RoundDone();

  const auto published = controller->Of(Kind::kPublish);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].type, 5210);
  EXPECT_FALSE(published[0].delayed);
  ASSERT_EQ(published[0].bytes.size(), 92u);
  const ttime stamp = get_ttime(clock.Now());
  EXPECT_EQ(Bytes(published[0].bytes.begin() + 85, published[0].bytes.end()),
            Bytes(stamp.bytes, stamp.bytes + 7));
  EXPECT_EQ(unit->LastUpdate(), clock.Now());
  EXPECT_TRUE(unit->DataReady());
  EXPECT_EQ(unit->PreviousV(), 53.5f);
  EXPECT_TRUE(unit->PendingRules().empty());
  EXPECT_GE(unit->PendingRules().capacity(), 33u);
  EXPECT_TRUE(controller->Of(Kind::kBatch).empty());  // deferred until the host runs the job

  // The job saves the record of its cycle, not one parsed since.
  analog = Analog(40.0f, 1.0f, {});
  unit->parse42_41(analog.data(), static_cast<int>(analog.size()));
  controller->batch_result = true;
  ASSERT_EQ(controller->RunJobs(), 1);
  const auto history = controller->Of(Kind::kHistory);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].bytes, published[0].bytes);
  EXPECT_TRUE(unit->AlarmChanged());
  const auto rules = controller->Of(Kind::kBatch)[0].rules;
  ASSERT_EQ(rules.size(), 33u);
  for (std::size_t k = 0; k < rules.size(); ++k) {
    EXPECT_EQ(rules[k].sequence, k + 1);
    EXPECT_EQ(rules[k].active, k == 0) << rules[k].id;
  }
  EXPECT_EQ(rules[0].id + rules[0].code + rules[0].name, "DC_006008输出电压过低告警");
  EXPECT_EQ(rules[1].id + rules[1].code + rules[1].text, "DC_106009输出电压过高告警");
  EXPECT_EQ(rules[2].text, "直流1电池熔丝故障告警");
  EXPECT_EQ(rules[21].id + rules[21].code + rules[21].text, "DC_306001直流20电池熔丝故障告警");
  EXPECT_EQ(rules[22].text, "第一级低压脱离开关动作，其后的负载被断电");
  EXPECT_EQ(rules[25].code + rules[25].name + rules[25].text, "06029电池1电压低其他告警");
  EXPECT_EQ(rules[28].code + rules[28].name, "06001电池2电压低");
  EXPECT_EQ(rules[32].id + std::to_string(rules[32].level), "KORVAN_DC_102");

  // A later cycle starts the numbers at 1 again; a quiet batch leaves the change flag raised.
  controller->batch_result = false;
  EXPECT_EQ(Cycle(*unit, *controller, block)[0].sequence, 1u);
  EXPECT_TRUE(unit->AlarmChanged());
}

// The host may run a job late (or on another thread) while the next cycle's
// replies are parsed and that cycle ends: each job saves its own cycle's record.
TEST_F(DcUnit, ALateJobSavesTheRecordOfItsOwnCycle) {
  auto parse = [&](const Bytes& analog, const Bytes& alarm) {
    ASSERT_EQ(unit->parse42_41(analog.data(), static_cast<int>(analog.size())),
              static_cast<int>(analog.size()));
    ASSERT_EQ(unit->parse42_44(alarm.data(), static_cast<int>(alarm.size())),
              static_cast<int>(alarm.size()));
  };
  auto record = [&] {
    return Bytes(FieldAddress(unit->Tele(), 0), FieldAddress(unit->Tele(), 92));
  };
  parse(Analog(53.5f, 12.0f, {1, 2, 3}, {4}), Alarm(1, Bytes(20, 0), Bytes(11, 0)));
  unit->RoundDone();
  const Bytes first = record();

  // The next cycle's replies, all values changed, arrive before the job runs.
  parse(Analog(40.0f, 1.0f, {7, 8}, {5, 6}, Bytes(8, 0x41)), Alarm(2, Bytes(20, 3), Bytes(11, 1)));
  ASSERT_NE(record(), first);
  ASSERT_EQ(controller->RunJobs(), 1);
  ASSERT_EQ(controller->Of(Kind::kHistory).size(), 1u);
  EXPECT_EQ(controller->Of(Kind::kHistory)[0].bytes, first);

  // Two cycles end before either job runs; a third cycle's replies follow.
  clock.Advance(5);
  unit->RoundDone();
  parse(Analog(50.0f, 2.0f, {9}), Alarm(0, Bytes(19, 0), Bytes(11, 0xF0)));
  clock.Advance(5);
  unit->RoundDone();
  parse(Analog(60.0f, 3.0f, {}), Alarm(1, {}, {}));
  ASSERT_EQ(controller->RunJobs(), 2);
  const auto published = controller->Of(Kind::kPublish);
  const auto history = controller->Of(Kind::kHistory);
  ASSERT_EQ(published.size(), 3u);
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(published[0].bytes, first);
  EXPECT_NE(published[1].bytes, published[2].bytes);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(history[k].bytes, published[k].bytes) << k;
  // Each job also ran the rules of its own cycle: 33 rows, then 13 (no fuse rows).
  const auto batches = controller->Of(Kind::kBatch);
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[1].rules.size(), 33u);
  EXPECT_EQ(batches[2].rules.size(), 13u);
}

TEST_F(DcUnit, RowBlocksNeedExactCountsAndStates) {
  struct Row {
    Bytes m, p;
    std::size_t rules;
    std::vector<std::string> active;
  };
  Bytes fuse = Bytes(20, 0), lvd = Bytes(11, 0);
  fuse[19] = 3;
  lvd[0] = 0xF0, lvd[1] = 0xF0, lvd[2] = 3, lvd[3] = 2, lvd[10] = 2;
  Bytes wrong_stage = Bytes(11, 0);
  wrong_stage[0] = 0xF1, wrong_stage[1] = 0xF1, wrong_stage[6] = 1;
  const Row rows[] = {
      {fuse, lvd, 33, {"DC_3", "KORVAN_DC_0", "KORVAN_DC_2", "KORVAN_DC_10"}},
      {Bytes(19, 3), wrong_stage, 13, {"KORVAN_DC_1", "KORVAN_DC_6"}},
      {Bytes(21, 3), Bytes(11, 0), 13, {}},
      {fuse, Bytes(10, 0xF0), 22, {"DC_3"}},
      {fuse, Bytes(12, 0xF0), 22, {"DC_3"}},
      {{}, {}, 2, {}},
  };
  for (const Row& row : rows) {
    const auto rules = Cycle(*unit, *controller, Alarm(0, row.m, row.p));
    ASSERT_EQ(rules.size(), row.rules);
    std::vector<std::string> active;
    for (std::size_t k = 0; k < rules.size(); ++k) {
      EXPECT_EQ(rules[k].sequence, k + 1);
      if (rules[k].active) active.push_back(rules[k].id);
    }
    EXPECT_EQ(active, row.active) << row.rules;
  }
}

TEST_F(DcUnit, PublishedRecordRestoresFromCache) {
  const Bytes analog = Analog(54.25f, 3.5f, {1, 2, 3}, {}, Bytes(24, 0x41));
  unit->parse42_41(analog.data(), static_cast<int>(analog.size()));
  unit->RoundDone();
  const Bytes record = controller->Of(Kind::kPublish).at(0).bytes;
  auto restored = std::make_shared<KORVAN_DC>();
  ASSERT_TRUE(restored->LoadFromCache(std::string(record.begin(), record.end())));
  EXPECT_EQ(Bytes(FieldAddress(restored->Tele(), 0), FieldAddress(restored->Tele(), 92)), record);
  EXPECT_EQ(restored->Get_Value(0, "v"), 54.25f);
}

// A unit the host holds without a shared pointer still hands over a job that runs.
TEST_F(DcUnit, UnsharedUnitStillDefersItsJob) {
  std::unique_ptr<KORVAN_DC> owned(new KORVAN_DC());
  owned->InitV(parent.get(), 9, Json::Value());
  EXPECT_NO_THROW(owned->RoundDone());
  EXPECT_EQ(controller->RunJobs(), 1);
  EXPECT_EQ(controller->Of(Kind::kHistory).size(), 1u);
}

}  // namespace
