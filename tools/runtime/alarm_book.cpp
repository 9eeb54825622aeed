#include "tools/runtime/alarm_book.h"

namespace runtime {

std::vector<AlarmEvent> AlarmBook::Apply(const DeviceKey& device,
                                         const std::vector<rule_value>& rules,
                                         const std::string& time) {
  std::vector<AlarmEvent> changes;
  for (const rule_value& rule : rules) {
    Key key{device, rule.id, rule.text};
    if (!unconfirmed_.empty()) unconfirmed_.erase(key);
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
    Key key{DeviceKey{event.data_id, event.record_type}, event.id, event.text};
    unconfirmed_.insert(key);
    active_[std::move(key)] = event;
  }
}

void AlarmBook::Unconfirm(const std::vector<std::uint32_t>& data_ids) {
  for (const auto& entry : active_) {
    for (std::uint32_t id : data_ids) {
      if (entry.first.device.data_id == id) unconfirmed_.insert(entry.first);
    }
  }
}

std::vector<AlarmEvent> AlarmBook::ClearUnconfirmed(const std::string& time) {
  std::vector<AlarmEvent> clears;
  for (const Key& key : unconfirmed_) {
    auto found = active_.find(key);
    if (found == active_.end()) continue;
    AlarmEvent event = found->second;
    event.raised = false;
    event.time = time;
    clears.push_back(std::move(event));
    active_.erase(found);
  }
  unconfirmed_.clear();
  return clears;
}

std::vector<AlarmEvent> AlarmBook::Active() const {
  std::vector<AlarmEvent> alarms;
  alarms.reserve(active_.size());
  for (const auto& entry : active_) alarms.push_back(entry.second);
  return alarms;
}

}  // namespace runtime
