// The bus device's configuration, polling cycle and reply dispatch, driven at
// the decoded-reply level with children that record what they are handed.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bus/pmbus_power.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "tests/support/scripted_transport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Sent = std::vector<std::string>;
using Kind = RecordingController::Kind;

// What every child did, in order, across all children of one bus.
struct Journal {
  std::vector<std::string> entries;
};

// Stands for any kind of child: each parse records the bytes it is handed and
// consumes `block` bytes (or the next scripted result).
class FakeChild : public KMXSPDevice {
 public:
  FakeChild() = default;
  explicit FakeChild(const std::string& model) : model(model) {}

  bool LoadFromCache(const unsigned char*, int) override { return true; }
  bool InitV(KMXVDevice* parent, unsigned int id, const Json::Value& config) override {
    return KMXVDevice::InitV(parent, id, config);
  }
  void RoundDone() override {
    if (journal) journal->entries.push_back("RoundDone " + std::to_string(DataId()));
  }

  int parse40_41(const unsigned char* data, int length) { return Parse("40_41", data, length); }
  int parse40_43(const unsigned char* data, int length) { return Parse("40_43", data, length); }
  int parse40_44(const unsigned char* data, int length) { return Parse("40_44", data, length); }
  int parse42_41(const unsigned char* data, int length) { return Parse("42_41", data, length); }
  int parse42_44(const unsigned char* data, int length) { return Parse("42_44", data, length); }
  int parse41_41(const unsigned char* data, int length) { return Parse("41_41", data, length); }
  int parse41_43(const unsigned char* data, int length) { return Parse("41_43", data, length); }
  int parse41_44(const unsigned char* data, int length) { return Parse("41_44", data, length); }
  int parse40_46(const unsigned char* data, int length) { return Parse("40_46", data, length); }
  int parse42_46(const unsigned char* data, int length) { return Parse("42_46", data, length); }

  struct Call {
    std::string operation;
    Bytes bytes;
    int length;
  };

  std::string model;
  Journal* journal = nullptr;
  int block = 0;            // bytes consumed per call; -1 refuses
  bool take_all = false;    // consume whatever is handed
  std::deque<int> results;  // scripted results, used first
  std::vector<Call> calls;

 private:
  int Parse(const char* operation, const unsigned char* data, int length) {
    calls.push_back({operation, Bytes(data, data + std::max(length, 0)), length});
    if (!results.empty()) {
      const int result = results.front();
      results.pop_front();
      return result;
    }
    if (take_all) return length;
    return block;
  }
};

class TestBus : public PMBusPower<FakeChild, FakeChild, FakeChild> {
 public:
  TestBus() : PMBusPower({"KORVAN3"}) { device_type_ = "korvan"; }
  void SetProtocolVersion(std::uint8_t version) { protocol_version_ = version; }
  std::uint8_t AcDataFlag() const { return ac_data_flag_; }
  std::uint8_t RcDataFlag() const { return rc_data_flag_; }
};

constexpr unsigned int kBusId = 100;

Json::Value Children(std::initializer_list<unsigned int> ids) {
  Json::Value list(Json::arrayValue);
  for (unsigned int id : ids) {
    Json::Value element(Json::objectValue);
    element["data_id"] = id;
    list.append(element);
  }
  return list;
}

Json::Value SystemConfig(std::initializer_list<unsigned int> ac, std::initializer_list<unsigned int> dc,
                         bool with_rc = true) {
  Json::Value config(Json::objectValue);
  config["acSetting"] = Children(ac);
  config["dcSetting"] = Children(dc);
  if (with_rc) config["rcSetting"] = Json::Value(Json::objectValue);
  return config;
}

class BusTest : public ::testing::Test {
 protected:
  // Builds a bus with the given children; `block` bytes per AC/DC block.
  void Configure(const Json::Value& config, bool expect_ok = true) {
    bus_->Init(controller_, kBusId, Json::Value());
    bus_->AttachTransport(transport_);
    ASSERT_EQ(bus_->InitSetting(config), expect_ok);
    for (const auto& child : bus_->GetAllChildVDevices()) {
      auto fake = std::dynamic_pointer_cast<FakeChild>(child);
      fake->journal = &journal_;
      children_.push_back(fake);
    }
  }

