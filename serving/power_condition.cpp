#include "serving/power_condition.h"

#include <string>

#include "records/text_parts.h"

namespace serving {

namespace {

using text_parts::EndsWith;
using text_parts::StartsWith;

}  // namespace

PowerCondition ConditionOf(const std::vector<vocabulary::NamedValue>& values, double low_battery) {
  PowerCondition condition;
  const vocabulary::NamedValue* current = nullptr;
  const vocabulary::NamedValue* voltage = nullptr;
  for (const vocabulary::NamedValue& value : values) {
    const std::string& name = value.name;
    if (name == "battery.current") current = &value;
    if (name == "battery.voltage") voltage = &value;
    if (StartsWith(name, "ac.") && name.find(".channel.") != std::string::npos &&
        EndsWith(name, "-N.voltage.alarm")) {
      condition.input_known = true;
      const int code = static_cast<int>(value.value);
      if (code == 0 || code == 2) condition.on_line = true;
    }
    if (StartsWith(name, "dc.") && EndsWith(name, ".output.voltage.alarm") &&
        static_cast<int>(value.value) == 1) {
      condition.low_battery = true;
    }
    if (StartsWith(name, "dc.") && name.find(".lvd.") != std::string::npos && value.value == 1) {
      condition.low_battery = true;
    }
  }
  if (low_battery > 0 && voltage != nullptr && voltage->value < low_battery) {
    condition.low_battery = true;
  }
  condition.discharging = current != nullptr && current->value < 0;
  condition.charging =
      current != nullptr && current->value > 0 && condition.input_known && condition.on_line;
  return condition;
}

}  // namespace serving
