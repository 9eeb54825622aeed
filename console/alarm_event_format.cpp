#include "console/alarm_event_format.h"

#include <fmt/format.h>

#include "console/alarm_glossary.h"
#include "console/json_line.h"
#include "records/utf8_text.h"
#include "runtime/local_time_text.h"

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
  // null for an event stored without an id
  object["event_id"] = event.event_id.empty() ? Json::Value() : Json::Value(event.event_id);
  return object;
}

Json::Value ConsoleAlarmJson(const AlarmEvent& event) {
  Json::Value object = AlarmEventJson(event);
  object["since"] = IsoLocalTime(event.time);
  const std::string gloss = AlarmGloss(event.id, event.code, event.text);
  if (!gloss.empty()) object["gloss"] = gloss;
  return object;
}

std::string GlossSuffix(const AlarmEvent& event) {
  const std::string gloss = AlarmGloss(event.id, event.code, event.text);
  return gloss.empty() ? std::string() : " — " + gloss;
}

std::string FormatAlarmEventText(const std::string& system, const AlarmEvent& event) {
  // The device's texts as a terminal and the journal may show them.
  return fmt::format("{}: alarm {} {} {} {}: {}{} (level {}, data id {}) at {}\n", system,
                     event.raised ? "RAISED" : "cleared", utf8_text::Printable(event.id),
                     utf8_text::Printable(event.code), utf8_text::Printable(event.name),
                     utf8_text::Printable(event.text), GlossSuffix(event), event.level,
                     event.data_id, event.time);
}

std::string FormatAlarmEventJson(const std::string& system, const AlarmEvent& event) {
  Json::Value root = ConsoleAlarmJson(event);
  root.removeMember("since");
  root["event"] = event.raised ? "alarm_raised" : "alarm_cleared";
  root["system"] = system;
  root["time"] = IsoLocalTime(event.time);
  return JsonLine(root);
}

}  // namespace runtime