  FakeChild& Child(std::size_t index) { return *children_.at(index); }

  int Reply(std::uint8_t group, const Bytes& info, std::uint8_t return_code = 0) {
    const Bytes record = pmbus_reply::Build(0x20, 1, group, return_code, info);
    return bus_->DeliverDecodedReply(record.data(), static_cast<unsigned int>(record.size()));
  }

  // Answers the model query with "KORVAN3" padded to 20 bytes.
  void PassModelCheck() {
    ASSERT_TRUE(bus_->RefreshStatus());
    ASSERT_EQ(Reply(0x40, ModelField("KORVAN3")), 1);
  }

  static Bytes ModelField(const std::string& model, unsigned char pad = 0) {
    Bytes field(model.begin(), model.end());
    field.resize(20, pad);
    return field;
  }

  // An INFO field: data flag, unit count, then `blocks` bytes of unit data.
  static Bytes Info(std::uint8_t flag, std::uint8_t count, std::size_t blocks) {
    Bytes info{flag, count};
    for (std::size_t i = 0; i < blocks; ++i) info.push_back(static_cast<unsigned char>(0xA0 + i));
    return info;
  }

  std::vector<std::string> Logs() const { return controller_->LogLines(); }

  FrozenClock clock_;
  std::shared_ptr<RecordingController> controller_ = std::make_shared<RecordingController>();
  std::shared_ptr<ScriptedTransport> transport_ = std::make_shared<ScriptedTransport>();
  std::shared_ptr<TestBus> bus_ = std::make_shared<TestBus>();
  std::vector<std::shared_ptr<FakeChild>> children_;
  Journal journal_;
};

// ---- configuration ----------------------------------------------------------

TEST_F(BusTest, ChildrenFollowTheConfigurationOrder) {
  Configure(SystemConfig({11, 12}, {21}));
  const auto all = bus_->GetAllChildVDevices();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0]->DataId(), 11u);
  EXPECT_EQ(all[1]->DataId(), 12u);
  EXPECT_EQ(all[2]->DataId(), 21u);
  EXPECT_EQ(all[3]->DataId(), kBusId);  // the rectifier group carries the bus's id
  EXPECT_EQ(Child(2).model, "");        // DC children get the (still empty) detected model
  EXPECT_EQ(Child(0).Parent(), bus_.get());

  EXPECT_EQ(bus_->GetChildVDevice(21), all[2]);
  EXPECT_EQ(bus_->GetChildVDevice(kBusId), nullptr);  // the rectifier group is not searched
  EXPECT_EQ(bus_->GetChildVDevice(99), nullptr);
}

TEST_F(BusTest, AnAcChildWinsOverADcChildWithTheSameId) {
  Configure(SystemConfig({5}, {5}));
  EXPECT_EQ(bus_->GetChildVDevice(5), bus_->GetAllChildVDevices()[0]);
}

TEST_F(BusTest, NonArrayListsMakeNoChildren) {
  Json::Value config = SystemConfig({}, {});
  config["acSetting"] = Json::Value(Json::objectValue);
  config["acSetting"]["data_id"] = 3;
  config["dcSetting"] = Json::Value("none");
  Configure(config);
  ASSERT_EQ(bus_->GetAllChildVDevices().size(), 1u);
}

TEST_F(BusTest, MissingDataIdGivesZero) {
  Json::Value config = SystemConfig({}, {});
  config["acSetting"].append(Json::Value(Json::objectValue));
  Configure(config);
  EXPECT_EQ(bus_->GetAllChildVDevices()[0]->DataId(), 0u);
}

TEST_F(BusTest, WithoutRcSettingConfigurationFailsAndListsNoEmptyEntry) {
  Configure(SystemConfig({11}, {21}, /*with_rc=*/false), /*expect_ok=*/false);
  const auto all = bus_->GetAllChildVDevices();
  ASSERT_EQ(all.size(), 2u);
  for (const auto& child : all) EXPECT_NE(child, nullptr);
}

