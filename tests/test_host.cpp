// The stand-in host: log formatting, rules, records, stamps and the exchange rule.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "host/kmx_spdevice.h"
#include "host/kmx_vdevice_rules.h"
#include "host/pmbus_protocol.h"
#include "host/ttime.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "tests/support/scripted_transport.h"

namespace {

using boost::posix_time::time_from_string;
using Kind = RecordingController::Kind;

// A serial device with no behaviour of its own.
class PlainDevice : public KMXSPDevice {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
};

// A frame-layer device that counts its payloads and answers with `result`.
class CountingProtocol : public PMBusProtocol {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  int process_payload() override {
    ++payloads;
    last_group = reply_[pmbus_reply::kGroupOffset];
    return result;
  }
  int payloads = 0;
  int result = 1;
  unsigned char last_group = 0;
};

struct BoundDevice {
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<PlainDevice> device = std::make_shared<PlainDevice>();
  BoundDevice(unsigned int id = 7) { device->Init(controller, id, Json::Value()); }
};

TEST(InfoLog, FillsPlaceholdersWithDecimalNumbers) {
  BoundDevice bound(42);
  const std::uint8_t count = 200;
  const std::int32_t consumed = -1;
  bound.device->InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", 42u, count,
                        static_cast<std::uint8_t>(0));
  bound.device->InfoLog("overflow {} - {}", consumed, 17);
  const auto lines = bound.controller->LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "PMBusPowerAC:ProcotolError 42 read 40_41 p is 200 not 0");
  EXPECT_EQ(lines[1], "overflow -1 - 17");
  EXPECT_EQ(bound.controller->events()[0].data_id, 42u);
}

TEST(InfoLog, PassesTextWithoutPlaceholdersUnchanged) {
  BoundDevice bound;
  bound.device->InfoLog("ProcotolError %u read 40_43 m is %d max %d", 7u, 3, 0);
  bound.device->InfoLog("a {} with too few {} values", 1);
  bound.device->InfoLog("unbalanced { brace", 1);
  const auto lines = bound.controller->LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "ProcotolError %u read 40_43 m is %d max %d");
  EXPECT_EQ(lines[1], "a {} with too few {} values");
  EXPECT_EQ(lines[2], "unbalanced { brace");
}

TEST(InfoLog, ReachesTheControllerOnlyWhileItLives) {
  auto device = std::make_shared<PlainDevice>();
  device->InfoLog("before any controller {}", 1);  // must not crash
  auto controller = std::make_shared<RecordingController>();
  device->Init(controller, 1, Json::Value());
  std::weak_ptr<RecordingController> watch = controller;
  device->InfoLog("seen {}", 1);
  EXPECT_EQ(controller->LogLines().size(), 1u);
  controller.reset();
  EXPECT_TRUE(watch.expired());
  device->InfoLog("lost {}", 2);  // the weak reference no longer locks
}

TEST(InitV, ChildReachesTheParentsController) {
  BoundDevice parent(5);
  PlainDevice child;
  EXPECT_TRUE(child.InitV(parent.device.get(), 11, Json::Value()));
  EXPECT_EQ(child.DataId(), 11u);
  EXPECT_EQ(child.Parent(), parent.device.get());
  child.InfoLog("child {}", child.DataId());
  ASSERT_EQ(parent.controller->events().size(), 1u);
  EXPECT_EQ(parent.controller->events()[0].data_id, 11u);
}

TEST(Rules, CheckThresholdBoolAppendsInOrderAndBatchForwards) {
  BoundDevice bound(9);
  bound.device->CheckThresholdBool(3, "AC_0", "06015", "name0", "text0", true, 1);
  bound.device->CheckThresholdBool(2, "AC_4", "06014", "name1", "text1", false, 2);
  const auto& rules = bound.device->PendingRules();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].level, 3);
  EXPECT_EQ(rules[0].id, "AC_0");
  EXPECT_EQ(rules[0].code, "06015");
  EXPECT_EQ(rules[0].name, "name0");
  EXPECT_EQ(rules[0].text, "text0");
  EXPECT_TRUE(rules[0].active);
  EXPECT_EQ(rules[0].sequence, 1u);
  EXPECT_EQ(rules[0].data_id, 9u);
  EXPECT_FALSE(rules[1].active);

  bound.controller->batch_result = true;
  std::vector<rule_value> taken = bound.device->TakePendingRules();
  EXPECT_TRUE(bound.device->PendingRules().empty());
  EXPECT_TRUE(bound.device->DoBatchCheckThreshold(taken));
  const auto batches = bound.controller->Of(Kind::kBatch);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].rules.size(), 2u);
}

