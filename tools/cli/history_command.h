#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <ostream>
#include <string>

namespace cli {

struct HistoryOptions {
  std::string db_path;
  std::int64_t device = -1;  // a data id; -1: every device
  unsigned int last = 0;     // 0: every row
};

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options);

// Prints the stored history rows, one JSON object per line; the exit code.
int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err);

}  // namespace cli