TEST_F(BusTest, MalformedChildSettingsAreRefusedBeforeAnyChildIsMade) {
  const char* broken[] = {"acSetting", "dcSetting"};
  for (const char* key : broken) {
    for (const Json::Value& element :
         {Json::Value(5), Json::Value("x"), Json::Value(Json::arrayValue)}) {
      auto bus = std::make_shared<TestBus>();
      bus->Init(controller_, kBusId, Json::Value());
      Json::Value config = SystemConfig({1}, {2});
      config[key].append(element);
      EXPECT_FALSE(bus->InitSetting(config)) << key;
      EXPECT_TRUE(bus->GetAllChildVDevices().empty()) << key;
    }
    auto bus = std::make_shared<TestBus>();
    bus->Init(controller_, kBusId, Json::Value());
    Json::Value config = SystemConfig({}, {});
    Json::Value element(Json::objectValue);
    element["data_id"] = "eleven";
    config[key].append(element);
    EXPECT_FALSE(bus->InitSetting(config)) << key;
  }
  EXPECT_FALSE(Logs().empty());
}

TEST_F(BusTest, ABadFrameLayerSettingStopsConfiguration) {
  Json::Value config = SystemConfig({1}, {});
  config["address"] = "one";
  Configure(config, /*expect_ok=*/false);
  EXPECT_TRUE(bus_->GetAllChildVDevices().empty());
}

// ---- request sequences ------------------------------------------------------

class CycleTest : public BusTest {
 protected:
  // Answers every request of one cycle with well-formed replies until the
  // cycle ends; returns the requests sent during it.
  Sent RunCycle(std::uint8_t flags = 0) {
    transport_->TakeSent();
    clock_.Advance(2);
    EXPECT_TRUE(bus_->RefreshStatus());
    Sent sent;
    for (int guard = 0; guard < 20; ++guard) {
      Sent now = transport_->TakeSent();
      if (now.empty()) break;
      sent.insert(sent.end(), now.begin(), now.end());
      if (AnswerLast(flags) == 0) break;
    }
    return sent;
  }

  int AnswerLast(std::uint8_t flags) {
    const PMBusRequest& request = transport_->requests().back();
    const std::size_t ac = ac_count_, dc = dc_count_;
    switch (request.group << 8 | request.command) {
      case 0x4041:
        return Reply(0x40, Info(flags, static_cast<std::uint8_t>(ac), ac * 3));
      case 0x4043:
      case 0x4044:
        return Reply(0x40, Info(0, static_cast<std::uint8_t>(ac), ac * 3));
      case 0x4141:
        return Reply(0x41, {flags, 1, 2, 3});
      case 0x4143:
      case 0x4144:
        return Reply(0x41, {0, 1, 2});
      case 0x4241:
        return Reply(0x42, Info(flags, static_cast<std::uint8_t>(dc), dc * 3));
      case 0x4244:
        return Reply(0x42, Info(0, static_cast<std::uint8_t>(dc), dc * 3));
      default:
        return Reply(request.group, {9, 9, 9});
    }
  }

  void Setup(std::initializer_list<unsigned int> ac, std::initializer_list<unsigned int> dc) {
    ac_count_ = ac.size();
    dc_count_ = dc.size();
    Configure(SystemConfig(ac, dc));
    for (std::size_t i = 0; i < ac_count_ + dc_count_; ++i) Child(i).block = 3;
    children_.back()->take_all = true;  // the rectifier group consumes its whole INFO
    PassModelCheck();
  }

  std::size_t ac_count_ = 0, dc_count_ = 0;
};

TEST_F(CycleTest, FirstExchangeIsTheModelQueryEvenWithinTwoSeconds) {
  Configure(SystemConfig({1}, {2}));
  bus_->SetLastUpdate(clock_.Now());
  EXPECT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h"}));
  EXPECT_EQ(bus_->PollingStep(), 14);
  // Unanswered, the query is repeated by every call, whatever the time.
  bus_->Reset();
  EXPECT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h"}));
}

