#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "tools/runtime/runtime.h"

namespace cli {

// The longest --seconds: about 31 years.
constexpr long kMaxSeconds = 1000000000;
// The longest --history-days: a hundred years. A bound reaching back before
// the year 1400, which the time library cannot hold, fails every history write.
constexpr unsigned int kMaxHistoryDays = 36500;

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
