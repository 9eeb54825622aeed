#include "tools/runtime/alarm_book.h"

namespace runtime {

std::vector<AlarmEvent> AlarmBook::Apply(const DeviceKey& device,
                                         const std::vector<rule_value>& rules,
                                         const std::string& time) {
  std::vector<AlarmEvent> changes;
  for (const rule_value& rule : rules) {
    Key key{device, rule.id, rule.text};
    auto found = active_.find(key);
    const bool was_active = found != active_.end();
    if (rule.active == was_active) continue;

    AlarmEvent event;
    event.raised = rule.active;
    event.time = time;
    event.data_id = device.data_id;
    event.record_type = device.record_type;
    event.level = rule.level;
    event.id = rule.id;
    event.code = rule.code;
    event.name = rule.name;
    event.text = rule.text;
    if (rule.active) {
      active_.emplace(std::move(key), event);
    } else {
      active_.erase(found);
    }
    changes.push_back(std::move(event));
  }
  return changes;
}

void AlarmBook::Restore(const std::vector<AlarmEvent>& active) {
  for (const AlarmEvent& event : active) {
    active_[Key{DeviceKey{event.data_id, event.record_type}, event.id, event.text}] = event;
  }
}

std::vector<AlarmEvent> AlarmBook::Active() const {
  std::vector<AlarmEvent> alarms;
  alarms.reserve(active_.size());
  for (const auto& entry : active_) alarms.push_back(entry.second);
  return alarms;
}

}  // namespace runtime
