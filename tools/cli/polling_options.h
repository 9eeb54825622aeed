#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "tools/runtime/runtime.h"

namespace cli {

// Options that every polling command takes.
struct PollingOptions {
  std::string plugin_path;
  std::string db_path = "korvan.db";
  bool json = false;
  bool quiet_log = false;
  std::uint64_t cycles = 0;
  double seconds = 0;
  unsigned int history_rows = runtime::HistoryBound().rows_per_device;
  unsigned int history_days = runtime::HistoryBound().days;
  std::uint64_t repeat_warning = runtime::PowerSystemOptions().repeat_warning;
  std::string capture;  // replay script of every decoded reply; empty: none
};

void AddPollingOptions(CLI::App& command, PollingOptions& options);
runtime::RuntimeOptions ToRuntimeOptions(const PollingOptions& options);

}  // namespace cli