TEST_F(CycleTest, AfterTheModelCheckCyclesStartAtMostEveryTwoSeconds) {
  Setup({1}, {2});
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h", "40h/41h:FF"}));
  bus_->Reset();  // the exchange ends now
  clock_.Advance(1);
  EXPECT_FALSE(bus_->RefreshStatus());
  EXPECT_EQ(bus_->TransferWord(), 0u);
  EXPECT_TRUE(transport_->TakeSent().empty());
  clock_.Advance(1);
  EXPECT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/41h:FF"}));
}

TEST_F(CycleTest, FullCycleWhileDataAreNotReady) {
  Setup({1, 2}, {3});
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h", "40h/41h:FF"}));
  bus_->Reset();
  const Sent sent = RunCycle();
  EXPECT_EQ(sent, (Sent{"40h/41h:FF", "40h/43h:FF", "40h/44h:FF", "41h/41h", "41h/43h", "41h/44h",
                        "42h/41h", "42h/44h", "40h/46h", "42h/46h"}));
  EXPECT_EQ(journal_.entries, (std::vector<std::string>{"RoundDone 1", "RoundDone 2",
                                                         "RoundDone 3", "RoundDone 100"}));
  EXPECT_EQ(bus_->PollingStep(), 0);
  EXPECT_TRUE(bus_->DataReady());
  EXPECT_FALSE(controller_->Of(Kind::kReset).empty());
}

TEST_F(CycleTest, ReadyCycleWithQuietFlagsSkipsSwitchAndAlarmRequests) {
  Setup({1}, {2});
  bus_->Reset();
  RunCycle();
  ASSERT_TRUE(bus_->DataReady());
  EXPECT_EQ(RunCycle(0x00), (Sent{"40h/41h:FF", "41h/41h", "42h/41h", "40h/46h", "42h/46h"}));
  // Either flag bit asks for the requests it stands for.
  EXPECT_EQ(RunCycle(0x10), (Sent{"40h/41h:FF", "40h/43h:FF", "41h/41h", "41h/43h", "42h/41h",
                                  "42h/44h", "40h/46h", "42h/46h"}));
  EXPECT_EQ(RunCycle(0x01), (Sent{"40h/41h:FF", "40h/44h:FF", "41h/41h", "41h/44h", "42h/41h",
                                  "42h/44h", "40h/46h", "42h/46h"}));
}

TEST_F(CycleTest, WithoutAcChildrenTheCycleStartsAtTheRectifiers) {
  Setup({}, {2});
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h", "41h/41h"}));
  bus_->Reset();
  EXPECT_EQ(RunCycle(), (Sent{"41h/41h", "41h/43h", "41h/44h", "42h/41h", "42h/44h", "42h/46h"}));
  EXPECT_EQ(RunCycle(), (Sent{"41h/41h", "42h/41h", "42h/46h"}));
}

TEST_F(CycleTest, WithoutDcChildrenTheCycleEndsAfterTheRectifiers) {
  Setup({1}, {});
  bus_->Reset();
  EXPECT_EQ(RunCycle(), (Sent{"40h/41h:FF", "40h/43h:FF", "40h/44h:FF", "41h/41h", "41h/43h",
                              "41h/44h"}));
  EXPECT_EQ(RunCycle(), (Sent{"40h/41h:FF", "41h/41h"}));
  EXPECT_EQ(journal_.entries.back(), "RoundDone 100");
}

TEST_F(CycleTest, ProtocolVersion21GivesTheDcRequestsTheGroupByte) {
  bus_->SetProtocolVersion(0x21);
  Setup({}, {2});
  bus_->Reset();
  EXPECT_EQ(RunCycle(), (Sent{"41h/41h", "41h/43h", "41h/44h", "42h/41h:FF", "42h/44h:FF",
                              "42h/46h"}));
}

TEST_F(CycleTest, EveryReplyPausesTwentyMilliseconds) {
  Setup({1}, {});
  const int before = clock_.pauses();
  Reply(0x40, Info(0, 1, 3));
  EXPECT_EQ(clock_.pauses(), before + 1);
  EXPECT_EQ(clock_.last_pause(), 20000u);
}

