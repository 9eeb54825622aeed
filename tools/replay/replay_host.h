#pragma once

#include <deque>
#include <functional>
#include <memory>

#include "host/kmx_controller.h"
#include "host/pmbus_protocol.h"
#include "tools/replay/event_log.h"

namespace replay {

// The replay's controller: every call a device makes becomes an event.
// Deferred jobs wait until RunJobs.
class ReplayController : public KMXController {
 public:
  ReplayController(EventLog& log, bool batch_result) : log_(log), batch_result_(batch_result) {}

  void OnInfoLog(unsigned int data_id, const std::string& line) override;
  bool OnSendSP(unsigned int data_id, int type, const unsigned char* data, unsigned int length,
                bool delayed) override;
  bool OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                           unsigned int length) override;
  void OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) override;
  bool OnDoBatchCheckThreshold(unsigned int data_id, const std::vector<rule_value>& rules) override;
  void OnReset(unsigned int data_id) override;
  void OnCheckThresholdBool(unsigned int data_id, const rule_value& rule) override;

  // Runs the queued jobs in order, jobs queued meanwhile too; how many ran.
  int RunJobs();

 private:
  EventLog& log_;
  bool batch_result_;
  std::deque<std::function<void()>> jobs_;
};

// The replay's transport: every request becomes an event.
class ReplayTransport : public PMBusTransport {
 public:
  explicit ReplayTransport(EventLog& log) : log_(log) {}
  void SendRequest(const PMBusRequest& request) override;

 private:
  EventLog& log_;
};

}  // namespace replay
