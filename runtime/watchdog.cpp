#include "runtime/watchdog.h"

namespace runtime {

std::vector<Watchdog::Finding> Watchdog::Check(Clock::time_point now) const {
  std::vector<Finding> findings;
  for (const Probe& probe : probes_) {
    const Clock::time_point since = probe.owed_since();
    if (since == Clock::time_point::max() || now <= since) continue;
    const auto overdue = std::chrono::duration_cast<std::chrono::milliseconds>(now - since);
    if (overdue * 2 < probe.bound) continue;
    findings.push_back({probe.name, overdue, overdue >= probe.bound});
  }
  return findings;
}

std::string DescribeFindings(const std::vector<Watchdog::Finding>& findings) {
  std::string text;
  for (const Watchdog::Finding& finding : findings) {
    if (!text.empty()) text += "; ";
    text += finding.name + " has made no progress for " +
            std::to_string(finding.overdue.count() / 1000) + " s";
  }
  return text;
}

}  // namespace runtime
