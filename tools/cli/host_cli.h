#pragma once

#include <atomic>
#include <ostream>

namespace cli {

// korvan-host's command line: parses `argv` and runs the command, printing
// on `out` and `err`; returns the exit code. `interrupted` ends polling and
// stops a replay. Never throws: an exception that escapes a command is
// reported and gives exit code 7.
int RunHostCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
               const std::atomic<bool>& interrupted);

}  // namespace cli
