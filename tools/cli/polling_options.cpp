#include "tools/cli/polling_options.h"

#include <cmath>

namespace cli {

namespace {

// A finite number from 0 to kMaxSeconds (NaN and the infinities are not).
std::string CheckSeconds(const std::string& text) {
  double value = 0;
  if (!CLI::detail::lexical_cast(text, value) || !(value >= 0 && value <= kMaxSeconds)) {
    return "must be a number of seconds from 0 to " + std::to_string(kMaxSeconds);
  }
  return "";
}

}  // namespace

void AddPollingOptions(CLI::App& command, PollingOptions& options) {
  command.add_option("--db", options.db_path, "SQLite database of history, cache and alarms")
      ->capture_default_str();
  command.add_flag("--json", options.json, "print one JSON object per line instead of text");
  command.add_flag("--quiet-log", options.quiet_log, "do not print the devices' log lines");
  command
      .add_option("--cycles", options.cycles,
                  "stop after this many polling cycles of every power system (0: run on)")
      ->capture_default_str();
  command
      .add_option("--seconds", options.seconds,
                  "stop after this many seconds, rounded up to whole milliseconds (0: run on)")
      ->check(CLI::Validator(CheckSeconds, "SECONDS"))
      ->capture_default_str();
  command
      .add_option("--history-rows", options.history_rows,
                  "history rows kept per device (0: no bound)")
      ->capture_default_str();
  command
      .add_option(
          "--history-days", options.history_days,
          "days of history kept, at most " + std::to_string(kMaxHistoryDays) + " (0: no bound)")
      ->check(CLI::Range(0u, kMaxHistoryDays))
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
  // Rounded up: a duration below a millisecond must not become 0, which runs on.
  runtime_options.duration =
      std::chrono::milliseconds(static_cast<long long>(std::ceil(options.seconds * 1000.0)));
  return runtime_options;
}

}  // namespace cli
