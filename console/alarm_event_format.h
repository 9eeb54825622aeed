#pragma once

#include <json/value.h>

#include <string>

#include "runtime/alarm_event.h"

namespace runtime {

// The alarm as a JSON object: id, code, name, text, level, data id, record
// type and "since" (the time of its event).
Json::Value AlarmEventJson(const AlarmEvent& event);
// "SYSTEM: alarm RAISED|cleared ID CODE NAME: TEXT (level L, data id D) at TIME\n".
std::string FormatAlarmEventText(const std::string& system, const AlarmEvent& event);
// {"event":"alarm_raised"|"alarm_cleared","system":...,"time":..., alarm fields}, one line.
std::string FormatAlarmEventJson(const std::string& system, const AlarmEvent& event);

}  // namespace runtime
