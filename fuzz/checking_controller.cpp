#include "fuzz/checking_controller.h"

#include <algorithm>
#include <utility>

#include "fuzz/fuzz_check.h"

namespace {

constexpr int kAcType = 5209;
constexpr int kDcType = 5210;
constexpr int kRcType = 5211;

// Count bytes and sizes of the published records.
constexpr std::size_t kAcHead = 33;
constexpr std::size_t kAcChannel = 25;
constexpr std::size_t kAcCountAt = 16;
constexpr std::size_t kDcRecord = 92;
constexpr std::size_t kDcAlertMCountAt = 52;
constexpr std::size_t kDcAlertPCountAt = 73;
constexpr std::size_t kRcRecord = 101;
constexpr std::size_t kRcModule = 12;
constexpr std::size_t kRcCountAt = 93;

bool IsAlarmCode(const std::string& code) {
  if (code.size() != 5) return false;
  for (char digit : code) {
    if (digit < '0' || digit > '9') return false;
  }
  return true;
}

}  // namespace

std::size_t CheckingController::RecordLength(int type, const unsigned char* data,
                                             std::size_t length) {
  switch (type) {
    case kAcType:
      return length > kAcCountAt ? kAcHead + kAcChannel * data[kAcCountAt] : 0;
    case kDcType:
      return kDcRecord;
    case kRcType:
      return length > kRcCountAt ? kRcRecord + kRcModule * data[kRcCountAt] : 0;
    default:
      return 0;
  }
}

void CheckingController::OnInfoLog(unsigned int, const std::string& line) {
  FUZZ_CHECK(!line.empty(), "a log line has text");
  if (line.find("ProcotolError") != std::string::npos) ++protocol_errors_;
}

bool CheckingController::OnSendSP(unsigned int data_id, int type, const unsigned char* data,
                                  unsigned int length, bool delayed) {
  FUZZ_CHECK(data != nullptr, "a published record has bytes");
  FUZZ_CHECK(!delayed, "records are published at once");
  const std::size_t expected = RecordLength(type, data, length);
  FUZZ_CHECK(expected != 0, "a published record has a known type and its count byte");
  FUZZ_CHECK(length == expected, "a published record has its type's length");

  Cycle cycle;
  cycle.bytes.assign(data, data + length);
  switch (type) {
    case kAcType:  // AC_0..AC_10 per channel, AC_12..AC_20 once
      cycle.rules = 11u * data[kAcCountAt] + 9;
      break;
    case kRcType:  // one module fault rule per module
      cycle.rules = data[kRcCountAt];
      break;
    default: {  // two voltage rows; the fuse and user rows when their counts are full
      const bool fuses = data[kDcAlertMCountAt] == 20;
      const bool user = data[kDcAlertPCountAt] == 11;
      cycle.rules = 2 + (fuses ? 20 : 0) + (user ? 11 : 0);
      break;
    }
  }
  cycles_[data_id].push_back(std::move(cycle));
  published_.push_back(Published{data_id, type, std::vector<unsigned char>(data, data + length)});
  return true;
}

bool CheckingController::OnDoBatchCheckThreshold(unsigned int data_id,
                                                 const std::vector<rule_value>& rules) {
  std::deque<Cycle>& cycles = cycles_[data_id];
  FUZZ_CHECK(!cycles.empty() && !cycles.front().batched, "a batch follows its cycle's record");
  Cycle& cycle = cycles.front();
  cycle.batched = true;
  FUZZ_CHECK(rules.size() == cycle.rules, "a batch holds as many rules as its record asks for");
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const rule_value& rule = rules[i];
    FUZZ_CHECK(rule.sequence == i + 1, "the rules of a cycle are numbered 1, 2, 3 ...");
    FUZZ_CHECK(rule.data_id == data_id, "a rule carries its device's data id");
    FUZZ_CHECK(rule.level >= 1 && rule.level <= 3, "a rule's level is 1, 2 or 3");
    FUZZ_CHECK(!rule.id.empty() && !rule.name.empty() && !rule.text.empty(),
               "a rule has an id, a name and a text");
    FUZZ_CHECK(IsAlarmCode(rule.code), "a rule's code is five digits");
  }
  return batch_result_;
}

bool CheckingController::OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                                             unsigned int length) {
  std::deque<Cycle>& cycles = cycles_[data_id];
  FUZZ_CHECK(!cycles.empty() && cycles.front().batched, "history follows its cycle's batch");
  const std::vector<unsigned char>& published = cycles.front().bytes;
  FUZZ_CHECK(data != nullptr && length == published.size() &&
                 std::equal(published.begin(), published.end(), data),
             "history saves the record that its cycle published");
  cycles.pop_front();
  return true;
}

void CheckingController::OnCheckThresholdWork(unsigned int, std::function<void()> job) {
  FUZZ_CHECK(static_cast<bool>(job), "a job can be run");
  jobs_.push_back(std::move(job));
}

void CheckingController::OnReset(unsigned int) {
  ++resets_;
}

void CheckingController::RunJobs() {
  while (!jobs_.empty()) {
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    job();
  }
  for (const auto& entry : cycles_) {
    FUZZ_CHECK(entry.second.empty(), "every cycle's job saved its history");
  }
}

std::vector<CheckingController::Published> CheckingController::TakePublished() {
  std::vector<Published> taken = std::move(published_);
  published_.clear();
  return taken;
}