// A lost parameter reply must not stall polling: the step's request is repeated.
TEST_F(CycleTest, RefreshRepeatsTheParameterRequests) {
  Setup({1}, {2});
  struct Case {
    std::int32_t step;
    const char* request;
  } cases[] = {{3, "40h/46h"}, {9, "42h/46h"}, {4, "41h/41h"}, {8, "42h/44h"}, {1, "40h/43h:FF"}};
  for (const Case& c : cases) {
    bus_->SetPollingStep(c.step);
    bus_->Reset();
    transport_->TakeSent();
    clock_.Advance(2);
    EXPECT_TRUE(bus_->RefreshStatus());
    EXPECT_EQ(transport_->TakeSent(), (Sent{c.request})) << "step " << c.step;
  }
  bus_->SetPollingStep(12);  // not a step of the cycle: nothing to send
  bus_->Reset();
  clock_.Advance(2);
  EXPECT_TRUE(bus_->RefreshStatus());
  EXPECT_TRUE(transport_->TakeSent().empty());
}

// ---- reply dispatch ---------------------------------------------------------

TEST_F(BusTest, AcBlocksAreHandedOnInListOrder) {
  Configure(SystemConfig({1, 2}, {}));
  PassModelCheck();
  Child(0).block = 3;
  Child(1).block = 2;
  EXPECT_EQ(Reply(0x40, {0x11, 2, 0xA0, 0xA1, 0xA2, 0xB0, 0xB1}), 1);
  ASSERT_EQ(Child(0).calls.size(), 1u);
  EXPECT_EQ(Child(0).calls[0].bytes, (Bytes{0xA0, 0xA1, 0xA2, 0xB0, 0xB1}));
  EXPECT_EQ(Child(1).calls[0].bytes, (Bytes{0xB0, 0xB1}));
  EXPECT_EQ(bus_->AcDataFlag(), 0x11);
}

TEST_F(BusTest, AcUnitCountMismatchResetsWithoutRoundDone) {
  Configure(SystemConfig({1, 2, 3}, {}));
  PassModelCheck();
  transport_->TakeSent();
  controller_->Clear();
  EXPECT_EQ(Reply(0x40, Info(0, 2, 6)), 0);
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "PMBusPower:ProcotolError 100 read ac_number is 2, configured ac_number is 3"}));
  EXPECT_EQ(controller_->Of(Kind::kReset).size(), 1u);
  EXPECT_TRUE(journal_.entries.empty());
  EXPECT_EQ(bus_->PollingStep(), 0);
  EXPECT_TRUE(transport_->TakeSent().empty());
  EXPECT_FALSE(bus_->DataReady());
}

TEST_F(BusTest, AcAnalogReplyOfAnotherGroupResets) {
  Configure(SystemConfig({1}, {}));
  PassModelCheck();
  controller_->Clear();
  EXPECT_EQ(Reply(0x41, Info(0, 1, 3)), 0);
  EXPECT_EQ(controller_->Of(Kind::kReset).size(), 1u);
  EXPECT_TRUE(Logs().empty());
  EXPECT_TRUE(Child(0).calls.empty());
}

TEST_F(BusTest, AcBlocksThatDoNotFillTheReplyAreRejected) {
  Configure(SystemConfig({1}, {}));
  PassModelCheck();
  Child(0).block = 3;
  transport_->TakeSent();
  EXPECT_EQ(Reply(0x40, Info(0, 1, 5)), 1);  // two bytes more than the child consumes
  EXPECT_EQ(Logs().back(), "PMBusPower:ProcotolError 100 parse 40_41 overflow memory boundary");
  EXPECT_EQ(bus_->PollingStep(), 0);
  EXPECT_TRUE(transport_->TakeSent().empty());

  EXPECT_EQ(Reply(0x40, Info(0, 1, 3)), 1);  // a good one goes on
  EXPECT_EQ(bus_->PollingStep(), 1);
  Child(0).block = 1;
  const std::size_t logs = Logs().size();
  EXPECT_EQ(Reply(0x40, Info(0, 1, 3)), 1);
  EXPECT_EQ(Logs().back(), "PMBusPower:ProcotolError 100 parse 40_43 overflow memory boundary");
  EXPECT_EQ(Logs().size(), logs + 1);
  EXPECT_EQ(bus_->PollingStep(), 1);

  bus_->SetPollingStep(2);
  EXPECT_EQ(Reply(0x40, Info(0, 1, 3)), 1);  // alarm replies are rejected silently
  EXPECT_EQ(Logs().size(), logs + 1);
  EXPECT_EQ(bus_->PollingStep(), 2);
}

