#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/alarm_event.h"
#include "serving/latest_state.h"
#include "snmp/mib_view.h"

namespace snmp {

// The default enterprise number: the one reserved for documentation, until
// the maker's own is assigned. KORVAN-POWER-MIB is rooted at it.
constexpr std::uint32_t kDefaultEnterprise = 32473;

// 1.3.6.1.4.1.ENTERPRISE: the root of KORVAN-POWER-MIB.
Oid KorvanRoot(std::uint32_t enterprise);

// The rows of the active-alarm table keep their number while they are
// active: numbers are given in the order alarms are raised, from 1, and
// never given twice in a process.
class AlarmNumbers {
 public:
  using Key = std::tuple<std::string, std::uint32_t, int, std::string, std::string>;
  static Key KeyOf(const std::string& system, const runtime::AlarmEvent& alarm);

  // The alarm's number, given now when it has none.
  std::uint32_t Number(const Key& key);
  // The cleared alarm's number (given now if it had none), which is freed.
  std::uint32_t Release(const Key& key);

 private:
  std::map<Key, std::uint32_t> numbers_;
  std::uint32_t next_ = 1;
};

struct AlarmRow {
  std::uint32_t number = 0;
  std::string system;
  runtime::AlarmEvent alarm;
};

// The objects of KORVAN-POWER-MIB for `systems` (numbered by their place,
// from 1) and the active `alarms`, as at `now`. The MIB file states every
// table, column and unit.
MibView KorvanMib(const Oid& root, const std::vector<serving::SystemState>& systems,
                  const std::vector<AlarmRow>& alarms, std::chrono::steady_clock::time_point now);

// A notification's variables after sysUpTime.0: snmpTrapOID.0, then the
// objects the notification names.
using VarBinds = std::vector<std::pair<Oid, MibValue>>;

// korvanAlarmRaised or korvanAlarmCleared of alarm row `row`.
VarBinds AlarmNotification(const Oid& root, const AlarmRow& row);
// korvanCommunicationLost (`ok` false) or korvanCommunicationRestored of the
// system at place `system_index`.
VarBinds CommunicationNotification(const Oid& root, std::uint32_t system_index,
                                   const std::string& system, bool ok, const std::string& text,
                                   const std::string& event_id);

}  // namespace snmp
