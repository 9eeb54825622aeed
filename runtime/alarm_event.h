#pragma once

#include <cstdint>
#include <string>

namespace runtime {

// One raise or clear of an alarm, as printed and stored.
struct AlarmEvent {
  bool raised = false;  // false: cleared
  std::string time;     // local time, "YYYY-MM-DD HH:MM:SS"
  std::uint32_t data_id = 0;
  int record_type = 0;  // of the device that passed the rule; 0 for the bus device
  int level = 0;
  std::string id;  // alarm id, e.g. "RC_0"
  std::string code;
  std::string name;
  std::string text;
  // Stable id of this raise or clear (runtime/event_id.h): the same when a
  // restart raises or clears the same transition again. Empty for events
  // stored by versions that did not give one.
  std::string event_id;
};

}  // namespace runtime
