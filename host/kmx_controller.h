#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/host_api.h"
#include "host/rule_value.h"

// The host's observer of its devices. Devices forward what they hand the host
// (log lines, published records, history, alarm rules, deferred jobs) to the
// controller that owns them. The host runtime and the tests implement it.
class KMX_HOST_API KMXController {
 public:
  virtual ~KMXController();

  virtual void OnInfoLog(unsigned int data_id, const std::string& line) = 0;
  virtual bool OnSendSP(unsigned int data_id, int type, const unsigned char* data,
                        unsigned int length, bool delayed) = 0;
  virtual bool OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                                   unsigned int length) = 0;
  // Takes the job; runs it once, now or later, where the controller chooses.
  virtual void OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) = 0;
  // Evaluates a batch of rules; true when an alarm changed.
  virtual bool OnDoBatchCheckThreshold(unsigned int data_id,
                                       const std::vector<rule_value>& rules) = 0;
  // A serial device ended its current exchange.
  virtual void OnReset(unsigned int /*data_id*/) {}
  // A device passed one rule to CheckThresholdBool (it also waits in the
  // device's pending list). For tools that show every host call.
  virtual void OnCheckThresholdBool(unsigned int /*data_id*/, const rule_value& /*rule*/) {}
};
