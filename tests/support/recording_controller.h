#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "host/kmx_controller.h"

// A controller that keeps every call its devices make, in order.
// Jobs handed to CheckThresholdWork are queued until RunJobs().
class RecordingController : public KMXController {
 public:
  enum class Kind { kLog, kPublish, kHistory, kJob, kBatch, kReset };

  struct Event {
    explicit Event(Kind of) : kind(of) {}
    Kind kind;
    unsigned int data_id = 0;
    std::string line;                  // kLog
    int type = 0;                      // kPublish
    bool delayed = false;              // kPublish
    std::vector<unsigned char> bytes;  // kPublish, kHistory
    std::vector<rule_value> rules;     // kBatch
  };

  void OnInfoLog(unsigned int data_id, const std::string& line) override;
  bool OnSendSP(unsigned int data_id, int type, const unsigned char* data, unsigned int length,
                bool delayed) override;
  bool OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                           unsigned int length) override;
  void OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) override;
  bool OnDoBatchCheckThreshold(unsigned int data_id, const std::vector<rule_value>& rules) override;
  void OnReset(unsigned int data_id) override;

  // Runs the queued jobs in order (jobs queued meanwhile run too); returns how many ran.
  int RunJobs();
  std::size_t QueuedJobs() const { return jobs_.size(); }

  const std::vector<Event>& events() const { return events_; }
  std::vector<Event> Of(Kind kind) const;
  std::vector<std::string> LogLines() const;
  void Clear() { events_.clear(); }

  // What OnDoBatchCheckThreshold answers.
  bool batch_result = false;

 private:
  std::vector<Event> events_;
  std::deque<std::function<void()>> jobs_;
};
