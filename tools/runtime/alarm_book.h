#pragma once

#include <cstdint>
#include <map>
#include <set>
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
  // not raised a second time. They stay unconfirmed until a rule of their
  // device names them again.
  void Restore(const std::vector<AlarmEvent>& active);
  // Every active alarm of the devices with these data ids becomes
  // unconfirmed, as after a restore (the devices were made anew).
  void Unconfirm(const std::vector<std::uint32_t>& data_ids);
  // Clears the active alarms that no rule has named since they became
  // unconfirmed: called when a cycle completed, in which every device passed
  // all its rules. Returns the clears.
  std::vector<AlarmEvent> ClearUnconfirmed(const std::string& time);

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
  std::set<Key> unconfirmed_;
};

}  // namespace runtime
