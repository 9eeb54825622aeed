#include "runtime/alarm_book.h"

#include "records/utf8_text.h"
#include "runtime/event_id.h"

namespace runtime {

std::vector<AlarmEvent> AlarmBook::Apply(const DeviceKey& device,
                                         const std::vector<rule_value>& rules,
                                         const std::function<std::string()>& time) {
  using utf8_text::IsValidUtf8;
  using utf8_text::ValidUtf8;
  std::vector<AlarmEvent> changes;
  std::string stamp;
  std::vector<CheckedTexts>& checked = checked_[device];
  if (checked.size() < rules.size()) checked.resize(rules.size());
  for (std::size_t place = 0; place < rules.size(); ++place) {
    const rule_value& rule = rules[place];
    // Keyed as stored: texts with bytes that are not UTF-8 are stored with
    // U+FFFD, and a restored alarm must meet its rule again. Valid texts,
    // the usual case, are looked up as they are.
    std::string id_repaired, text_repaired;
    std::string_view id = rule.id, text = rule.text;
    CheckedTexts& known = checked[place];
    if (rule.id != known.id || rule.text != known.text) {
      const bool valid_id = IsValidUtf8(id);
      const bool valid_text = IsValidUtf8(text);
      if (!valid_id) id = id_repaired = ValidUtf8(id);
      if (!valid_text) text = text_repaired = ValidUtf8(text);
      if (valid_id && valid_text) {
        known.id.assign(rule.id);
        known.text.assign(rule.text);
      }
    }
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
      std::string previous;
      auto cleared = cleared_.find(view);
      if (cleared != cleared_.end()) {
        previous = std::move(cleared->second);
        cleared_.erase(cleared);
      }
      event.event_id = RaiseEventId(system_, event, previous);
      active_.emplace(Key{device, event.id, event.text}, event);
      changes.push_back(std::move(event));
    } else {
      // The clear carries the code, name and level of the rule that ended it.
      AlarmEvent clear = Clear(found, stamp);
      clear.level = event.level;
      clear.code = std::move(event.code);
      clear.name = std::move(event.name);
      changes.push_back(std::move(clear));
    }
  }
  return changes;
}

AlarmEvent AlarmBook::Clear(ActiveMap::iterator found, const std::string& time) {
  AlarmEvent event = found->second;
  event.raised = false;
  event.time = time;
  event.event_id = ClearEventId(system_, event, found->second);
  cleared_[found->first] = event.event_id;
  active_.erase(found);
  return event;
}

void AlarmBook::Restore(const std::vector<AlarmEvent>& last_events) {
  for (const AlarmEvent& event : last_events) {
    Key key{DeviceKey{event.data_id, event.record_type}, event.id, event.text};
    if (!event.raised) {
      active_.erase(key);
      unconfirmed_.erase(key);
      cleared_[std::move(key)] = ChainLink(event);
      continue;
    }
    cleared_.erase(key);
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
    clears.push_back(Clear(found, time));
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

std::string AlarmBook::LastEventId(const DeviceKey& device, std::string_view id,
                                   std::string_view text) const {
  const KeyView view{device.data_id, device.record_type, id, text};
  auto active = active_.find(view);
  if (active != active_.end()) return active->second.event_id;
  auto cleared = cleared_.find(view);
  return cleared == cleared_.end() ? std::string() : cleared->second;
}

}  // namespace runtime
