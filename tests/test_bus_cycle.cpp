// One whole polling cycle of the KORVAN bus device with its real children:
// every request, every reply, and the records published at the end of it,
// checked byte for byte against records built here from the same values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/korvan.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "tests/support/scripted_transport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Sent = std::vector<std::string>;
using Kind = RecordingController::Kind;

// Little-endian byte writer for reply INFO fields and expected records.
class Writer {
 public:
  Writer& U8(unsigned int value) {
    bytes_.push_back(static_cast<unsigned char>(value));
    return *this;
  }
  Writer& U32(std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return *this;
  }
  Writer& F32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return U32(bits);
  }
  Writer& Raw(const Bytes& more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    return *this;
  }
  Writer& Zeros(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// 2026-12-08 10:00:00 as the host's 7-byte stamp.
const Bytes kStamp = {0xEA, 0x07, 12, 8, 10, 0, 0};
constexpr unsigned int kBusId = 100;

struct AcChannel {
  float a, b, c, f;
  std::uint8_t alerts[4];
  Bytes user_alert;  // 3 states
};
struct AcUnit {
  unsigned int id;
  std::vector<AcChannel> channels;
  float ia, ib, ic;
  Bytes user_state;  // 4 states
  std::uint8_t current_alerts[3];
};
struct DcUnit {
  unsigned int id;
  float v, i;
  float m[3];
  float user[6];
  std::uint8_t dc_state;
  Bytes alert_m;  // 20 states
  Bytes alert_p;  // 11 states
};
struct Module {
  float current;
  std::uint8_t on_off, limit, mode, user_state, fault;
};

class KorvanCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ac_ = {{11, {{230.5f, 231.0f, 229.5f, 50.0f, {0, 1, 0, 0}, {0, 0, 0}}}, 10.5f, 11.0f, 11.5f,
            {1, 0, 1, 0}, {0, 0, 2}},
           {12,
            {{220.0f, 221.0f, 222.0f, 49.9f, {0, 0, 3, 0}, {1, 2, 3}},
             {218.0f, 219.0f, 217.0f, 50.1f, {2, 0, 0, 1}, {0, 0, 0}}},
            20.0f, 21.0f, 22.0f, {0, 0, 0, 1}, {1, 0, 0}}};
    dc_ = {{21, 53.5f, 120.0f, {1.0f, 2.0f, 3.0f}, {4, 5, 6, 7, 8, 9}, 1, Bytes(20, 0), Bytes(11, 0)},
           {22, 54.0f, 80.0f, {1.5f, 2.5f, 3.5f}, {1, 1, 1, 1, 1, 1}, 0, Bytes(20, 0), Bytes(11, 0)}};
    dc_[1].alert_m[4] = 3;
    dc_[1].alert_p[0] = 0xF0;
    modules_ = {{30.0f, 0, 0, 1, 0, 0}, {31.0f, 0, 1, 1, 0, 1}, {32.0f, 1, 0, 0, 0, 0}};

    Json::Value config(Json::objectValue);
    for (const AcUnit& unit : ac_) {
      Json::Value element(Json::objectValue);
      element["data_id"] = unit.id;
      config["acSetting"].append(element);
    }
    for (const DcUnit& unit : dc_) {
      Json::Value element(Json::objectValue);
      element["data_id"] = unit.id;
      config["dcSetting"].append(element);
    }
    config["rcSetting"] = Json::Value(Json::objectValue);
    bus_->Init(controller_, kBusId, Json::Value());
    bus_->AttachTransport(transport_);
    ASSERT_TRUE(bus_->InitSetting(config));
  }

  int Reply(std::uint8_t group, const Bytes& info) {
    const Bytes record = pmbus_reply::Build(0x20, 1, group, 0, info);
    return bus_->DeliverDecodedReply(record.data(), static_cast<unsigned int>(record.size()));
  }

  // ---- replies, written from the wire layouts ----

  Bytes AcAnalog() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(ac_.size()));
    for (const AcUnit& unit : ac_) {
      w.U8(static_cast<unsigned int>(unit.channels.size()));
      for (const AcChannel& ch : unit.channels) w.F32(ch.a).F32(ch.b).F32(ch.c).F32(ch.f).U8(0);
      w.F32(unit.ia).F32(unit.ib).F32(unit.ic);
    }
    return w.bytes();
  }
  Bytes AcSwitch() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(ac_.size()));
    for (const AcUnit& unit : ac_) w.U8(0).U8(4).Raw(unit.user_state);
    return w.bytes();
  }
  Bytes AcAlarm() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(ac_.size()));
    for (const AcUnit& unit : ac_) {
      w.U8(static_cast<unsigned int>(unit.channels.size()));
      for (const AcChannel& ch : unit.channels) {
        for (std::uint8_t state : ch.alerts) w.U8(state);
        w.U8(0).U8(3).Raw(ch.user_alert);
      }
      for (std::uint8_t state : unit.current_alerts) w.U8(state);
    }
    return w.bytes();
  }
  Bytes RcAnalog() const {
    Writer w;
    w.U8(0).F32(53.6f).U8(static_cast<unsigned int>(modules_.size()));
    for (const Module& m : modules_) w.F32(m.current).U8(0);
    return w.bytes();
  }
  Bytes RcSwitch() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(modules_.size()));
    for (const Module& m : modules_) w.U8(m.on_off).U8(m.limit).U8(m.mode).U8(1).U8(m.user_state);
    return w.bytes();
  }
  Bytes RcAlarm() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(modules_.size()));
    for (const Module& m : modules_) w.U8(m.fault).U8(0);
    return w.bytes();
  }
  Bytes DcAnalog() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(dc_.size()));
    for (const DcUnit& unit : dc_) {
      w.F32(unit.v).F32(unit.i).U8(3);
      for (float value : unit.m) w.F32(value);
      w.U8(0).U8(6);
      for (float value : unit.user) w.F32(value);
    }
    return w.bytes();
  }
  Bytes DcAlarm() const {
    Writer w;
    w.U8(0).U8(static_cast<unsigned int>(dc_.size()));
    for (const DcUnit& unit : dc_) {
      w.U8(unit.dc_state).U8(20).Raw(unit.alert_m).U8(11).Raw(unit.alert_p);
    }
    return w.bytes();
  }
  static Bytes AcParameters() {
    Writer w;
    w.F32(280.0f).F32(180.0f).F32(60.0f).F32(55.0f).F32(45.0f).U8(0);
    return w.bytes();
  }
  static Bytes DcParameters() {
    Writer w;
    w.F32(57.6f).F32(43.2f).U8(14);
    for (int k = 0; k < 14; ++k) w.F32(static_cast<float>(k));
    return w.bytes();
  }

  // ---- records, written from the record layouts ----

  static Bytes AcSnapshot(const AcUnit& unit) {
    Writer w;
    w.U32(unit.id).F32(unit.ia).F32(unit.ib).F32(unit.ic);
    w.U8(static_cast<unsigned int>(unit.channels.size())).U8(0).U8(4).Raw(unit.user_state);
    for (std::uint8_t state : unit.current_alerts) w.U8(state);
    w.Raw(kStamp);
    for (const AcChannel& ch : unit.channels) {
      w.F32(ch.a).F32(ch.b).F32(ch.c).F32(ch.f).U8(0);
      for (std::uint8_t state : ch.alerts) w.U8(state);
      w.U8(3).Raw(ch.user_alert);
    }
    return w.bytes();
  }
  static Bytes DcRecord(const DcUnit& unit) {
    Writer w;
    w.U32(unit.id).F32(unit.v).F32(unit.i).U8(3);
    for (float value : unit.m) w.F32(value);
    w.U8(0).U8(6);
    for (float value : unit.user) w.F32(value);
    w.U8(unit.dc_state).U8(20).Raw(unit.alert_m).U8(11).Raw(unit.alert_p).Raw(kStamp);
    return w.bytes();
  }
  Bytes RcSnapshot() const {
    Writer w;
    w.U32(kBusId).F32(280.0f).F32(180.0f).F32(60.0f).F32(55.0f).F32(45.0f);
    w.F32(57.6f).F32(43.2f).U8(14);
    for (int k = 0; k < 14; ++k) w.F32(static_cast<float>(k));
    w.F32(53.6f).U8(static_cast<unsigned int>(modules_.size())).Raw(kStamp);
    for (const Module& m : modules_) {
      w.F32(m.current).U8(0).U8(m.on_off).U8(m.limit).U8(m.mode).U8(1).U8(m.user_state);
      w.U8(m.fault).U8(0);
    }
    return w.bytes();
  }

  FrozenClock clock_;
  std::shared_ptr<RecordingController> controller_ = std::make_shared<RecordingController>();
  std::shared_ptr<ScriptedTransport> transport_ = std::make_shared<ScriptedTransport>();
  std::shared_ptr<KORVAN> bus_ = std::make_shared<KORVAN>();
  std::vector<AcUnit> ac_;
  std::vector<DcUnit> dc_;
  std::vector<Module> modules_;
};

