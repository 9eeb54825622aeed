#pragma once

namespace runtime {

// Exit codes of korvan-host. Usage errors keep the command-line parser's own.
namespace exit_codes {

constexpr int kOk = 0;
constexpr int kNothingToRun = 1;  // no power system could be configured or its port opened
constexpr int kDatabase = 2;      // the database cannot be opened or is corrupt
constexpr int kPlugin = 3;        // the plug-in cannot be loaded or makes no devices
constexpr int kSimulator = 4;     // the built-in simulator cannot start

}  // namespace exit_codes

}  // namespace runtime
