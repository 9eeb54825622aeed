#pragma once

#include <json/value.h>

#include <string>

#include "runtime/alarm_event.h"

namespace runtime {

// The alarm as a JSON object: id, code, name, text, level, data id, record
// type, "since" (the time of its event, as stored) and "event_id" (null when
// the event has none).
Json::Value AlarmEventJson(const AlarmEvent& event);
// The alarm as the console prints it in JSON: AlarmEventJson with "since" in
// ISO 8601 with its UTC offset, and "gloss" (English) when the glossary knows
// the alarm. Name and text stay the device's own.
Json::Value ConsoleAlarmJson(const AlarmEvent& event);
// " — GLOSS" when the glossary knows the alarm, else empty.
std::string GlossSuffix(const AlarmEvent& event);
// "SYSTEM: alarm RAISED|cleared ID CODE NAME: TEXT — GLOSS (level L, data id D) at TIME\n".
std::string FormatAlarmEventText(const std::string& system, const AlarmEvent& event);
// {"event":"alarm_raised"|"alarm_cleared","system":...,"time":..., alarm fields}, one line;
// "time" in ISO 8601 with its UTC offset.
std::string FormatAlarmEventJson(const std::string& system, const AlarmEvent& event);

}  // namespace runtime
