#include "serving/latest_state.h"

#include "records/record_decode.h"
#include "runtime/local_time_text.h"

namespace serving {

namespace {

using Kind = runtime::RuntimeEvent::Kind;

std::tuple<std::uint32_t, int, std::string, std::string> AlarmKey(const runtime::AlarmEvent& a) {
  return {a.data_id, a.record_type, a.id, a.text};
}

void SetAlarms(SystemState& state, const std::vector<runtime::AlarmEvent>& active) {
  state.alarms.clear();
  for (const runtime::AlarmEvent& alarm : active) state.alarms[AlarmKey(alarm)] = alarm;
}

// Adds the device that published a record of a known type, when the list
// lacks it: the bus device makes its children in its first cycle, after the
// list was seeded, and summaries (which list them) may be off.
void NoteDevice(SystemState& state, const runtime::DeviceKey& key) {
  static const std::vector<std::pair<int, const char*>> kKinds{
      {records::kAcSnapshot, "ac"},
      {records::kDcRecord, "dc"},
      {records::kRectifierSnapshot, "rectifiers"}};
  auto rank = [](int type) {
    for (std::size_t i = 0; i < kKinds.size(); ++i) {
      if (kKinds[i].first == type) return i;
    }
    return kKinds.size();
  };
  const std::size_t kind = rank(key.record_type);
  if (kind == kKinds.size()) return;
  for (const DeviceEntry& device : state.devices) {
    if (device.data_id == key.data_id && device.record_type == key.record_type) return;
  }
  const DeviceEntry entry{key.data_id, kKinds[kind].second, key.record_type};
  // In a summary's order: AC units, DC units, rectifier group, by data id.
  auto before = [&](const DeviceEntry& device) {
    return std::make_pair(rank(device.record_type), device.data_id) <
           std::make_pair(kind, entry.data_id);
  };
  auto at = state.devices.begin();
  while (at != state.devices.end() && before(*at)) ++at;
  state.devices.insert(at, entry);
}

// When the event was published; now for one made without the stream.
std::chrono::steady_clock::time_point Published(const runtime::RuntimeEvent& event) {
  return event.published == std::chrono::steady_clock::time_point{}
             ? std::chrono::steady_clock::now()
             : event.published;
}

}  // namespace

std::vector<DeviceEntry> DevicesOf(const runtime::SystemSummary& summary) {
  std::vector<DeviceEntry> devices;
  int place = 0;
  for (const runtime::UnitSummary& unit : summary.ac_units) {
    devices.push_back({unit.data_id, "ac", records::kAcSnapshot, ++place});
  }
  place = 0;
  for (const runtime::UnitSummary& unit : summary.dc_units) {
    devices.push_back({unit.data_id, "dc", records::kDcRecord, ++place});
  }
  if (summary.rectifiers.present) {
    devices.push_back({summary.rectifiers.data_id, "rectifiers", records::kRectifierSnapshot, 1});
  }
  return devices;
}

void LatestState::Seed(const runtime::SystemSummary& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  SystemState* state = Find(summary.system);
  if (state == nullptr) {
    systems_.emplace_back();
    state = &systems_.back();
    state->name = summary.system;
  }
  state->data_id = summary.data_id;
  state->devices = DevicesOf(summary);
  SetAlarms(*state, summary.alarms);
  state->line = summary.line;
  state->communication_lost = summary.communication_lost;
}

bool LatestState::Wants(Kind kind) const {
  switch (kind) {
    case Kind::kRecordPublished:
    case Kind::kAlarm:
    case Kind::kCommunication:
    case Kind::kCycleCompleted:
    case Kind::kLineHealth:
    case Kind::kSummary:
      return true;
    default:
      return false;
  }
}

void LatestState::OnEvent(const runtime::RuntimeEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  SystemState* state = Find(event.system);
  if (state == nullptr) return;
  switch (event.kind) {
    case Kind::kRecordPublished:
      if (event.record) {
        NoteDevice(*state, event.device);
        state->records[event.device] = {event.record, runtime::LocalTimeText(event.time),
                                        Published(event), event.unit};
      }
      return;
    case Kind::kAlarm:
      if (event.alarm.raised) {
        state->alarms[AlarmKey(event.alarm)] = event.alarm;
      } else {
        state->alarms.erase(AlarmKey(event.alarm));
      }
      return;
    case Kind::kCommunication:
      state->communication_lost = !event.ok;
      state->lost_since = event.ok ? "" : runtime::LocalTimeText(event.time);
      return;
    case Kind::kCycleCompleted:
      state->last_cycle = runtime::LocalTimeText(event.time);
      state->last_cycle_received = Published(event);
      return;
    case Kind::kLineHealth:
      state->line = event.line;
      return;
    case Kind::kSummary:
      // A summary lists the alarms and devices as the system holds them.
      if (event.summary) {
        state->devices = DevicesOf(*event.summary);
        SetAlarms(*state, event.summary->alarms);
      }
      return;
    default:
      return;
  }
}

std::optional<SystemState> LatestState::System(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const SystemState& state : systems_) {
    if (state.name == name) return state;
  }
  return std::nullopt;
}

std::vector<SystemState> LatestState::Systems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return systems_;
}

SystemState* LatestState::Find(const std::string& name) {
  for (SystemState& state : systems_) {
    if (state.name == name) return &state;
  }
  return nullptr;
}

}  // namespace serving
