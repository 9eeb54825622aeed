#include "console/alarm_event_format.h"

#include <fmt/format.h>

#include "console/json_line.h"

namespace runtime {

Json::Value AlarmEventJson(const AlarmEvent& event) {
  Json::Value object(Json::objectValue);
  object["id"] = event.id;
  object["code"] = event.code;
  object["name"] = event.name;
  object["text"] = event.text;
  object["level"] = event.level;
  object["data_id"] = event.data_id;
  object["record_type"] = event.record_type;
  object["since"] = event.time;
  return object;
}

std::string FormatAlarmEventText(const std::string& system, const AlarmEvent& event) {
  return fmt::format("{}: alarm {} {} {} {}: {} (level {}, data id {}) at {}\n", system,
                     event.raised ? "RAISED" : "cleared", event.id, event.code, event.name,
                     event.text, event.level, event.data_id, event.time);
}

std::string FormatAlarmEventJson(const std::string& system, const AlarmEvent& event) {
  Json::Value root = AlarmEventJson(event);
  root.removeMember("since");
  root["event"] = event.raised ? "alarm_raised" : "alarm_cleared";
  root["system"] = system;
  root["time"] = event.time;
  return JsonLine(root);
}

}  // namespace runtime
