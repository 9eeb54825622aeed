#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "runtime/cache_source.h"
#include "runtime/event_stream.h"
#include "runtime/power_system.h"
#include "runtime/system_config.h"
#include "runtime/thread_watch.h"
#include "tools/plugin_loader.h"

namespace runtime {

struct RuntimeOptions {
  std::string plugin_path;
  PowerSystemOptions system;
  std::uint64_t cycles = 0;               // stop after this many cycles of every system; 0: never
  std::chrono::milliseconds duration{0};  // stop after this long; 0: never
  // A system without a completed cycle for this long is summarised anyway.
  std::chrono::milliseconds waiting_summary{10000};
  // Summaries read every point of a system: made only when an output shows
  // them. Without them, each cycle and waiting turn publishes the line
  // health alone.
  bool summaries = true;
};

// Makes a waiting Run look at its `interrupted` flag again: whoever sets the
// flag calls it. Async-signal-safe, for the handler of a signal.
void WakeForInterrupt();

// The host runtime: loads the plug-in, creates one power system per
// configuration, restores the cached records, polls and publishes a summary
// after every cycle until a limit is reached or it is interrupted. All it
// tells goes to its event stream, to which the outputs subscribe.
class Runtime {
 public:
  explicit Runtime(RuntimeOptions options);
  ~Runtime();

  EventStream& Events() { return events_; }

  // Loads the plug-in, makes and configures the systems and opens their
  // ports; a non-zero exit code when nothing can run. Problems of single
  // systems (and those already found in `problems`) are reported and those
  // systems left out.
  int Prepare(const std::vector<SystemConfig>& systems, const std::vector<ConfigProblem>& problems);
  // Restores every system's devices and alarms from an earlier run. Before Run.
  void Restore(CacheSource& source);
  // Clears the stored active alarms of devices that no system given to
  // Prepare has. After the outputs that record alarm events subscribed.
  void ClearAlarmsOfUnconfiguredDevices(CacheSource& source);
  // Polls until the limits of the options or `interrupted` (see
  // WakeForInterrupt); returns the exit code. Between cycles it sleeps until
  // one completes, a system starts repeating or failing, or a deadline (the
  // duration, a waiting summary) comes.
  int Run(const std::atomic<bool>& interrupted);

  const std::vector<std::unique_ptr<PowerSystem>>& Systems() const { return systems_; }
  // The threads that the watchdog finds late, in one line; "" while every
  // thread makes progress (or before Run).
  std::string LateThreads() const;

 private:
  // Starts the watchdog over the main thread, the polling threads and the outputs.
  void StartWatch();
  void StopWatch();
  // A summary and the line health it holds, as events.
  void PublishSummary(SystemSummary summary);
  // A summary of system `i` when summaries are wanted, else its line health.
  void PublishState(std::size_t i, const std::string& reason);

  RuntimeOptions options_;
  // Declared first: outlives the systems, which publish on it until they stop.
  EventStream events_;
  PluginLoader loader_;  // outlives every device made from it
  ProviderList providers_;
  std::vector<std::unique_ptr<PowerSystem>> systems_;
  std::set<std::uint32_t> configured_ids_;  // of every system given to Prepare
  std::vector<bool> restored_;
  ProgressMark main_progress_;      // Run's own thread
  mutable std::mutex watch_mutex_;  // a leaf: guards watch_ only
  std::unique_ptr<ThreadWatch> watch_;
};

}  // namespace runtime