TEST_F(BusTest, AcSwitchReplyWithoutBlocksCallsNoChild) {
  Configure(SystemConfig({1}, {}));
  PassModelCheck();
  bus_->SetPollingStep(1);
  transport_->TakeSent();
  EXPECT_EQ(Reply(0x40, {0, 1}), 1);
  EXPECT_TRUE(Child(0).calls.empty());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/44h:FF"}));
}

TEST_F(BusTest, ARefusingChildStopsTheWalkAndKeepsTheStep) {
  Configure(SystemConfig({1, 2}, {}));
  PassModelCheck();
  Child(0).block = -1;
  transport_->TakeSent();
  EXPECT_EQ(Reply(0x40, Info(0x10, 2, 6)), 1);
  EXPECT_TRUE(Child(1).calls.empty());
  EXPECT_EQ(bus_->AcDataFlag(), 0x10);  // taken before the refusal, kept
  EXPECT_TRUE(transport_->TakeSent().empty());
}

TEST_F(BusTest, RectifierRepliesMustBeConsumedExactly) {
  Configure(SystemConfig({}, {}));
  PassModelCheck();
  struct Case {
    std::int32_t step;
    const char* line;
  } cases[] = {
      {4, "PMBusPower:ProcotolError 100 parse p41_41 overflow memory boundary"},
      {5, "PMBusPower:ProcotolError 100 parse p41_43 overflow memory boundary"},
      {6, "PMBusPower:ProcotolError 100 parse p41_44 overflow memory boundary"},
  };
  FakeChild& rc = Child(0);
  for (const Case& c : cases) {
    for (int result : {-1, 2, 4}) {  // the reply holds 3 bytes
      bus_->SetPollingStep(c.step);
      rc.results.push_back(result);
      EXPECT_EQ(Reply(0x41, {0x11, 1, 2}), 1);
      EXPECT_EQ(Logs().back(), c.line) << c.step << " " << result;
      EXPECT_EQ(bus_->PollingStep(), c.step);
    }
  }
  bus_->SetPollingStep(4);
  EXPECT_EQ(Reply(0x42, {0x11, 1, 2}), 1);  // another group: dropped before the child
  EXPECT_EQ(rc.calls.size(), 9u);
  EXPECT_EQ(bus_->RcDataFlag(), 0x11);
}

TEST_F(BusTest, DcUnitCountMismatchIsRejectedAndRepeated) {
  Configure(SystemConfig({}, {1, 2, 3}));
  PassModelCheck();
  for (std::int32_t step : {7, 8}) {
    bus_->SetPollingStep(step);
    controller_->Clear();
    EXPECT_EQ(Reply(0x42, Info(0, 2, 6)), 1);
    EXPECT_EQ(Logs(), (std::vector<std::string>{"PMBusPower:ProcotolError 100 read dc_number is 2, "
                                                "configured dc_number is 3"}));
    EXPECT_TRUE(controller_->Of(Kind::kReset).empty());
    EXPECT_EQ(bus_->PollingStep(), step);
  }
  bus_->SetPollingStep(7);
  transport_->TakeSent();
  clock_.Advance(2);
  EXPECT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"42h/41h"}));
}

TEST_F(BusTest, FourDcUnitsStartAtTheCountByte) {
  Configure(SystemConfig({}, {1, 2, 3, 4}));
  PassModelCheck();
  bus_->SetPollingStep(7);
  for (int i = 0; i < 4; ++i) Child(i).block = 2;
  const Bytes info = Info(0, 4, 7);
  EXPECT_EQ(Reply(0x42, info), 1);
  EXPECT_EQ(Child(0).calls[0].bytes, Bytes(info.begin() + 1, info.end()));
  EXPECT_EQ(Child(0).calls[0].length, static_cast<int>(info.size()) - 1);

  bus_->SetPollingStep(8);  // the alarm reply keeps offset 2
  EXPECT_EQ(Reply(0x42, info), 1);
  EXPECT_EQ(Child(0).calls[1].bytes, Bytes(info.begin() + 2, info.end()));
}

