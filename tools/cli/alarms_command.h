#pragma once

#include <CLI/CLI.hpp>
#include <ostream>

#include "tools/cli/query_options.h"

namespace cli {

struct AlarmsOptions : QueryOptions {
  bool active = false;  // only alarms whose last event is a raise
};

CLI::App* AddAlarmsCommand(CLI::App& app, AlarmsOptions& options);

// Prints the stored alarm events, one JSON object per line or as CSV; the
// exit code.
int RunAlarms(const AlarmsOptions& options, std::ostream& out, std::ostream& err);

}  // namespace cli
