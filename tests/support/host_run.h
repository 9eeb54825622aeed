#pragma once

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cli/host_cli.h"

// What a run of korvan-host's command line gave.
struct HostRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs korvan-host's command line in this process with the plug-in under
// test; `interrupt`, when given, is the flag that a signal would set.
inline HostRun RunHost(std::vector<std::string> args,
                       const std::atomic<bool>* interrupt = nullptr) {
  static const std::atomic<bool> kNever{false};
  args.insert(args.begin(), {"korvan-host", "--plugin", KORVAN_PLUGIN_PATH});
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  HostRun run;
  run.code = cli::RunHostCli(static_cast<int>(argv.size()), argv.data(), out, err,
                             interrupt ? *interrupt : kNever);
  run.out = out.str();
  run.err = err.str();
  return run;
}
