#include "runtime/alarm_book.h"

#include "tools/records/utf8_text.h"

namespace runtime {

std::vector<AlarmEvent> AlarmBook::Apply(const DeviceKey& device,
                                         const std::vector<rule_value>& rules,
                                         const std::function<std::string()>& time) {
  using utf8_text::IsValidUtf8;
  using utf8_text::ValidUtf8;
  std::vector<AlarmEvent> changes;
  std::string stamp;
  for (const rule_value& rule : rules) {
    // Keyed as stored: texts with bytes that are not UTF-8 are stored with
    // U+FFFD, and a restored alarm must meet its rule again. Valid texts,
    // the usual case, are looked up as they are.
    std::string id_repaired, text_repaired;
    std::string_view id = rule.id, text = rule.text;
    if (!IsValidUtf8(id)) id = id_repaired = ValidUtf8(id);
    if (!IsValidUtf8(text)) text = text_repaired = ValidUtf8(text);
    const KeyView view{device.data_id, device.record_type, id, text};
    if (!unconfirmed_.empty()) {
      auto unconfirmed = unconfirmed_.find(view);
      if (unconfirmed != unconfirmed_.end()) unconfirmed_.erase(unconfirmed);
    }
    auto found = active_.find(view);
    const bool was_active = found != active_.end();
    if (rule.active == was_active) continue;

    if (stamp.empty()) stamp = time();
    AlarmEvent event;
    event.raised = rule.active;
    event.time = stamp;
    event.data_id = device.data_id;
    event.record_type = device.record_type;
    event.level = rule.level;
    event.id = std::string(id);
    event.code = ValidUtf8(rule.code);
    event.name = ValidUtf8(rule.name);
    event.text = std::string(text);
    if (rule.active) {
      active_.emplace(Key{device, event.id, event.text}, event);
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
