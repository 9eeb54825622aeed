#include "snmp/korvan_mib.h"

#include <cctype>

#include "console/alarm_glossary.h"
#include "records/text_parts.h"
#include "serving/system_values.h"

namespace snmp {

namespace {

// Tables of the MIB (korvanObjects.N) and their entry (.1).
enum Table : std::uint32_t {
  kSystemTable = 1,
  kAcTable = 2,
  kAcChannelTable = 3,
  kDcTable = 4,
  kBatteryTable = 5,
  kRectifierTable = 6,
  kAlarmTable = 7,
  kLoadFuseTable = 8,
  kNotifyObjects = 9,
};

// A column filled from a vocabulary name. {u} (the unit's place) and {n}
// (the item's number) become the row's index after the system's place, in
// that order; `scale` gives the column's integer unit (10: tenths).
struct Column {
  Table table;
  std::uint32_t column;
  const char* pattern;
  int scale;
  MibValue::Type type;
};

constexpr MibValue::Type kInt = MibValue::Type::kInteger;
constexpr MibValue::Type kGauge = MibValue::Type::kGauge;

// The layout of the value columns; KORVAN-POWER-MIB states the same.
const Column kColumns[] = {
    {kSystemTable, 6, "rectifier.output.voltage", 10, kInt},
    {kSystemTable, 7, "rectifier.count", 1, kGauge},
    {kAcTable, 2, "ac.{u}.L1.current", 10, kInt},
    {kAcTable, 3, "ac.{u}.L2.current", 10, kInt},
    {kAcTable, 4, "ac.{u}.L3.current", 10, kInt},
    {kAcTable, 5, "ac.{u}.L1.current.alarm", 1, kInt},
    {kAcTable, 6, "ac.{u}.L2.current.alarm", 1, kInt},
    {kAcTable, 7, "ac.{u}.L3.current.alarm", 1, kInt},
    {kAcChannelTable, 2, "ac.{u}.channel.{n}.L1-N.voltage", 10, kInt},
    {kAcChannelTable, 3, "ac.{u}.channel.{n}.L2-N.voltage", 10, kInt},
    {kAcChannelTable, 4, "ac.{u}.channel.{n}.L3-N.voltage", 10, kInt},
    {kAcChannelTable, 5, "ac.{u}.channel.{n}.frequency", 100, kInt},
    {kAcChannelTable, 6, "ac.{u}.channel.{n}.L1-N.voltage.alarm", 1, kInt},
    {kAcChannelTable, 7, "ac.{u}.channel.{n}.L2-N.voltage.alarm", 1, kInt},
    {kAcChannelTable, 8, "ac.{u}.channel.{n}.L3-N.voltage.alarm", 1, kInt},
    {kAcChannelTable, 9, "ac.{u}.channel.{n}.frequency.alarm", 1, kInt},
    {kDcTable, 2, "dc.{u}.output.voltage", 10, kInt},
    {kDcTable, 3, "dc.{u}.output.current", 10, kInt},
    {kDcTable, 4, "dc.{u}.output.voltage.alarm", 1, kInt},
    {kDcTable, 5, "dc.{u}.battery.count", 1, kGauge},
    {kDcTable, 6, "dc.{u}.lvd.1.alarm", 1, kInt},
    {kDcTable, 7, "dc.{u}.lvd.2.alarm", 1, kInt},
    {kBatteryTable, 2, "dc.{u}.battery.{n}.current", 10, kInt},
    {kBatteryTable, 3, "dc.{u}.battery.{n}.voltage", 10, kInt},
    {kBatteryTable, 4, "dc.{u}.battery.{n}.temperature", 10, kInt},
    {kBatteryTable, 5, "dc.{u}.battery.{n}.voltage.low.alarm", 1, kInt},
    {kBatteryTable, 6, "dc.{u}.battery.{n}.temperature.high.alarm", 1, kInt},
    {kBatteryTable, 7, "dc.{u}.battery.fuse.{n}.alarm", 1, kInt},
    {kLoadFuseTable, 2, "dc.{u}.load.fuse.{n}.alarm", 1, kInt},
    {kRectifierTable, 2, "rectifier.{n}.current", 10, kInt},
    {kRectifierTable, 3, "rectifier.{n}.on", 1, kInt},
    {kRectifierTable, 4, "rectifier.{n}.current_limit", 1, kInt},
    {kRectifierTable, 5, "rectifier.{n}.charge_mode", 1, kInt},
    {kRectifierTable, 6, "rectifier.{n}.fault", 1, kInt},
};

bool Number(const std::string& text, std::uint32_t& out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  out = static_cast<std::uint32_t>(std::stoul(text));
  return out > 0;
}

// Whether `name` is of the form `pattern`; the numbers in place of {u} and
// {n} are appended to `index`.
bool Match(const std::vector<std::string>& name, const std::vector<std::string>& pattern,
           Oid& index) {
  if (name.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (pattern[i] == "{u}" || pattern[i] == "{n}") {
      std::uint32_t number = 0;
      if (!Number(name[i], number)) return false;
      index.push_back(number);
    } else if (name[i] != pattern[i]) {
      return false;
    }
  }
  return true;
}

Oid Entry(const Oid& root, Table table) {
  return Join(root, {1, table, 1});
}

// The columns of an alarm's row, in order: system, device, id, code, level,
// the device's text, the gloss, the time and the event id.
std::vector<std::pair<std::uint32_t, MibValue>> AlarmColumns(const AlarmRow& row) {
  const runtime::AlarmEvent& alarm = row.alarm;
  return {{2, MibValue::Text(row.system)},
          {3, MibValue::Gauge(alarm.data_id)},
          {4, MibValue::Text(alarm.id)},
          {5, MibValue::Text(alarm.code)},
          {6, MibValue::Integer(alarm.level)},
          {7, MibValue::Text(alarm.text)},
          {8, MibValue::Text(runtime::AlarmGloss(alarm.id, alarm.code, alarm.text))},
          {9, MibValue::Text(alarm.time)},
          {10, MibValue::Text(alarm.event_id)}};
}

// korvanSystemCommState
enum CommState { kWaiting = 1, kCommOk = 2, kCommLost = 3 };

}  // namespace

Oid KorvanRoot(std::uint32_t enterprise) {
  return {1, 3, 6, 1, 4, 1, enterprise};
}

AlarmNumbers::Key AlarmNumbers::KeyOf(const std::string& system, const runtime::AlarmEvent& alarm) {
  return {system, alarm.data_id, alarm.record_type, alarm.id, alarm.text};
}

std::uint32_t AlarmNumbers::Number(const Key& key) {
  const auto found = numbers_.find(key);
  if (found != numbers_.end()) return found->second;
  const std::uint32_t number = next_++;
  numbers_.emplace(key, number);
  return number;
}

std::uint32_t AlarmNumbers::Release(const Key& key) {
  const std::uint32_t number = Number(key);
  numbers_.erase(key);
  return number;
}

MibView KorvanMib(const Oid& root, const std::vector<serving::SystemState>& systems,
                  const std::vector<AlarmRow>& alarms, std::chrono::steady_clock::time_point now) {
  static const std::vector<std::vector<std::string>> patterns = [] {
    std::vector<std::vector<std::string>> split;
    for (const Column& column : kColumns) split.push_back(text_parts::Split(column.pattern, '.'));
    return split;
  }();
  MibView view;
  for (std::size_t place = 0; place < systems.size(); ++place) {
    const serving::SystemState& state = systems[place];
    const std::uint32_t system = static_cast<std::uint32_t>(place + 1);
    const Oid entry = Entry(root, kSystemTable);
    view.Set(Join(entry, {2, system}), MibValue::Text(state.name));
    const int comm = state.communication_lost    ? kCommLost
                     : state.last_cycle_received ? kCommOk
                                                 : kWaiting;
    view.Set(Join(entry, {3, system}), MibValue::Integer(comm));
    if (state.last_cycle_received) {
      const auto age =
          std::chrono::duration_cast<std::chrono::seconds>(now - *state.last_cycle_received);
      view.Set(Join(entry, {4, system}), MibValue::Gauge(age.count()));
    }
    view.Set(Join(entry, {5, system}),
             MibValue::Gauge(static_cast<std::int64_t>(state.alarms.size())));
    for (const vocabulary::NamedValue& value : serving::SystemValues(state)) {
      const std::vector<std::string> name = text_parts::Split(value.name, '.');
      for (std::size_t i = 0; i < std::size(kColumns); ++i) {
        const Column& column = kColumns[i];
        Oid index{system};
        if (!Match(name, patterns[i], index)) continue;
        std::int64_t number = 0;
        if (!Scaled(value.value, column.scale, number)) break;
        Oid oid = Join(Entry(root, column.table), {column.column});
        oid.insert(oid.end(), index.begin(), index.end());
        view.Set(oid, column.type == kGauge ? MibValue::Gauge(number) : MibValue::Integer(number));
        break;
      }
    }
  }
  const Oid alarm_entry = Entry(root, kAlarmTable);
  for (const AlarmRow& row : alarms) {
    for (auto& [column, value] : AlarmColumns(row)) {
      view.Set(Join(alarm_entry, {column, row.number}), std::move(value));
    }
  }
  return view;
}

namespace {

const Oid kSnmpTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

}  // namespace

VarBinds AlarmNotification(const Oid& root, const AlarmRow& row) {
  const Oid entry = Entry(root, kAlarmTable);
  VarBinds binds;
  binds.emplace_back(kSnmpTrapOid, MibValue::Object(Join(root, {0, row.alarm.raised ? 1u : 2u})));
  for (auto& [column, value] : AlarmColumns(row)) {
    binds.emplace_back(Join(entry, {column, row.number}), std::move(value));
  }
  return binds;
}

VarBinds CommunicationNotification(const Oid& root, std::uint32_t system_index,
                                   const std::string& system, bool ok, const std::string& text,
                                   const std::string& event_id) {
  VarBinds binds;
  binds.emplace_back(kSnmpTrapOid, MibValue::Object(Join(root, {0, ok ? 4u : 3u})));
  binds.emplace_back(Join(Entry(root, kSystemTable), {2, system_index}), MibValue::Text(system));
  binds.emplace_back(Join(Entry(root, kSystemTable), {3, system_index}),
                     MibValue::Integer(ok ? kCommOk : kCommLost));
  binds.emplace_back(Join(root, {1, kNotifyObjects, 1, 0}), MibValue::Text(text));
  binds.emplace_back(Join(root, {1, kNotifyObjects, 2, 0}), MibValue::Text(event_id));
  return binds;
}

}  // namespace snmp
