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
//
// It also counts refusals: replies with return code 0 after which the device
// asked for nothing new, so that the same request goes out again. A unit
// whose count no longer fits the power system refuses every reply of its
// request in this way.
class RequestWatch : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override;
  void ReplyReceived(const unsigned char* record, unsigned int size) override;
  void ReplyHandled(int result) override;
  // A completed cycle: whatever repeated before made progress.
  void CycleCompleted();
  // The device said that a unit count differs from its configuration: that
  // is the configuration's fault, not one that a new device would mend.
  void NoteCountMismatch();
  // Forgets every count, as for a device made anew.
  void Clear();

  struct Refusals {
    std::string request;          // as Repeat's; empty while `times` is 0
    std::uint64_t times = 0;      // refused replies in a row to `request`
    bool count_mismatch = false;  // a count mismatch was logged since the last cycle
  };
  Refusals CurrentRefusals() const;

  struct Repeat {
    std::string request;  // "GGh/CCh", with ":XX.." when it carries INFO
    std::uint64_t times = 0;
  };
  Repeat Current() const;
  // Current().times, without making the request's text.
  std::uint64_t Times() const;

 private:
  std::string LastText() const;  // DescribeRequestText of last_; empty when none

  mutable std::mutex mutex_;
  bool has_last_ = false;
  PMBusRequest last_;
  std::uint64_t times_ = 0;
  bool in_reply_ = false;           // between ReplyReceived and ReplyHandled
  bool counted_reply_ = false;      // that reply has return code 0
  bool sent_during_reply_ = false;  // the device asked for the next step
  std::uint64_t refusals_ = 0;
  bool count_mismatch_ = false;
};

// "GGh/CCh", and ":XX.." for the INFO bytes when there are any.
std::string DescribeRequestText(const PMBusRequest& request);

}  // namespace runtime
