#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "records/vocabulary.h"

namespace mqtt {

// How far a value moves before it is reported again: at least `absolute`
// in its unit, or `percent` of the last reported value's magnitude when
// that is more. Both 0: any change.
struct Deadband {
  double absolute = 0;
  double percent = 0;
  bool operator==(const Deadband& other) const {
    return absolute == other.absolute && percent == other.percent;
  }
};

// The deadband a value of `variable` has unless the settings give one:
// measures by their unit for a 48 V DC plant (0.2 V; 0.5 A or 2 %; 0.1 Hz;
// 1 degC), coarser on the AC side, whose mains wander more (2 V; 1 A or
// 2 %); settings, flags, states and counts: any change.
Deadband DefaultDeadband(const vocabulary::Variable& variable);

// Deadbands as a configuration gives them: {KEY: number | {"absolute": a,
// "percent": p}}, KEY a unit ("V", "A", "Hz", "degC") or a value's name with
// "*" for any unit or item number ("rectifier.*.current",
// "dc.1.output.voltage"). False with `error` for a key or a band that is
// neither; a null `json` gives none.
bool ParseDeadbands(const Json::Value& json, std::map<std::string, Deadband>& deadbands,
                    std::string& error);

struct ReportSettings {
  bool every_cycle = false;  // every record of every cycle, no filtering
  std::chrono::seconds heartbeat{300};
  std::map<std::string, Deadband> deadbands;  // over the defaults
};

// Report by exception: decides which records of the uplink are published.
// A device's record is published when it is the device's first (since the
// start, a reconnection or a loss of communication), when one of its values
// moved beyond its deadband from the value last *published* (so that a slow
// drift is published once it adds up), when a value appears or goes (a
// count changed), when an alarm of the device was raised or cleared, and at
// least every heartbeat. Between two published records every value stayed
// within its deadband of the earlier one. Not thread-safe.
class ReportFilter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ReportFilter(ReportSettings settings);

  // Whether the record of the device with `values` (as ReadingsOf gives
  // them) is published at `now`; if so, it becomes the device's last
  // published one.
  bool Publish(const std::string& system, std::uint32_t data_id, int record_type,
               const std::vector<vocabulary::Reading>& values, Clock::time_point now);
  // The next record of the device `data_id` is published (an alarm of it).
  void Due(const std::string& system, std::uint32_t data_id);
  // The next record of every device of `system` (or of all) is published.
  void Forget(const std::string& system);
  void ForgetAll() { last_.clear(); }

  // The deadband that applies to a value: the settings' for its name, else
  // for the most specific pattern that matches it, else for its unit, else
  // the default.
  Deadband DeadbandOf(const vocabulary::Reading& value);

 private:
  // Values are compared by their place in the record's list: the same
  // variable, unit and item in the same order mean the same names, so that
  // names are made only for a record that is published.
  struct Last {
    std::vector<vocabulary::Reading> values;
    std::vector<Deadband> bands;  // each value's
    Clock::time_point at;
    bool due = false;
  };
  ReportSettings settings_;
  std::map<std::tuple<std::string, std::uint32_t, int>, Last> last_;
  std::unordered_map<std::string, Deadband> by_name_;  // resolved deadbands
};

}  // namespace mqtt
