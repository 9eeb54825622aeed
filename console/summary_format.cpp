// Text and JSON forms of a power system's summary.
#include <fmt/format.h>
#include <json/value.h>
#include <json/writer.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>

#include "console/alarm_event_format.h"
#include "console/json_line.h"
#include "records/json_text.h"
#include "records/utf8_text.h"
#include "records/vocabulary.h"
#include "runtime/local_time_text.h"
#include "runtime/system_summary.h"

namespace runtime {

namespace {

// Measurements with two decimals; alarm states (0, 1, 2 ...) as they are.
std::string Number(float value) {
  return fmt::format("{:.2f}", value);
}

bool IsAlarmState(const std::string& name) {
  static const std::string kSuffix = "_alert";
  return name.size() > kSuffix.size() &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

// "channel_K_X" → K, X; false for any other name.
bool SplitChannelPoint(const std::string& name, unsigned long& channel, std::string& field) {
  static const std::string kPrefix = "channel_";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  char* end = nullptr;
  channel = std::strtoul(name.c_str() + kPrefix.size(), &end, 10);
  if (end == name.c_str() + kPrefix.size() || *end != '_') return false;
  field = std::string(end + 1);
  return true;
}

// The unit of a measured point, by the field name the devices serve: the
// voltages of an AC channel and of a DC unit, the currents, the frequency.
const char* UnitOf(const std::string& field) {
  static const std::map<std::string, const char*> kUnits = {
      {"a", "V"},  {"b", "V"},  {"c", "V"},  {"v", "V"}, {"f", "Hz"},
      {"ia", "A"}, {"ib", "A"}, {"ic", "A"}, {"i", "A"},
  };
  const auto found = kUnits.find(field);
  return found == kUnits.end() ? nullptr : found->second;
}

// A point read's status text with its English gloss: "数据已超时 (data timed out)".
std::string Status(const std::string& status) {
  static const std::map<std::string, const char*> kGlosses{
      {"数据未就绪", "data not ready"},
      {"数据已超时", "data timed out"},
      {"数据未提供", "data not provided"},
      {"通道参数越界", "channel out of range"}};
  const auto found = kGlosses.find(status);
  return found == kGlosses.end() ? status : status + " (" + found->second + ")";
}

std::string Reading(const PointReading& point, const std::string& label) {
  if (!point.ok) return label + " " + Status(point.status);
  if (IsAlarmState(point.name)) return label + " " + fmt::format("{:g}", point.value);
  const char* unit = UnitOf(label);
  return label + " " + Number(point.value) + (unit ? std::string(" ") + unit : std::string());
}

// A module state byte as a word; a value the word table does not hold as
// its number.
std::string StateWord(std::uint8_t value, std::initializer_list<const char*> words,
                      const char* what) {
  if (value < words.size()) return words.begin()[value];
  return fmt::format("{} {}", what, value);
}

// Every point failed alike: the status stands for the unit.
bool AllFailedAlike(const UnitSummary& unit) {
  if (unit.points.empty()) return false;
  for (const PointReading& point : unit.points) {
    if (point.ok || point.status != unit.points.front().status) return false;
  }
  return true;
}

void AppendUnit(std::string& text, const char* kind, const UnitSummary& unit) {
  const std::string head = fmt::format("  {} {:<6}", kind, unit.data_id);
  if (AllFailedAlike(unit)) {
    text += head + " " + Status(unit.points.front().status) + "\n";
    return;
  }
  std::string line = head;
  std::map<unsigned long, std::string> channels;
  for (const PointReading& point : unit.points) {
    unsigned long channel = 0;
    std::string field;
    if (SplitChannelPoint(point.name, channel, field)) {
      channels[channel] += "  " + Reading(point, field);
    } else {
      line += "  " + Reading(point, point.name);
    }
  }
  text += line + "\n";
  for (const auto& channel : channels) {
    // Counted from 1, as the simulator's commands count them; the point names
    // (channel_0_a ...) count from 0.
    text += fmt::format("           channel {}{}\n", channel.first + 1, channel.second);
  }
}

void AppendRectifiers(std::string& text, const RectifierSummary& group) {
  if (!group.present) {
    text += "  rectifiers: none configured\n";
    return;
  }
  if (!group.has_record) {
    text +=
        fmt::format("  rectifiers {:<6} no record yet ({})\n", group.data_id, Status(group.status));
    return;
  }
  text += fmt::format("  rectifiers {:<6} output {} V, {} module{}{}\n", group.data_id,
                      Number(group.record.output_voltage), group.record.modules.size(),
                      group.record.modules.size() == 1 ? "" : "s",
                      group.stale ? fmt::format("  STALE: record {} s old ({})", group.age_seconds,
                                                Status(group.status))
                                  : "");
  for (std::size_t i = 0; i < group.record.modules.size(); ++i) {
    const RectifierModule& module = group.record.modules[i];
    text += fmt::format("           module {}: {} A, {}, {}, {}, {}\n", i + 1,
                        Number(module.output_current),
                        StateWord(module.on_off, {"on", "off"}, "on/off"),
                        StateWord(module.current_limit, {"limit", "no limit"}, "current limit"),
                        StateWord(module.charge_mode, {"float", "equalise", "test"}, "charge mode"),
                        StateWord(module.fault, {"ok", "fault"}, "fault"));
  }
}

void AppendAlarms(std::string& text, const std::vector<AlarmEvent>& alarms) {
  if (alarms.empty()) {
    text += "  alarms: none active\n";
    return;
  }
  text += fmt::format("  alarms: {} active\n", alarms.size());
  for (const AlarmEvent& alarm : alarms) {
    text += fmt::format("           {} {} {}: {}{} (level {}, data id {}, since {})\n",
                        utf8_text::Printable(alarm.id), utf8_text::Printable(alarm.code),
                        utf8_text::Printable(alarm.name), utf8_text::Printable(alarm.text),
                        GlossSuffix(alarm), alarm.level, alarm.data_id, alarm.time);
  }
}

void AppendLine(std::string& text, const LineHealth& line) {
  std::string dropped = fmt::format("{} dropped", line.dropped_total);
  if (!line.dropped.empty()) {
    std::string reasons;
    for (const auto& reason : line.dropped) {
      if (!reasons.empty()) reasons += ", ";
      reasons += fmt::format("{} {}", reason.second, reason.first);
    }
    dropped += " (" + reasons + ")";
  }
  text += fmt::format(
      "  line: port {}, {} frames good, {}, {} error replies, {} replies lost, {} requests "
      "repeated after a damaged reply, {} cycles completed, last {}\n",
      line.port_open ? "open" : "closed", line.frames_good, dropped, line.error_replies,
      line.lost_replies, line.early_repeats, line.cycles,
      line.last_cycle.empty() ? "never" : line.last_cycle);
  if (!line.port_open && !line.port_error.empty()) {
    text += "  port: " + line.port_error + "\n";
  }
  if (line.repeat_warning) {
    text += fmt::format(
        "  WARNING: no usable reply from the power system: request {} sent {} times in a row "
        "without a cycle completing",
        line.repeated_request, line.repeated_times);
    text += line.last_log.empty() ? "\n" : "; last log line: " + line.last_log + "\n";
  }
}

// The shortest form that reads back as the same float; null for NaN and the
// infinities, which a point's value or status cannot be confused with.
Json::Value JsonNumber(float value) {
  return std::isfinite(value) ? json_text::Float(value) : Json::Value();
}

Json::Value JsonUnit(const UnitSummary& unit) {
  Json::Value object(Json::objectValue);
  object["data_id"] = unit.data_id;
  Json::Value points(Json::objectValue);
  for (const PointReading& point : unit.points) {
    points[point.name] = point.ok ? JsonNumber(point.value) : Json::Value(point.status);
  }
  object["points"] = points;
  return object;
}

}  // namespace

std::string FormatSummaryText(const SystemSummary& summary) {
  std::string text = fmt::format(
      "{} (data id {}) {} at {}\n", summary.system, summary.data_id,
      summary.reason == "cycle" ? fmt::format("cycle {}", summary.line.cycles) : summary.reason,
      summary.time);
  if (summary.communication_lost) {
    text += "  COMMUNICATION LOST: no cycle completed lately; the values below are old\n";
  }
  for (const UnitSummary& unit : summary.ac_units) AppendUnit(text, "AC", unit);
  for (const UnitSummary& unit : summary.dc_units) AppendUnit(text, "DC", unit);
  AppendRectifiers(text, summary.rectifiers);
  AppendAlarms(text, summary.alarms);
  AppendLine(text, summary.line);
  return text;
}

std::string FormatSummaryJson(const SystemSummary& summary) {
  Json::Value root(Json::objectValue);
  root["event"] = "summary";
  root["system"] = summary.system;
  root["data_id"] = summary.data_id;
  root["time"] = IsoLocalTime(summary.time);
  root["reason"] = summary.reason;
  root["communication"] = summary.communication_lost ? "lost" : "ok";
  root["ac"] = Json::Value(Json::arrayValue);
  for (const UnitSummary& unit : summary.ac_units) root["ac"].append(JsonUnit(unit));
  root["dc"] = Json::Value(Json::arrayValue);
  for (const UnitSummary& unit : summary.dc_units) root["dc"].append(JsonUnit(unit));

  const RectifierSummary& group = summary.rectifiers;
  if (group.present) {
    Json::Value rectifiers(Json::objectValue);
    rectifiers["data_id"] = group.data_id;
    rectifiers["status"] = group.status;
    rectifiers["stale"] = group.stale;
    if (group.age_seconds >= 0)
      rectifiers["age_seconds"] = static_cast<Json::Int64>(group.age_seconds);
    if (group.has_record) {
      rectifiers["output_voltage"] = JsonNumber(group.record.output_voltage);
      rectifiers["modules"] = Json::Value(Json::arrayValue);
      for (std::size_t i = 0; i < group.record.modules.size(); ++i) {
        const RectifierModule& module = group.record.modules[i];
        Json::Value entry(Json::objectValue);
        entry["module"] = static_cast<Json::UInt>(i + 1);
        entry["current"] = JsonNumber(module.output_current);
        entry["on_off"] = module.on_off;
        entry["current_limit"] = module.current_limit;
        entry["charge_mode"] = module.charge_mode;
        entry["fault"] = module.fault;
        rectifiers["modules"].append(entry);
      }
    }
    root["rectifiers"] = rectifiers;
  } else {
    root["rectifiers"] = Json::Value();
  }

  root["values"] = vocabulary::ValuesJson(summary.values);
  root["alarms"] = Json::Value(Json::arrayValue);
  for (const AlarmEvent& alarm : summary.alarms) root["alarms"].append(ConsoleAlarmJson(alarm));

  const LineHealth& line = summary.line;
  Json::Value health(Json::objectValue);
  health["port_open"] = line.port_open;
  if (!line.port_error.empty()) health["port_error"] = line.port_error;
  health["frames_good"] = static_cast<Json::UInt64>(line.frames_good);
  Json::Value dropped(Json::objectValue);
  for (const auto& reason : line.dropped) {
    dropped[reason.first] = static_cast<Json::UInt64>(reason.second);
  }
  health["dropped"] = dropped;
  health["dropped_total"] = static_cast<Json::UInt64>(line.dropped_total);
  health["error_replies"] = static_cast<Json::UInt64>(line.error_replies);
  health["lost_replies"] = static_cast<Json::UInt64>(line.lost_replies);
  health["send_failures"] = static_cast<Json::UInt64>(line.send_failures);
  health["early_repeats"] = static_cast<Json::UInt64>(line.early_repeats);
  health["cycles"] = static_cast<Json::UInt64>(line.cycles);
  health["last_cycle"] =
      line.last_cycle.empty() ? Json::Value() : Json::Value(IsoLocalTime(line.last_cycle));
  if (!line.repeated_request.empty()) {
    health["repeated_request"] = line.repeated_request;
    health["repeated_times"] = static_cast<Json::UInt64>(line.repeated_times);
  }
  health["repeat_warning"] = line.repeat_warning;
  health["last_log"] = line.last_log;
  root["line"] = health;
  return JsonLine(root);
}

}  // namespace runtime
