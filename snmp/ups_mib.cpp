#include "snmp/ups_mib.h"

#include <algorithm>

#include "records/text_parts.h"
#include "serving/power_condition.h"
#include "serving/system_values.h"

namespace snmp {

namespace {

using text_parts::EndsWith;
using text_parts::StartsWith;

const vocabulary::NamedValue* Find(const std::vector<vocabulary::NamedValue>& values,
                                   const std::string& name) {
  for (const vocabulary::NamedValue& value : values) {
    if (value.name == name) return &value;
  }
  return nullptr;
}

// upsBatteryStatus
enum BatteryStatus { kStatusUnknown = 1, kBatteryNormal = 2, kBatteryLow = 3 };
// upsOutputSource
enum OutputSource { kSourceOther = 1, kSourceNormal = 3, kSourceBattery = 5 };

}  // namespace

Oid UpsRoot() {
  return {1, 3, 6, 1, 2, 1, 33};
}

std::set<std::uint32_t> WellKnownAlarms(const serving::SystemState& state, double low_battery) {
  std::set<std::uint32_t> alarms;
  if (state.communication_lost) alarms.insert(kAlarmCommunicationsLost);
  const std::vector<vocabulary::NamedValue> values = serving::SystemValues(state);
  const serving::PowerCondition condition = serving::ConditionOf(values, low_battery);
  if (condition.on_battery()) alarms.insert(kAlarmOnBattery);
  if (condition.low_battery) alarms.insert(kAlarmLowBattery);
  for (const vocabulary::NamedValue& value : values) {
    const std::string& name = value.name;
    const bool set = value.value != 0;
    if (!set) continue;
    if (StartsWith(name, "ac.") && name.find(".channel.") != std::string::npos &&
        EndsWith(name, ".alarm")) {
      alarms.insert(kAlarmInputBad);
    } else if (StartsWith(name, "dc.") && EndsWith(name, ".temperature.high.alarm")) {
      alarms.insert(kAlarmTempBad);
    } else if (StartsWith(name, "dc.") && name.find(".fuse.") != std::string::npos) {
      alarms.insert(kAlarmFuseFailure);
    } else if (StartsWith(name, "rectifier.") && EndsWith(name, ".fault")) {
      alarms.insert(kAlarmGeneralFault);
    }
  }
  if (!state.alarms.empty() && alarms.empty()) alarms.insert(kAlarmGeneralFault);
  return alarms;
}

void UpsHistory::Update(const std::set<std::uint32_t>& present, std::int64_t ticks) {
  rows_.erase(std::remove_if(rows_.begin(), rows_.end(),
                             [&](const Row& row) { return present.count(row.alarm) == 0; }),
              rows_.end());
  for (std::uint32_t alarm : present) {
    const bool known =
        std::any_of(rows_.begin(), rows_.end(), [&](const Row& row) { return row.alarm == alarm; });
    if (!known) rows_.push_back({next_id_++, alarm, ticks});
  }
  const bool on_battery = present.count(kAlarmOnBattery) != 0;
  if (on_battery && !on_battery_) {
    ++line_bads_;
    on_battery_since_ = ticks;
  }
  on_battery_ = on_battery;
}

std::int64_t UpsHistory::SecondsOnBattery(std::int64_t ticks) const {
  return on_battery_ ? (ticks - on_battery_since_) / 100 : 0;
}

MibView UpsMib(const serving::SystemState* state, const UpsHistory& history,
               const UpsMibSettings& settings, std::int64_t ticks) {
  const Oid objects = Join(UpsRoot(), {1});
  auto at = [&](std::initializer_list<std::uint32_t> tail) { return Join(objects, tail); };
  MibView view;
  view.Set(at({1, 1, 0}), MibValue::Text("KORVAN"));
  view.Set(at({1, 2, 0}), MibValue::Text("DC power system"));
  view.Set(at({1, 3, 0}), MibValue::Text(""));
  view.Set(at({1, 4, 0}), MibValue::Text(settings.agent_version));
  view.Set(at({1, 5, 0}), MibValue::Text(state ? state->name : ""));
  view.Set(at({1, 6, 0}), MibValue::Text(""));
  if (state == nullptr) return view;

  const std::vector<vocabulary::NamedValue> values = serving::SystemValues(*state);
  const bool stale = state->communication_lost || values.empty();
  const serving::PowerCondition condition = serving::ConditionOf(values, settings.low_battery);
  auto put = [&](const Oid& oid, const char* name, int scale, bool gauge = false) {
    const vocabulary::NamedValue* value = Find(values, name);
    std::int64_t number = 0;
    if (value == nullptr || !Scaled(value->value, scale, number)) return;
    view.Set(oid, gauge ? MibValue::Gauge(number) : MibValue::Integer(number));
  };

  // upsBattery
  const int status = stale ? kStatusUnknown : condition.low_battery ? kBatteryLow : kBatteryNormal;
  view.Set(at({2, 1, 0}), MibValue::Integer(status));
  view.Set(at({2, 2, 0}), MibValue::Integer(history.SecondsOnBattery(ticks)));
  if (!stale) {
    put(at({2, 5, 0}), "battery.voltage", 10);
    put(at({2, 6, 0}), "battery.current", 10);
    put(at({2, 7, 0}), "dc.1.battery.1.temperature", 1);
  }

  // upsInput: the phases of the first AC unit's first channel.
  view.Set(at({3, 1, 0}), MibValue::Counter(history.InputLineBads()));
  if (!stale) {
    std::uint32_t lines = 0;
    for (std::uint32_t phase = 1; phase <= 3; ++phase) {
      const std::string voltage = "input.L" + std::to_string(phase) + "-N.voltage";
      if (Find(values, voltage) == nullptr) continue;
      lines = phase;
      put(at({3, 3, 1, 2, phase}), "input.frequency", 10);
      put(at({3, 3, 1, 3, phase}), voltage.c_str(), 1);
      put(at({3, 3, 1, 4, phase}), ("input.L" + std::to_string(phase) + ".current").c_str(), 10);
    }
    if (lines > 0) view.Set(at({3, 2, 0}), MibValue::Integer(lines));
  }

  // upsOutput: the DC output as one line.
  const int source = stale || !condition.input_known ? kSourceOther
                     : condition.on_line             ? kSourceNormal
                                                     : kSourceBattery;
  view.Set(at({4, 1, 0}), MibValue::Integer(source));
  if (!stale && Find(values, "output.voltage") != nullptr) {
    view.Set(at({4, 3, 0}), MibValue::Integer(1));
    put(at({4, 4, 1, 2, 1}), "output.voltage", 1);
    put(at({4, 4, 1, 3, 1}), "output.current", 10);
  }

  // upsAlarm
  view.Set(at({6, 1, 0}), MibValue::Gauge(static_cast<std::int64_t>(history.Rows().size())));
  for (const UpsHistory::Row& row : history.Rows()) {
    view.Set(at({6, 2, 1, 2, row.id}), MibValue::Object(at({6, 3, row.alarm})));
    view.Set(at({6, 2, 1, 3, row.id}), MibValue::Ticks(row.since));
  }
  return view;
}

}  // namespace snmp
