#pragma once

#include <string>
#include <utility>
#include <vector>

#include "serving/latest_state.h"

namespace nut {

// One power system as a UPS of the NUT protocol.
struct UpsView {
  std::string name;
  std::string description;
  // Communication with the system is lost, or no record came yet: its
  // values are not served (ERR DATA-STALE).
  bool stale = false;
  // Variables in the order LIST VAR gives them: NAME, value as text.
  std::vector<std::pair<std::string, std::string>> variables;

  // The variable's value; null when the UPS has no such variable.
  const std::string* Find(const std::string& variable) const;
};

struct UpsSettings {
  // The battery (DC bus) voltage under which the status says LB; 0: only
  // the plant's own under-voltage alarms do.
  double low_battery = 0;
};

// The status words of ups.status, from the system's values and alarms (the
// condition of serving/power_condition.h, which the SNMP agent's UPS MIB reads
// too):
//   OL       the AC input is present: some channel of an AC unit has a phase
//            whose voltage alarm is normal or too high;
//   OB       every reported AC phase is too low or missing (mains failure);
//   DISCHRG  the batteries' current (battery.current) is negative;
//   CHRG     it is positive while on line;
//   LB       battery.voltage is below the low-battery level, or a DC unit
//            reports its voltage too low or a low-voltage disconnection;
//   ALARM    an alarm is active (ups.alarm lists them);
//   FSD      a upsmon primary has set forced shutdown.
// Without AC records neither OL nor OB is given: what cannot be derived is
// left out.
std::string UpsStatus(const std::vector<vocabulary::NamedValue>& values, bool alarms,
                      bool forced_shutdown, const UpsSettings& settings);

// The UPS of one system's latest state: device.*, driver.*, ups.status,
// ups.alarm, battery.voltage.low when configured, then the vocabulary's
// standard and plant-specific names.
UpsView ViewOf(const serving::SystemState& state, bool forced_shutdown,
               const UpsSettings& settings);

// What LIST UPS and GET UPSDESC say of a system.
std::string UpsDescription(const std::string& name);

// A number as a variable's value: whole numbers without a point, others in
// the shortest form that reads back as the same single-precision float.
std::string NumberText(double value);

}  // namespace nut
