#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "host/rule_value.h"
#include "runtime/alarm_event.h"

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
//
// Every raise and clear gets its stable event id (runtime/event_id.h); the
// book keeps each alarm's last event so that the next one links to it.
class AlarmBook {
 public:
  // `system` names the power system in the event ids.
  explicit AlarmBook(std::string system = std::string()) : system_(std::move(system)) {}

  // Applies a batch; the raises and clears it caused, in rule order, stamped
  // with time(). A batch like the device's last one, when it changes
  // nothing, allocates nothing.
  std::vector<AlarmEvent> Apply(const DeviceKey& device, const std::vector<rule_value>& rules,
                                const std::function<std::string()>& time);
  std::vector<AlarmEvent> Apply(const DeviceKey& device, const std::vector<rule_value>& rules,
                                const std::string& time) {
    return Apply(device, rules, [&time] { return time; });
  }
  // Takes over the last stored event of each alarm. Raises are alarms that
  // were active before a restart, so that they are not raised a second time;
  // they stay unconfirmed until a rule of their device names them again.
  // Clears only link the alarm's next raise to them.
  void Restore(const std::vector<AlarmEvent>& last_events);
  // Every active alarm of the devices with these data ids becomes
  // unconfirmed, as after a restore (the devices were made anew).
  void Unconfirm(const std::vector<std::uint32_t>& data_ids);
  // Clears the active alarms that no rule has named since they became
  // unconfirmed: called when a cycle completed, in which every device passed
  // all its rules. Returns the clears.
  std::vector<AlarmEvent> ClearUnconfirmed(const std::string& time);
  bool HasUnconfirmed() const { return !unconfirmed_.empty(); }

  // Active alarms of every device, in order of device, alarm id and text.
  std::vector<AlarmEvent> Active() const;
  // The event id of the last raise or clear of an alarm; empty when the book
  // has none.
  std::string LastEventId(const DeviceKey& device, std::string_view id,
                          std::string_view text) const;

 private:
  // An alarm: its device, id and text. Keys are compared through views, so
  // that a rule is looked up without copying its texts.
  struct KeyView {
    std::uint32_t data_id;
    int record_type;
    std::string_view id;
    std::string_view text;
    bool operator<(const KeyView& other) const {
      return std::tie(data_id, record_type, id, text) <
             std::tie(other.data_id, other.record_type, other.id, other.text);
    }
  };
  struct Key {
    DeviceKey device;
    std::string id;
    std::string text;
    KeyView View() const { return KeyView{device.data_id, device.record_type, id, text}; }
  };
  struct Less {
    using is_transparent = void;
    static KeyView View(const Key& key) { return key.View(); }
    static const KeyView& View(const KeyView& key) { return key; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return View(a) < View(b);
    }
  };

  using ActiveMap = std::map<Key, AlarmEvent, Less>;

  // Clears the alarm at `found`: its clear, stamped `time`, with its id; the
  // clear's link is kept for the alarm's next raise.
  AlarmEvent Clear(ActiveMap::iterator found, const std::string& time);

  std::string system_;
  // Only active alarms are kept: an absent key is a cleared alarm.
  ActiveMap active_;
  // The link (ChainLink) of the last clear of each alarm that is not active.
  std::map<Key, std::string, Less> cleared_;
  std::set<Key, Less> unconfirmed_;
  // The id and text at each place of each device's batches that were last
  // found valid UTF-8: a rule that names them again, the steady case, is not
  // checked anew. As many places as a device has rules.
  struct CheckedTexts {
    std::string id;
    std::string text;
  };
  std::map<DeviceKey, std::vector<CheckedTexts>> checked_;
};

}  // namespace runtime
