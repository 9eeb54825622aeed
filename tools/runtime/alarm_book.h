#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "host/rule_value.h"
#include "tools/runtime/alarm_event.h"

namespace runtime {

// Which device passed a batch of rules: its data id and the record type it
// publishes (0 for the bus device). The rectifier group shares the bus
// device's data id, so the id alone does not name a device.
struct DeviceKey {
  std::uint32_t data_id = 0;
  int record_type = 0;
  bool operator<(const DeviceKey& other) const {
    return std::tie(data_id, record_type) < std::tie(other.data_id, other.record_type);
  }
};

// The threshold machinery: the state of every alarm of every device, keyed by
// alarm id and text. A rule whose active flag differs from the stored state
// raises or clears that alarm; a rule that agrees with it changes nothing.
class AlarmBook {
 public:
  // Applies a batch; the raises and clears it caused, in rule order.
  std::vector<AlarmEvent> Apply(const DeviceKey& device, const std::vector<rule_value>& rules,
                                const std::string& time);
  // Takes over alarms that were active before a restart, so that they are
  // not raised a second time.
  void Restore(const std::vector<AlarmEvent>& active);

  // Active alarms of every device, in order of device, alarm id and text.
  std::vector<AlarmEvent> Active() const;

 private:
  struct Key {
    DeviceKey device;
    std::string id;
    std::string text;
    bool operator<(const Key& other) const {
      return std::tie(device, id, text) < std::tie(other.device, other.id, other.text);
    }
  };

  // Only active alarms are kept: an absent key is a cleared alarm.
  std::map<Key, AlarmEvent> active_;
};

}  // namespace runtime
