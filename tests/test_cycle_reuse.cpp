// What the units reuse from cycle to cycle: the recycled deferred job, which
// must behave as the lambda it stands for (ownership, copies, dropping), and
// the AC alarm texts, built once per channel count.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "units/ac/korvan_ac.h"
#include "units/common/deferred_job.h"

namespace {

using Kind = RecordingController::Kind;

// A device whose job records what it ran with.
class JobDevice : public KMXVDevice {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return true; }

  // Passes `count` rules named after `cycle` and hands them over.
  void EndCycle(const std::string& cycle, int count, const deferred_job::Bytes& keep = {}) {
    for (int i = 0; i < count; ++i) {
      CheckThresholdBool(2, cycle, "00000", "name", cycle + " rule " + std::to_string(i), false,
                         static_cast<unsigned short>(i + 1));
    }
    deferred_job::HandOver(
        *this, shared_from_this(), pending_rules_,
        [this](const std::vector<rule_value>& rules, const deferred_job::Bytes& kept) {
          DoBatchCheckThreshold(rules);
          SaveDeviceHistory(kept.data(), static_cast<unsigned int>(kept.size()));
        },
        keep.empty() ? nullptr : keep.data(), keep.size());
  }
  std::size_t PendingCapacity() const { return pending_rules_.capacity(); }
};

class DeferredJob : public ::testing::Test {
 protected:
  void SetUp() override { device->Init(controller, 7, Json::Value()); }

  std::vector<std::string> BatchIds(std::size_t batch) const {
    std::vector<std::string> ids;
    const std::vector<RecordingController::Event> batches = controller->Of(Kind::kBatch);
    for (const rule_value& rule : batches.at(batch).rules) ids.push_back(rule.id);
    return ids;
  }

  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<JobDevice> device = std::make_shared<JobDevice>();
};

TEST_F(DeferredJob, RunsTheRulesAndBytesOfItsCycleAndLeavesRoomForTheNext) {
  device->EndCycle("first", 3, {1, 2, 3});
  EXPECT_TRUE(device->PendingRules().empty());
  EXPECT_GE(device->PendingCapacity(), 3u);
  ASSERT_EQ(controller->RunJobs(), 1);
  EXPECT_EQ(BatchIds(0), (std::vector<std::string>{"first", "first", "first"}));
  EXPECT_EQ(controller->Of(Kind::kHistory).at(0).bytes, (deferred_job::Bytes{1, 2, 3}));

  // Recycled lists come back empty: no rule of an earlier cycle reappears.
  for (int cycle = 0; cycle < 3; ++cycle) {
    device->EndCycle("again", 2, {9});
    ASSERT_EQ(controller->RunJobs(), 1);
  }
  EXPECT_EQ(BatchIds(3), (std::vector<std::string>{"again", "again"}));
  EXPECT_EQ(controller->Of(Kind::kHistory).at(3).bytes, (deferred_job::Bytes{9}));
}

TEST_F(DeferredJob, JobsOfSeveralCyclesEachKeepTheirOwn) {
  device->EndCycle("one", 1, {1});
  device->EndCycle("two", 2, {2, 2});
  device->EndCycle("three", 3, {});
  ASSERT_EQ(controller->RunJobs(), 3);
  EXPECT_EQ(BatchIds(0), (std::vector<std::string>{"one"}));
  EXPECT_EQ(BatchIds(1), (std::vector<std::string>{"two", "two"}));
  EXPECT_EQ(BatchIds(2), (std::vector<std::string>{"three", "three", "three"}));
  const auto history = controller->Of(Kind::kHistory);
  EXPECT_EQ(history[0].bytes, (deferred_job::Bytes{1}));
  EXPECT_EQ(history[1].bytes, (deferred_job::Bytes{2, 2}));
  EXPECT_TRUE(history[2].bytes.empty());
}

