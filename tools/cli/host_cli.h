#pragma once

#include <atomic>
#include <ostream>

namespace cli {

// korvan-host's command line: parses `argv` and runs the command, printing
// on `out` and `err`; returns the exit code. `interrupted` ends polling.
int RunHostCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
               const std::atomic<bool>& interrupted);

}  // namespace cli
