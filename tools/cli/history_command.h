#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli/query_options.h"

namespace cli {

struct HistoryOptions : QueryOptions {
  std::vector<std::string> fields;  // paths of decoded fields; empty: the whole record
};

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options);

// Prints the stored history rows, one JSON object per line or as CSV; the
// exit code.
int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err);

}  // namespace cli
