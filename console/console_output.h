#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <utility>

#include "runtime/event_stream.h"

namespace runtime {

// How the console prints for a terminal or for a service's log. Every line
// has a syslog priority: 3 error (problems), 4 warning (alarm raised, driver
// restarted), 5 notice (alarm cleared, notes), 6 info (summaries, the
// devices' log lines), 7 debug (the devices' trace lines on standard output).
struct ConsoleStyle {
  int max_priority = 7;          // lines of a higher number are left out
  bool priority_prefix = false;  // "<N>" before every line, which journald takes as the priority
  bool summaries = true;
  std::string trace_system;  // log lines of this "system" are the devices' trace lines (debug)
};

// The console as an output of the event stream: prints summaries, alarm
// events, driver restarts and notes on `out` (readable text, or one JSON
// object per line); device log lines and problems on `err`, as text. Log
// lines can be silenced. The commands also call it directly, before the
// runtime runs and after it has ended.
class ConsoleOutput : public EventSubscriber {
 public:
  ConsoleOutput(std::ostream& out, std::ostream& err, bool json, bool show_log,
                ConsoleStyle style = {})
      : out_(out), err_(err), json_(json), show_log_(show_log), style_(std::move(style)) {}

  void OnEvent(const RuntimeEvent& event) override;
  // Records and history saves are not shown; log lines only when shown at all.
  bool Wants(RuntimeEvent::Kind kind) const override;
  // Device log lines and cycle summaries are written once a second while
  // many come (many systems); alarms, notes and problems at once.
  std::chrono::milliseconds Patience() const override { return std::chrono::milliseconds(1000); }
  bool Prompt(RuntimeEvent::Kind kind) const override {
    return kind != RuntimeEvent::Kind::kLog && kind != RuntimeEvent::Kind::kSummary;
  }

  void Log(const std::string& system, std::uint32_t data_id, const std::string& line);
  void Alarm(const std::string& system, const AlarmEvent& event);
  void Note(const std::string& system, const std::string& text);
  void Problem(const std::string& system, const std::string& text);
  void Summary(const SystemSummary& summary);
  // On `out` (as text, or a "driver_restarted" JSON object) and on `err`.
  void DriverRestarted(const std::string& system, const std::string& reason);
  const ConsoleStyle& Style() const { return style_; }

 private:
  // Whether a line of `priority` is printed; Print writes `text` (lines ended
  // by '\n', or one line without it), each line prefixed as the style asks.
  bool Shown(int priority) const { return priority <= style_.max_priority; }
  void Print(std::ostream& stream, int priority, const std::string& text, bool flush_line);

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  bool json_;
  bool show_log_;
  ConsoleStyle style_;
};

}  // namespace runtime
