#pragma once

#include <CLI/CLI.hpp>
#include <atomic>
#include <ostream>
#include <string>

namespace cli {

struct ReplayOptions {
  std::string script;  // file of the script; "-" reads standard input
};

CLI::App* AddReplayCommand(CLI::App& app, ReplayOptions& options);

// Loads the plug-in and replays the script until its end or `interrupted`;
// the exit code.
int RunReplay(const ReplayOptions& options, const std::string& plugin_path, std::ostream& out,
              std::ostream& err, const std::atomic<bool>& interrupted);

}  // namespace cli
