#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/pmbus_protocol.h"

namespace runtime {

// Watches the requests of a bus device and counts how often the same request
// went out in a row without a polling cycle completing in between: a reply
// that is rejected every time (a misconfigured unit count) or never comes
// shows as one request repeated.
class RequestWatch : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override;
  // A completed cycle: whatever repeated before made progress.
  void CycleCompleted();

  struct Repeat {
    std::string request;  // "GGh/CCh", with ":XX.." when it carries INFO
    std::uint64_t times = 0;
  };
  Repeat Current() const;

 private:
  mutable std::mutex mutex_;
  std::string last_;
  std::uint64_t times_ = 0;
};

// "GGh/CCh", and ":XX.." for the INFO bytes when there are any.
std::string DescribeRequestText(const PMBusRequest& request);

}  // namespace runtime
