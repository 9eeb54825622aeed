#include "console/console_output.h"

#include "console/alarm_event_format.h"
#include "console/json_line.h"
#include "records/utf8_text.h"

namespace runtime {

using utf8_text::Printable;
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

namespace {

constexpr int kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7;

}  // namespace

bool ConsoleOutput::Wants(RuntimeEvent::Kind kind) const {
  using Kind = RuntimeEvent::Kind;
  switch (kind) {
    case Kind::kLog:
      return show_log_ && Shown(kInfo);
    case Kind::kAlarm:
    case Kind::kNote:
    case Kind::kProblem:
    case Kind::kSummary:
    case Kind::kDriverRestarted:
      return true;
    default:
      return false;
  }
}

namespace {

// The name a text line gives an event's system: events of the runtime as a
// whole (an empty system) are the site's.
std::string Who(const std::string& system) {
  return system.empty() ? "site" : system;
}

}  // namespace

void ConsoleOutput::Print(std::ostream& stream, int priority, const std::string& text,
                          bool flush_line) {
  if (style_.priority_prefix) {
    const std::string prefix = "<" + std::to_string(priority) + ">";
    for (std::size_t start = 0; start < text.size();) {
      std::size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      stream << prefix << text.substr(start, end - start);
      start = end;
    }
  } else {
    stream << text;
  }
  if (flush_line) {
    stream << std::endl;
  } else {
    stream << std::flush;
  }
}

void ConsoleOutput::Log(const std::string& system, std::uint32_t, const std::string& line) {
  const int priority = system == style_.trace_system ? kDebug : kInfo;
  if (!show_log_ || !Shown(priority)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Print(err_, priority, Printable(Who(system) + ": log: " + line), true);
}

void ConsoleOutput::Alarm(const std::string& system, const AlarmEvent& event) {
  const int priority = event.raised ? kWarning : kNotice;
  if (!Shown(priority)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Print(out_, priority, FormatAlarmEventJson(system, event), true);
  } else {
    Print(out_, priority, ValidUtf8(FormatAlarmEventText(Who(system), event)), false);
  }
}

void ConsoleOutput::Note(const std::string& system, const std::string& text) {
  if (!Shown(kNotice)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Json::Value note(Json::objectValue);
    note["event"] = "note";
    note["system"] = system;
    note["text"] = text;
    Print(out_, kNotice, JsonLine(note), true);
  } else {
    Print(out_, kNotice, Printable(Who(system) + ": " + text), true);
  }
}

void ConsoleOutput::Problem(const std::string& system, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Print(err_, kError, Printable("korvan-host: " + (system.empty() ? "" : system + ": ") + text),
        true);
}

void ConsoleOutput::DriverRestarted(const std::string& system, const std::string& reason) {
  if (!Shown(kWarning)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Json::Value event(Json::objectValue);
    event["event"] = "driver_restarted";
    event["system"] = system;
    event["reason"] = reason;
    Print(out_, kWarning, JsonLine(event), true);
  } else {
    Print(out_, kWarning, Printable(system + ": driver restarted: " + reason), true);
  }
  // Under journald both streams reach the same log: once is enough.
  if (style_.priority_prefix) return;
  Print(err_, kWarning, Printable("korvan-host: " + system + ": driver restarted: " + reason),
        true);
}

void ConsoleOutput::Summary(const SystemSummary& summary) {
  if (!style_.summaries || !Shown(kInfo)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (json_) {
    Print(out_, kInfo, FormatSummaryJson(summary), true);
  } else {
    Print(out_, kInfo, ValidUtf8(FormatSummaryText(summary)), false);
  }
}

}  // namespace runtime
