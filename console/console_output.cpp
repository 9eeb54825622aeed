#include "console/console_output.h"

#include "console/alarm_event_format.h"
#include "console/json_line.h"
#include "tools/records/utf8_text.h"

namespace runtime {

using utf8_text::ValidUtf8;

// Texts from the devices may hold any bytes; what is printed is valid UTF-8.
void ConsoleOutput::OnEvent(const RuntimeEvent& event) {
  using Kind = RuntimeEvent::Kind;
  switch (event.kind) {
    case Kind::kLog:
      return Log(event.system, event.device.data_id, event.text);
    case Kind::kAlarm:
      return Alarm(event.system, event.alarm);
    case Kind::kNote:
      return Note(event.system, event.text);
    case Kind::kProblem:
      return Problem(event.system, event.text);
    case Kind::kSummary:
      if (event.summary) Summary(*event.summary);
      return;
    case Kind::kDriverRestarted:
      return DriverRestarted(event.system, event.text);
    default:
      return;
  }
}

void ConsoleOutput::Log(const std::string& system, std::uint32_t, const std::string& line) {
  if (!show_log_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  err_ << ValidUtf8(system + ": log: " + line) << std::endl;
}

void ConsoleOutput::Alarm(const std::string& system, const AlarmEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    out_ << FormatAlarmEventJson(system, event) << std::endl;
  } else {
    out_ << ValidUtf8(FormatAlarmEventText(system, event)) << std::flush;
  }
}

void ConsoleOutput::Note(const std::string& system, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Json::Value note(Json::objectValue);
    note["event"] = "note";
    note["system"] = system;
    note["text"] = text;
    out_ << JsonLine(note) << std::endl;
  } else {
    out_ << ValidUtf8(system + ": " + text) << std::endl;
  }
}

void ConsoleOutput::Problem(const std::string& system, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  err_ << ValidUtf8("korvan-host: " + (system.empty() ? "" : system + ": ") + text) << std::endl;
}

void ConsoleOutput::DriverRestarted(const std::string& system, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Json::Value event(Json::objectValue);
    event["event"] = "driver_restarted";
    event["system"] = system;
    event["reason"] = reason;
    out_ << JsonLine(event) << std::endl;
  } else {
    out_ << utf8_text::ValidUtf8(system + ": driver restarted: " + reason) << std::endl;
  }
  err_ << utf8_text::ValidUtf8("korvan-host: " + system + ": driver restarted: " + reason)
       << std::endl;
}

void ConsoleOutput::Summary(const SystemSummary& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    out_ << FormatSummaryJson(summary) << std::endl;
  } else {
    out_ << ValidUtf8(FormatSummaryText(summary)) << std::flush;
  }
}

}  // namespace runtime
