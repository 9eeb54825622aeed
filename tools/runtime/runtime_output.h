#pragma once

#include <cstdint>
#include <string>

#include "tools/runtime/alarm_event.h"
#include "tools/runtime/system_summary.h"

namespace runtime {

// Where the runtime reports what happens. Called from the polling threads
// and the main thread.
class RuntimeOutput {
 public:
  virtual ~RuntimeOutput() = default;
  // A device's log line.
  virtual void Log(const std::string& system, std::uint32_t data_id, const std::string& line) = 0;
  virtual void Alarm(const std::string& system, const AlarmEvent& event) = 0;
  // Something a person should know that is not an error (a restored record).
  virtual void Note(const std::string& system, const std::string& text) = 0;
  // Something that went wrong but does not stop the system.
  virtual void Problem(const std::string& system, const std::string& text) = 0;
  virtual void Summary(const SystemSummary& summary) = 0;
  // The bus device of a system was made anew, and why.
  virtual void DriverRestarted(const std::string& system, const std::string& reason) {
    Problem(system, "driver restarted: " + reason);
  }
};

}  // namespace runtime