// The device lives while the host holds its job, run or not, and no longer:
// a host that drops a job unrun must not leak the device.
TEST_F(DeferredJob, TheJobOwnsTheDeviceUntilTheHostDropsIt) {
  std::function<void()> held;
  struct Keeper : RecordingController {
    std::function<void()>* slot;
    void OnCheckThresholdWork(unsigned int, std::function<void()> job) override {
      *slot = std::move(job);
    }
  };
  auto holding = std::make_shared<Keeper>();
  holding->slot = &held;
  device->Init(holding, 7, Json::Value());
  std::weak_ptr<JobDevice> watch = device;

  device->EndCycle("kept", 1);
  device.reset();
  EXPECT_FALSE(watch.expired());
  std::function<void()> copy = held;  // a copy owns the device too
  held();
  held = nullptr;
  EXPECT_FALSE(watch.expired());
  copy();  // runs the same rules once more, as a copied lambda would
  EXPECT_EQ(holding->Of(Kind::kBatch).size(), 2u);
  EXPECT_EQ(holding->Of(Kind::kBatch).at(1).rules.at(0).id, "kept");
  copy = nullptr;
  EXPECT_TRUE(watch.expired());

  // Dropped without running at all.
  auto unrun = std::make_shared<JobDevice>();
  unrun->Init(holding, 8, Json::Value());
  std::weak_ptr<JobDevice> unrun_watch = unrun;
  unrun->EndCycle("dropped", 2);
  unrun.reset();
  EXPECT_FALSE(unrun_watch.expired());
  held = nullptr;
  EXPECT_TRUE(unrun_watch.expired());
  EXPECT_EQ(holding->Of(Kind::kBatch).size(), 2u);
}

// A job may run and be dropped on another thread, even one that has ended:
// its memory then goes back to the heap instead of that thread's spares.
TEST_F(DeferredJob, WorksWhenTheHostRunsJobsOnAnotherThread) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    device->EndCycle("cycle " + std::to_string(cycle), cycle + 1,
                     {static_cast<unsigned char>(cycle)});
    std::thread host([this] { controller->RunJobs(); });
    host.join();
  }
  ASSERT_EQ(controller->Of(Kind::kBatch).size(), 3u);
  EXPECT_EQ(BatchIds(2), (std::vector<std::string>(3, "cycle 2")));
  EXPECT_EQ(controller->Of(Kind::kHistory).at(2).bytes, (deferred_job::Bytes{2}));
}

// The cached texts follow the channel count when a cache restore changes it.
TEST(AcAlarmTexts, FollowTheChannelCount) {
  FrozenClock clock;
  auto controller = std::make_shared<RecordingController>();
  auto ac = std::make_shared<KORVAN_AC>();
  ac->Init(controller, 5, Json::Value());
  // Snapshot blob: 33-byte head (channel count at offset 16), 25 bytes per channel.
  auto restore = [&](unsigned char channels) {
    std::vector<unsigned char> blob(33 + 25 * channels, 0);
    blob[16] = channels;
    ASSERT_TRUE(ac->LoadFromCache(blob.data(), static_cast<int>(blob.size())));
  };
  auto texts = [&] {
    ac->RoundDone();
    controller->RunJobs();
    std::vector<std::string> seen;
    const auto batches = controller->Of(Kind::kBatch);
    for (const rule_value& rule : batches.back().rules) {
      if (rule.id == "AC_0" || rule.id == "AC_12") seen.push_back(rule.text);
    }
    return seen;
  };
  EXPECT_EQ(texts(), (std::vector<std::string>{"其他告警"}));
  restore(3);
  EXPECT_EQ(texts(),
            (std::vector<std::string>{"交流屏1输入线/相电压AB/A", "交流屏2输入线/相电压AB/A",
                                      "交流屏3输入线/相电压AB/A", "其他告警"}));
  EXPECT_EQ(texts().size(), 4u);  // kept for the next cycle
  restore(1);
  EXPECT_EQ(texts(), (std::vector<std::string>{"交流屏1输入线/相电压AB/A", "其他告警"}));
}

}  // namespace
