#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/plugin_loader.h"
#include "tools/runtime/power_system.h"
#include "tools/runtime/record_store.h"
#include "tools/runtime/runtime_output.h"
#include "tools/runtime/system_config.h"

namespace runtime {

struct RuntimeOptions {
  std::string plugin_path;
  std::string db_path = "korvan.db";
  HistoryBound history;
  PowerSystemOptions system;
  std::uint64_t cycles = 0;               // stop after this many cycles of every system; 0: never
  std::chrono::milliseconds duration{0};  // stop after this long; 0: never
  // A system without a completed cycle for this long is summarised anyway.
  std::chrono::milliseconds waiting_summary{10000};
};

// The host runtime: loads the plug-in, opens the store, creates one power
// system per configuration, restores the cached records, polls and prints a
// summary after every cycle until a limit is reached or it is interrupted.
class Runtime {
 public:
  Runtime(RuntimeOptions options, RuntimeOutput& output);
  ~Runtime();

  // Prepares everything; a non-zero exit code when nothing can run. Problems
  // of single systems (and those already found in `problems`) are reported
  // and those systems left out.
  int Prepare(const std::vector<SystemConfig>& systems, const std::vector<ConfigProblem>& problems);
  // Polls until the limits of the options or `interrupted`; returns the exit code.
  int Run(const std::atomic<bool>& interrupted);

  const std::vector<std::unique_ptr<PowerSystem>>& Systems() const { return systems_; }
  const std::shared_ptr<RecordStore>& Store() const { return store_; }

 private:
  RuntimeOptions options_;
  RuntimeOutput& output_;
  PluginLoader loader_;  // outlives every device made from it
  ProviderList providers_;
  std::shared_ptr<RecordStore> store_;
  std::vector<std::unique_ptr<PowerSystem>> systems_;
  std::vector<bool> restored_;
};

}  // namespace runtime
