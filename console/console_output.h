#pragma once

#include <mutex>
#include <ostream>

#include "runtime/event_stream.h"

namespace runtime {

// The console as an output of the event stream: prints summaries, alarm
// events, driver restarts and notes on `out` (readable text, or one JSON
// object per line); device log lines and problems on `err`, as text. Log
// lines can be silenced. The commands also call it directly, before the
// runtime runs and after it has ended.
class ConsoleOutput : public EventSubscriber {
 public:
  ConsoleOutput(std::ostream& out, std::ostream& err, bool json, bool show_log)
      : out_(out), err_(err), json_(json), show_log_(show_log) {}

  void OnEvent(const RuntimeEvent& event) override;

  void Log(const std::string& system, std::uint32_t data_id, const std::string& line);
  void Alarm(const std::string& system, const AlarmEvent& event);
  void Note(const std::string& system, const std::string& text);
  void Problem(const std::string& system, const std::string& text);
  void Summary(const SystemSummary& summary);
  // On `out` (as text, or a "driver_restarted" JSON object) and on `err`.
  void DriverRestarted(const std::string& system, const std::string& reason);

 private:
  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  bool json_;
  bool show_log_;
};

}  // namespace runtime
