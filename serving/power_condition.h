#pragma once

#include <vector>

#include "records/vocabulary.h"

namespace serving {

// What a UPS-minded client asks of a DC plant, derived from a system's values
// alone. The NUT server's ups.status and the SNMP agent's UPS MIB both read
// it, so the two protocols never disagree.
struct PowerCondition {
  // Some AC phase voltage alarm was reported: without one, neither on line
  // nor on battery can be told.
  bool input_known = false;
  // Some phase has power (its voltage alarm normal or too high).
  bool on_line = false;
  // The batteries' current (battery.current) is negative.
  bool discharging = false;
  // It is positive while on line.
  bool charging = false;
  // battery.voltage is below the low-battery level, or a DC unit reports its
  // voltage too low or a low-voltage disconnection.
  bool low_battery = false;

  // Every reported AC phase is too low or missing: a mains failure.
  bool on_battery() const { return input_known && !on_line; }
};

// `low_battery`: the battery (DC bus) voltage under which the condition is
// low battery; 0: only the plant's own under-voltage alarms say so.
PowerCondition ConditionOf(const std::vector<vocabulary::NamedValue>& values, double low_battery);

}  // namespace serving