// A device that hands its pending list away at the end of each cycle, as
// the units do, and a controller that also keeps the rules it is shown.
class HandingDevice : public PlainDevice {
 public:
  void Pass(const std::string& name, const std::string& text, bool active, unsigned short seq) {
    CheckThresholdBool(2, "AC_" + std::to_string(seq), "06015", name, text, active, seq);
  }
  std::vector<rule_value> HandOver() {
    std::vector<rule_value> list;
    list.swap(pending_rules_);
    return list;
  }
};

struct ShowingController : RecordingController {
  void OnCheckThresholdBool(unsigned int, const rule_value& rule) override {
    shown.push_back(rule);
  }
  std::vector<rule_value> shown;
};

auto Fields(const rule_value& r) {
  return std::tie(r.active, r.id, r.code, r.level, r.sequence, r.name, r.text, r.data_id);
}

void ExpectSameRules(const std::vector<rule_value>& seen, const std::vector<rule_value>& expected) {
  ASSERT_EQ(seen.size(), expected.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_TRUE(Fields(seen[i]) == Fields(expected[i])) << i << ": " << seen[i].text;
  }
}

// The host keeps one copy of each rule's texts and compares what a device
// passes with it: a changed text must still be noticed, and each handed-over
// list (or a copy of it) must give the texts of its own cycle, whenever it runs.
TEST(Rules, ChangedTextsAreNoticedAndEachCycleKeepsItsOwn) {
  auto controller = std::make_shared<ShowingController>();
  auto device = std::make_shared<HandingDevice>();
  device->Init(controller, 9, Json::Value());
  auto cycle = [&](const std::vector<std::pair<std::string, bool>>& texts) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      device->Pass("交流输入电压过高告警", texts[i].first, texts[i].second,
                   static_cast<unsigned short>(i + 1));
    }
    std::vector<rule_value> whole = device->PendingRules();
    return std::make_pair(device->HandOver(), whole);
  };
  const auto first = cycle({{"交流屏1输入线/相电压AB/A", true}, {"其他告警", false}});
  const auto second = cycle({{"交流屏1输入线/相电压AB/B", true}, {"其他告警", true}});
  const auto third = cycle({{"交流屏1输入线/相电压AB/A", false}, {"其他告警", false}, {"", true}});
  EXPECT_EQ(first.second.at(0).text, "交流屏1输入线/相电压AB/A");
  EXPECT_EQ(second.second.at(0).text, "交流屏1输入线/相电压AB/B");
  EXPECT_TRUE(second.second.at(1).active);
  EXPECT_EQ(third.second.at(2).id, "AC_3");
  ExpectSameRules(controller->shown, [&] {
    std::vector<rule_value> all = first.second;
    all.insert(all.end(), second.second.begin(), second.second.end());
    all.insert(all.end(), third.second.begin(), third.second.end());
    return all;
  }());

  // Out of order, and a copy of a list, as a copied job would run it.
  const std::vector<rule_value> copy = second.first;
  for (const auto* list : {&second.first, &third.first, &first.first, &copy}) {
    device->DoBatchCheckThreshold(*list);
  }
  const auto batches = controller->Of(Kind::kBatch);
  ASSERT_EQ(batches.size(), 4u);
  ExpectSameRules(batches[0].rules, second.second);
  ExpectSameRules(batches[1].rules, third.second);
  ExpectSameRules(batches[2].rules, first.second);
  ExpectSameRules(batches[3].rules, second.second);

  // A shorter list than the last cycle's, looked at while it is filled.
  device->Pass("name", "短", true, 1);
  ExpectSameRules(device->PendingRules(), {controller->shown.back()});
  ExpectSameRules(device->TakePendingRules(), {controller->shown.back()});
  EXPECT_TRUE(device->PendingRules().empty());
}

