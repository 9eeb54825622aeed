#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "serving/latest_state.h"
#include "snmp/mib_view.h"

namespace snmp {

// 1.3.6.1.2.1.33: the UPS MIB of RFC 1628.
Oid UpsRoot();

// The well-known alarms of the UPS MIB (upsWellKnownAlarms.N) that a DC
// plant can give, and how they are derived:
enum WellKnownAlarm : std::uint32_t {
  kAlarmOnBattery = 2,            // every AC phase too low or missing (NUT's OB)
  kAlarmLowBattery = 3,           // as NUT's LB
  kAlarmTempBad = 5,              // a battery's temperature is high
  kAlarmInputBad = 6,             // an AC phase voltage or frequency is out of bounds
  kAlarmFuseFailure = 17,         // a battery or load fuse has failed
  kAlarmGeneralFault = 18,        // a rectifier module fault, or an active alarm of
                                  // the plant that no other well-known alarm covers
  kAlarmCommunicationsLost = 20,  // no usable reply from the plant
};

// The well-known alarms present in a system's state.
std::set<std::uint32_t> WellKnownAlarms(const serving::SystemState& state, double low_battery);

// What the UPS MIB remembers between views: the alarm table's rows (with
// their id and the time they came, kept while they stay), the count of
// input line failures and when the plant went on battery. Times are
// hundredths of a second since the agent started (the TimeStamp of the MIB).
class UpsHistory {
 public:
  struct Row {
    std::uint32_t id = 0;
    std::uint32_t alarm = 0;  // WellKnownAlarm
    std::int64_t since = 0;
  };
  // Takes the alarms present at `ticks`.
  void Update(const std::set<std::uint32_t>& present, std::int64_t ticks);
  const std::vector<Row>& Rows() const { return rows_; }
  std::uint64_t InputLineBads() const { return line_bads_; }
  // Seconds on battery at `ticks`: 0 while on line.
  std::int64_t SecondsOnBattery(std::int64_t ticks) const;

 private:
  std::vector<Row> rows_;
  std::uint32_t next_id_ = 1;
  std::uint64_t line_bads_ = 0;
  bool on_battery_ = false;
  std::int64_t on_battery_since_ = 0;
};

struct UpsMibSettings {
  double low_battery = 0;     // volts; as the NUT server's LB
  std::string agent_version;  // upsIdentAgentSoftwareVersion
};

// The UPS MIB's objects for one system (null: the configured system does not
// exist, and only upsIdent says so). While communication is lost, or before
// the first record, no measurement is given: the battery status is unknown
// and the output source other.
MibView UpsMib(const serving::SystemState* state, const UpsHistory& history,
               const UpsMibSettings& settings, std::int64_t ticks);

}  // namespace snmp
