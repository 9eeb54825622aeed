#pragma once

#include <mutex>
#include <ostream>

#include "tools/runtime/runtime_output.h"

namespace runtime {

// Prints to a terminal or a pipe: summaries, alarm events and notes on `out`
// (readable text, or one JSON object per line); device log lines and
// problems on `err`, as text. Log lines can be silenced.
class ConsoleOutput : public RuntimeOutput {
 public:
  ConsoleOutput(std::ostream& out, std::ostream& err, bool json, bool show_log)
      : out_(out), err_(err), json_(json), show_log_(show_log) {}

  void Log(const std::string& system, std::uint32_t data_id, const std::string& line) override;
  void Alarm(const std::string& system, const AlarmEvent& event) override;
  void Note(const std::string& system, const std::string& text) override;
  void Problem(const std::string& system, const std::string& text) override;
  void Summary(const SystemSummary& summary) override;
  // On `out` (as text, or a "driver_restarted" JSON object) and on `err`.
  void DriverRestarted(const std::string& system, const std::string& reason) override;

 private:
  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  bool json_;
  bool show_log_;
};

}  // namespace runtime