TEST_F(KorvanCycle, ConstructorSettings) {
  KORVAN fresh;
  EXPECT_EQ(fresh.DeviceType(), "korvan");
  EXPECT_EQ(fresh.BaudRate(), 9600u);
  EXPECT_EQ(fresh.PortOption(), 1);
  EXPECT_EQ(fresh.ProtocolVersion(), 0x20);
  EXPECT_TRUE(fresh.ModelCheckPending());
}

TEST_F(KorvanCycle, WholeCyclePublishesEveryRecordByteForByte) {
  ASSERT_TRUE(bus_->RefreshStatus());
  Bytes model = {'K', 'O', 'R', 'V', 'A', 'N', '3'};
  model.resize(20, ' ');
  EXPECT_EQ(Reply(0x40, model), 1);
  EXPECT_EQ(Reply(0x40, AcAnalog()), 1);
  EXPECT_EQ(Reply(0x40, AcSwitch()), 1);
  EXPECT_EQ(Reply(0x40, AcAlarm()), 1);
  EXPECT_EQ(Reply(0x41, RcAnalog()), 1);
  EXPECT_EQ(Reply(0x41, RcSwitch()), 1);
  EXPECT_EQ(Reply(0x41, RcAlarm()), 1);
  EXPECT_EQ(Reply(0x42, DcAnalog()), 1);
  EXPECT_EQ(Reply(0x42, DcAlarm()), 1);
  EXPECT_EQ(Reply(0x40, AcParameters()), 1);
  EXPECT_TRUE(controller_->Of(Kind::kPublish).empty());  // nothing before the cycle ends
  EXPECT_EQ(Reply(0x42, DcParameters()), 0);

  EXPECT_EQ(transport_->TakeSent(),
            (Sent{"40h/51h", "40h/41h:FF", "40h/43h:FF", "40h/44h:FF", "41h/41h", "41h/43h",
                  "41h/44h", "42h/41h", "42h/44h", "40h/46h", "42h/46h"}));
  EXPECT_TRUE(controller_->LogLines().empty());

  const auto published = controller_->Of(Kind::kPublish);
  ASSERT_EQ(published.size(), 5u);
  const Bytes expected[] = {AcSnapshot(ac_[0]), AcSnapshot(ac_[1]), DcRecord(dc_[0]),
                            DcRecord(dc_[1]), RcSnapshot()};
  const int types[] = {5209, 5209, 5210, 5210, 5211};
  const unsigned int ids[] = {11, 12, 21, 22, kBusId};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(published[k].type, types[k]) << k;
    EXPECT_EQ(published[k].data_id, ids[k]) << k;
    EXPECT_EQ(published[k].bytes, expected[k]) << k;
    EXPECT_FALSE(published[k].delayed);
  }
  EXPECT_EQ(expected[0].size(), 33u + 25u);
  EXPECT_EQ(expected[1].size(), 33u + 50u);
  EXPECT_EQ(expected[2].size(), 92u);
  EXPECT_EQ(expected[4].size(), 101u + 36u);

  // The deferred jobs check the rules and save every record as history.
  EXPECT_EQ(controller_->RunJobs(), 5);
  const auto batches = controller_->Of(Kind::kBatch);
  ASSERT_EQ(batches.size(), 5u);
  EXPECT_EQ(batches[0].rules.size(), 11u * 1 + 9);
  EXPECT_EQ(batches[1].rules.size(), 11u * 2 + 9);
  EXPECT_EQ(batches[2].rules.size(), 33u);
  EXPECT_EQ(batches[4].rules.size(), 3u);
  const auto history = controller_->Of(Kind::kHistory);
  ASSERT_EQ(history.size(), 5u);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(history[k].bytes, expected[k]) << k;

  // The rectifier module whose fault byte is 1 is the one active RC_0 row.
  std::vector<bool> active;
  for (const rule_value& rule : batches[4].rules) active.push_back(rule.active);
  EXPECT_EQ(active, (std::vector<bool>{false, true, false}));

  // Points are readable once the cycle has ended; the bus now counts as ready.
  EXPECT_TRUE(bus_->DataReady());
  auto dc = bus_->GetChildVDevice(22);
  ASSERT_NE(dc, nullptr);
  EXPECT_FLOAT_EQ(dc->Get_Value(22, "v"), 54.0f);
  EXPECT_FLOAT_EQ(bus_->GetChildVDevice(12)->Get_Value(12, "channel_1_f"), 50.1f);
}

}  // namespace