TEST_F(BusTest, DcBlocksMayLeaveSpareBytesOrOverrunWithALogLine) {
  Configure(SystemConfig({}, {1}));
  PassModelCheck();
  bus_->SetPollingStep(7);
  Child(0).block = 2;
  EXPECT_EQ(Reply(0x42, Info(0, 1, 5)), 1);  // spare bytes: accepted silently
  EXPECT_TRUE(Logs().empty());
  EXPECT_EQ(bus_->PollingStep(), 8);

  Child(0).results = {9};  // more than the reply holds: logged, still accepted
  EXPECT_EQ(Reply(0x42, Info(0, 1, 5)), 1);
  EXPECT_EQ(Logs().back(), "PMBusPower:ProcotolError 100 parse 42_44 overflow memory boundary");
  EXPECT_EQ(bus_->PollingStep(), 9);

  bus_->SetPollingStep(7);
  Child(0).results = {9};
  EXPECT_EQ(Reply(0x42, Info(0, 1, 5)), 1);
  EXPECT_EQ(Logs().back(), "PMBusPower:ProcotolError 100 parse 42_41 overflow memory boundary");
  EXPECT_EQ(bus_->PollingStep(), 8);
}

TEST_F(BusTest, ParameterRepliesGoWholeToTheRectifierGroup) {
  Configure(SystemConfig({1}, {}));
  PassModelCheck();
  FakeChild& rc = Child(1);
  bus_->SetPollingStep(3);
  rc.results = {30};  // more than the 3 bytes: logged, accepted
  EXPECT_EQ(Reply(0x40, {1, 2, 3}), 1);
  EXPECT_EQ(rc.calls.back().operation, "40_46");
  EXPECT_EQ(rc.calls.back().bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(Logs().back(), "PMBusPower:ProcotolError 100 parse 40_46 overflow memory boundary");
  EXPECT_EQ(bus_->PollingStep(), 9);

  rc.results = {-1};
  EXPECT_EQ(Reply(0x42, {1}), 1);
  EXPECT_EQ(bus_->PollingStep(), 9);
  rc.results = {30};
  EXPECT_EQ(Reply(0x42, {1}), 0);  // the same log text for the DC parameters; cycle ends
  EXPECT_EQ(rc.calls.back().operation, "42_46");
  EXPECT_EQ(Logs().back(), "PMBusPower:ProcotolError 100 parse 40_46 overflow memory boundary");
  EXPECT_EQ(journal_.entries, (std::vector<std::string>{"RoundDone 1", "RoundDone 100"}));
}

TEST_F(BusTest, RepliesOfAnotherGroupAreDropped) {
  Configure(SystemConfig({1}, {2}));
  PassModelCheck();
  struct Case {
    std::int32_t step;
    std::uint8_t wrong_group;
  } cases[] = {{1, 0x41}, {2, 0x42}, {4, 0x40}, {5, 0x42}, {6, 0x40},
               {7, 0x40}, {8, 0x41}, {3, 0x42}, {9, 0x40}};
  for (const Case& c : cases) {
    bus_->SetPollingStep(c.step);
    transport_->TakeSent();
    EXPECT_EQ(Reply(c.wrong_group, Info(0, 1, 3)), 1) << c.step;
    EXPECT_EQ(bus_->PollingStep(), c.step);
    EXPECT_TRUE(transport_->TakeSent().empty());
  }
  for (const auto& child : children_) EXPECT_TRUE(child->calls.empty());
  EXPECT_TRUE(controller_->Of(Kind::kReset).empty());
}

// Replies shorter than the bytes the bus device reads itself are unusable.
TEST_F(BusTest, ShortRepliesAreRefusedAndNoChildSeesANegativeLength) {
  Configure(SystemConfig({1}, {2}));
  PassModelCheck();
  struct Case {
    std::int32_t step;
    std::uint8_t group;
    Bytes info;
  } cases[] = {{2, 0x40, {0}}, {4, 0x41, {}}, {7, 0x42, {0}}, {8, 0x42, {}}, {7, 0x42, {}}};
  for (const Case& c : cases) {
    bus_->SetPollingStep(c.step);
    EXPECT_EQ(Reply(c.group, c.info), 1) << c.step;
    EXPECT_EQ(bus_->PollingStep(), c.step);
  }
  for (const auto& child : children_) EXPECT_TRUE(child->calls.empty());

  bus_->SetPollingStep(0);
  controller_->Clear();
  EXPECT_EQ(Reply(0x40, {0x10}), 0);  // step 0: like a wrong unit count
  EXPECT_EQ(controller_->Of(Kind::kReset).size(), 1u);
  EXPECT_TRUE(Child(0).calls.empty());
}

// ---- model check ------------------------------------------------------------

TEST_F(BusTest, UnknownModelRaisesTheModelAlarmOnce) {
  Configure(SystemConfig({1}, {}));
  ASSERT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(Reply(0x40, ModelField("KORVAN9", ' ')), 1);
  const auto& rules = bus_->PendingRules();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].level, 3);
  EXPECT_EQ(rules[0].id, "device_model");
  EXPECT_EQ(rules[0].code, "70319");
  EXPECT_EQ(rules[0].name, "设备配置检测");
  EXPECT_EQ(rules[0].text, "本驱动类型:korvan 检测型号:KORVAN9");
  EXPECT_TRUE(rules[0].active);
  EXPECT_EQ(rules[0].sequence, 0u);
  EXPECT_EQ(bus_->DetectedModel(), "KORVAN9");
  EXPECT_FALSE(bus_->ModelCheckPending());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h", "40h/41h:FF"}));  // the cycle goes on
}