// A device whose texts never repeat fills the host's store of texts; past
// it, its rules are passed whole, and the earlier lists still resolve.
TEST(Rules, TextsBeyondTheStoredOnesArePassedWhole) {
  BoundDevice bound;
  auto device = std::make_shared<HandingDevice>();
  device->Init(bound.controller, 9, Json::Value());
  const std::size_t cycles = RuleBook::kMaxTexts + 5;
  std::vector<std::vector<rule_value>> lists;
  for (std::size_t i = 0; i < cycles; ++i) {
    device->Pass("name", "检测型号:KORVAN" + std::to_string(i), i % 2 == 0, 1);
    lists.push_back(device->HandOver());
  }
  for (std::size_t i : {std::size_t{0}, RuleBook::kMaxTexts - 1, cycles - 1}) {
    device->DoBatchCheckThreshold(lists[i]);
    const rule_value rule = bound.controller->Of(Kind::kBatch).back().rules.at(0);
    EXPECT_EQ(rule.text, "检测型号:KORVAN" + std::to_string(i));
    EXPECT_EQ(rule.name, "name");
    EXPECT_EQ(rule.active, i % 2 == 0);
  }
}

TEST(Rules, JobsRunOnceWhereTheControllerRunsThem) {
  BoundDevice bound;
  int runs = 0;
  bound.device->CheckThresholdWork([&runs] { ++runs; });
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(bound.controller->RunJobs(), 1);
  EXPECT_EQ(bound.controller->RunJobs(), 0);
  EXPECT_EQ(runs, 1);

  PlainDevice unbound;  // no controller: the job still runs once, at once
  unbound.CheckThresholdWork([&runs] { ++runs; });
  EXPECT_EQ(runs, 2);
}

TEST(Records, SendSPPublishesAndKeepsTheLastRecordPerType) {
  BoundDevice bound(3);
  const unsigned char first[] = {1, 2, 3};
  const unsigned char second[] = {4, 5};
  EXPECT_TRUE(bound.device->SendSP(5209, first, 3, false));
  EXPECT_TRUE(bound.device->SendSP(5209, second, 2, false));
  const auto published = bound.controller->Of(Kind::kPublish);
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[1].type, 5209);
  EXPECT_EQ(published[1].bytes, (std::vector<unsigned char>{4, 5}));

  unsigned char out[4] = {};
  EXPECT_EQ(bound.device->Get_SP_Value(5209, out, sizeof out), 2);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(bound.device->Get_SP_Value(5210, out, sizeof out), -1);
  EXPECT_EQ(bound.device->Get_SP_Value(5209, out, 1), -1);

  EXPECT_TRUE(bound.device->SaveDeviceHistory(first, 3));
  EXPECT_EQ(bound.controller->Of(Kind::kHistory).at(0).bytes.size(), 3u);
}

TEST(Defaults, BaseDeviceAnswersAsTheFrameworkDoes) {
  PlainDevice device;
  try {
    device.Get_Value(0, "anything");
    FAIL() << "Get_Value must throw";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "数据未就绪");
  }
  EXPECT_EQ(device.GetChildVDevice(1), nullptr);
  EXPECT_TRUE(device.GetAllChildVDevices().empty());
  EXPECT_FALSE(device.DataReady());
  EXPECT_EQ(device.LastUpdate(), time_from_string("1970-01-01 00:00:00"));
}

TEST(Stamp, SevenBytesOfLocalTime) {
  const ttime stamp = get_ttime(time_from_string("2026-12-08 13:04:59"));
  const unsigned char expected[7] = {0xEA, 0x07, 12, 8, 13, 4, 59};  // 2026 = 07EAh
  EXPECT_EQ(std::vector<unsigned char>(stamp.bytes, stamp.bytes + 7),
            std::vector<unsigned char>(expected, expected + 7));
  const ttime none = get_ttime(boost::posix_time::ptime());
  for (unsigned char byte : none.bytes) EXPECT_EQ(byte, 0);
}

