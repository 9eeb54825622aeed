#include "nut/ups_view.h"

#include <fmt/format.h>

#include <cmath>
#include <unordered_set>

#include "console/alarm_glossary.h"
#include "serving/power_condition.h"
#include "serving/system_values.h"

#ifndef KORVAN_VERSION
#define KORVAN_VERSION "unknown"
#endif

namespace nut {

const std::string* UpsView::Find(const std::string& variable) const {
  for (const auto& entry : variables) {
    if (entry.first == variable) return &entry.second;
  }
  return nullptr;
}

std::string NumberText(double value) {
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    return fmt::format("{}", static_cast<long long>(value));
  }
  return fmt::format("{}", static_cast<float>(value));
}

std::string UpsStatus(const std::vector<vocabulary::NamedValue>& values, bool alarms,
                      bool forced_shutdown, const UpsSettings& settings) {
  const serving::PowerCondition condition = serving::ConditionOf(values, settings.low_battery);
  std::vector<std::string> words;
  if (forced_shutdown) words.push_back("FSD");
  if (condition.input_known) words.push_back(condition.on_line ? "OL" : "OB");
  if (condition.discharging) words.push_back("DISCHRG");
  if (condition.charging) words.push_back("CHRG");
  if (condition.low_battery) words.push_back("LB");
  if (alarms) words.push_back("ALARM");
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string UpsDescription(const std::string& name) {
  return "KORVAN DC power system " + name;
}

UpsView ViewOf(const serving::SystemState& state, bool forced_shutdown,
               const UpsSettings& settings) {
  UpsView view;
  view.name = state.name;
  view.description = UpsDescription(state.name);
  const std::vector<vocabulary::NamedValue> values = serving::SystemValues(state);
  view.stale = state.communication_lost || values.empty();
  bool has_dc = false;
  for (const serving::DeviceEntry& device : state.devices) has_dc |= device.kind == "dc";
  auto& vars = view.variables;
  vars.emplace_back("device.mfr", "KORVAN");
  vars.emplace_back("device.type", has_dc ? "ups" : "pdu");
  vars.emplace_back("driver.name", "korvan-host");
  vars.emplace_back("driver.version", KORVAN_VERSION);
  std::string glosses;
  for (const auto& entry : state.alarms) {
    const runtime::AlarmEvent& alarm = entry.second;
    std::string gloss = runtime::AlarmGloss(alarm.id, alarm.code, alarm.text);
    if (gloss.empty()) gloss = alarm.text.empty() ? alarm.id : alarm.text;
    glosses += (glosses.empty() ? "" : "; ") + gloss;
  }
  const std::string status = UpsStatus(values, !state.alarms.empty(), forced_shutdown, settings);
  if (!status.empty()) vars.emplace_back("ups.status", status);
  if (!glosses.empty()) vars.emplace_back("ups.alarm", glosses);
  if (settings.low_battery > 0) {
    vars.emplace_back("battery.voltage.low", NumberText(settings.low_battery));
  }
  // The standard names first, then the plant's own, each once.
  std::vector<const vocabulary::NamedValue*> ordered;
  for (const vocabulary::NamedValue& value : values) {
    if (value.variable && value.variable->scope == vocabulary::Scope::kStandard) {
      ordered.push_back(&value);
    }
  }
  for (const vocabulary::NamedValue& value : values) {
    if (!value.variable || value.variable->scope != vocabulary::Scope::kStandard) {
      ordered.push_back(&value);
    }
  }
  std::unordered_set<std::string> seen;
  for (const auto& entry : vars) seen.insert(entry.first);
  for (const vocabulary::NamedValue* value : ordered) {
    if (!std::isfinite(value->value) || !seen.insert(value->name).second) continue;
    vars.emplace_back(value->name, NumberText(value->value));
  }
  return view;
}

}  // namespace nut