TEST_F(BusTest, SupportedModelMatchesWhateverItsPadding) {
  for (unsigned char pad : {'\0', ' '}) {
    auto bus = std::make_shared<TestBus>();
    bus->Init(controller_, kBusId, Json::Value());
    ASSERT_TRUE(bus->InitSetting(SystemConfig({}, {})));
    ASSERT_TRUE(bus->RefreshStatus());
    const Bytes record = pmbus_reply::Build(0x20, 1, 0x40, 0, ModelField("KORVAN3", pad));
    EXPECT_EQ(bus->DeliverDecodedReply(record.data(), record.size()), 1);
    EXPECT_TRUE(bus->PendingRules().empty()) << int(pad);
    EXPECT_EQ(bus->DetectedModel(), "KORVAN3");
  }
}

TEST_F(BusTest, AModelTextNeverCarriesNulBytes) {
  Configure(SystemConfig({}, {}));
  ASSERT_TRUE(bus_->RefreshStatus());
  Bytes field = ModelField("KORVAN3");
  field[7] = ' ';
  field[8] = 'X';  // "KORVAN3 X" then NUL padding
  EXPECT_EQ(Reply(0x40, field), 1);
  ASSERT_EQ(bus_->PendingRules().size(), 1u);
  EXPECT_EQ(bus_->PendingRules()[0].text.find('\0'), std::string::npos);
  EXPECT_EQ(bus_->DetectedModel(), "KORVAN3 X");
}

TEST_F(BusTest, ShortOrForeignModelRepliesAreRejectedAndTheQueryRepeated) {
  Configure(SystemConfig({1}, {}));
  ASSERT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(Reply(0x40, Bytes{'K', 'O'}), 1);
  EXPECT_EQ(Reply(0x41, ModelField("KORVAN3")), 1);
  EXPECT_TRUE(bus_->ModelCheckPending());
  EXPECT_TRUE(bus_->PendingRules().empty());
  EXPECT_TRUE(bus_->RefreshStatus());
  EXPECT_EQ(transport_->TakeSent(), (Sent{"40h/51h", "40h/51h"}));
}

TEST_F(BusTest, LoadFromCacheAcceptsAnythingAndKeepsNothing) {
  Configure(SystemConfig({1}, {}));
  const unsigned char blob[] = {1, 2, 3};
  EXPECT_TRUE(bus_->LoadFromCache(blob, 3));
  EXPECT_TRUE(bus_->LoadFromCache(nullptr, -5));
  EXPECT_FALSE(bus_->DataReady());
}

}  // namespace