TEST(Exchange, OneRequestOutstandingUntilReplyOrTimeOut) {
  auto controller = std::make_shared<RecordingController>();
  auto device = std::make_shared<CountingProtocol>();
  auto transport = std::make_shared<ScriptedTransport>();
  device->Init(controller, 1, Json::Value());
  device->AttachTransport(transport);
  Json::Value config(Json::objectValue);
  config["timeout_ms"] = 300;  // the checks before it ends must fit in it, even emulated
  ASSERT_TRUE(device->InitSetting(config));

  EXPECT_TRUE(device->RefreshStatus());
  const unsigned char info = 0xFF;
  device->write_pmbus_cmd(0x40, 0x41, &info, 1);
  ASSERT_EQ(transport->TakeSent(), (std::vector<std::string>{"40h/41h:FF"}));
  EXPECT_EQ(transport->requests()[0].version, 0x20);
  EXPECT_EQ(transport->requests()[0].address, 1);
  EXPECT_TRUE(device->IsProcessing());
  EXPECT_FALSE(device->RefreshStatus());

  const auto reply = pmbus_reply::Build(0x20, 1, 0x40, 0, {0x00, 0x01});
  EXPECT_EQ(device->DeliverDecodedReply(reply.data(), reply.size()), 1);
  EXPECT_EQ(device->payloads, 1);
  EXPECT_EQ(device->last_group, 0x40);
  EXPECT_FALSE(device->IsProcessing());
  EXPECT_TRUE(device->RefreshStatus());

  device->write_pmbus_cmd(0x41, 0x41);
  EXPECT_FALSE(device->RefreshStatus());
  std::this_thread::sleep_for(std::chrono::milliseconds(330));
  EXPECT_TRUE(device->IsStalled());
  EXPECT_TRUE(device->RefreshStatus());  // lost: polling may go on
  EXPECT_EQ(device->LostReplies(), 1u);
}

TEST(Exchange, MalformedRecordsAndErrorCodesNeverReachThePayload) {
  auto controller = std::make_shared<RecordingController>();
  auto device = std::make_shared<CountingProtocol>();
  device->Init(controller, 1, Json::Value());
  const unsigned char short_record[] = {0x20, 1, 0x40};
  EXPECT_EQ(device->DeliverDecodedReply(short_record, sizeof short_record), -1);
  auto lying = pmbus_reply::Build(0x20, 1, 0x40, 0, {1, 2});
  lying[4] = 6;  // announces 3 INFO bytes, holds 2
  EXPECT_EQ(device->DeliverDecodedReply(lying.data(), lying.size()), -1);
  const auto refused = pmbus_reply::Build(0x20, 1, 0x40, 0x04, {});
  EXPECT_EQ(device->DeliverDecodedReply(refused.data(), refused.size()), 1);
  EXPECT_EQ(device->payloads, 0);
  const auto lines = controller->LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[2].find("return code 04h"), std::string::npos);
}

TEST(Exchange, DataReadyOnceACycleEndsOutsideTheFirstStep) {
  auto device = std::make_shared<CountingProtocol>();
  const auto reply = pmbus_reply::Build(0x20, 1, 0x42, 0, {});
  device->result = 0;
  device->SetPollingStep(0);  // the first AC reply resets: not a completed cycle
  device->DeliverDecodedReply(reply.data(), reply.size());
  EXPECT_FALSE(device->DataReady());
  device->SetPollingStep(9);
  device->DeliverDecodedReply(reply.data(), reply.size());
  EXPECT_TRUE(device->DataReady());
}

TEST(Settings, FrameLayerRefusesBadAddressAndTimeOut) {
  CountingProtocol device;
  Json::Value config(Json::objectValue);
  EXPECT_TRUE(device.InitSetting(config));
  EXPECT_EQ(device.Address(), 1);
  config["address"] = 3;
  EXPECT_TRUE(device.InitSetting(config));
  EXPECT_EQ(device.Address(), 3);
  config["address"] = 256;
  EXPECT_FALSE(device.InitSetting(config));
  config["address"] = "1";
  EXPECT_FALSE(device.InitSetting(config));
  config["address"] = 1;
  config["timeout_ms"] = 0;
  EXPECT_FALSE(device.InitSetting(config));
  EXPECT_FALSE(device.InitSetting(Json::Value("not an object")));
}

TEST(Reset, EndsTheExchangeAndRenewsTheLastUpdate) {
  FrozenClock clock;
  auto controller = std::make_shared<RecordingController>();
  auto device = std::make_shared<CountingProtocol>();
  device->Init(controller, 4, Json::Value());
  device->write_pmbus_cmd(0x40, 0x51);
  EXPECT_TRUE(device->IsProcessing());
  device->Reset();
  EXPECT_FALSE(device->IsProcessing());
  EXPECT_EQ(device->LastUpdate(), clock.Now());
  EXPECT_EQ(controller->Of(Kind::kReset).size(), 1u);
}

}  // namespace
