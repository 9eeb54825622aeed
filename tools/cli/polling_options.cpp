#include "tools/cli/polling_options.h"

namespace cli {

void AddPollingOptions(CLI::App& command, PollingOptions& options) {
  command.add_option("--db", options.db_path, "SQLite database of history, cache and alarms")
      ->capture_default_str();
  command.add_flag("--json", options.json, "print one JSON object per line instead of text");
  command.add_flag("--quiet-log", options.quiet_log, "do not print the devices' log lines");
  command
      .add_option("--cycles", options.cycles,
                  "stop after this many polling cycles of every power system (0: run on)")
      ->capture_default_str();
  command.add_option("--seconds", options.seconds, "stop after this many seconds (0: run on)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  command
      .add_option("--history-rows", options.history_rows,
                  "history rows kept per device (0: no bound)")
      ->capture_default_str();
  command.add_option("--history-days", options.history_days, "days of history kept (0: no bound)")
      ->capture_default_str();
  command
      .add_option("--repeat-warning", options.repeat_warning,
                  "warn when one request is sent this many times in a row (0: never)")
      ->capture_default_str();
  command.add_option("--capture", options.capture,
                     "write every decoded reply, with the polling around it, as a replay script");
}

runtime::RuntimeOptions ToRuntimeOptions(const PollingOptions& options) {
  runtime::RuntimeOptions runtime_options;
  runtime_options.plugin_path = options.plugin_path;
  runtime_options.db_path = options.db_path;
  runtime_options.history.rows_per_device = options.history_rows;
  runtime_options.history.days = options.history_days;
  runtime_options.system.repeat_warning = options.repeat_warning;
  runtime_options.cycles = options.cycles;
  runtime_options.duration =
      std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000.0));
  return runtime_options;
}

}  // namespace cli
