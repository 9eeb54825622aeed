#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace runtime {

// Finds the threads that make no progress: each is watched through a probe
// that says since when it owes a step (ProgressMark::Due, or the time an
// output has been busy with one event). A thread overdue by half the bound
// is late (the health check fails); overdue by the bound, it is stalled and
// the process cannot be trusted to recover: the caller ends it.
class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;
  struct Probe {
    std::string name;  // "polling thread of system \"a\"", "output \"store\""
    std::function<Clock::time_point()> owed_since;  // max(): owes nothing
    std::chrono::milliseconds bound;
  };
  struct Finding {
    std::string name;
    std::chrono::milliseconds overdue;
    bool stalled = false;  // overdue by the whole bound, not only half of it
  };

  void Watch(Probe probe) { probes_.push_back(std::move(probe)); }
  // The threads overdue by half their bound or more at `now`.
  std::vector<Finding> Check(Clock::time_point now) const;

 private:
  std::vector<Probe> probes_;
};

// One line on the findings: "polling thread of system "a" has made no
// progress for 31 s; output "store" ...".
std::string DescribeFindings(const std::vector<Watchdog::Finding>& findings);

}  // namespace runtime
