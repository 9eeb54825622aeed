#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct GetOptions {
  std::string system;
  std::vector<std::string> names;  // none: every value
  std::string config_file;         // its "http": {"listen", "auth_file"}
  std::string url;                 // http://HOST:PORT
  std::string auth_file;           // overrides the configuration's
};

CLI::App* AddGetCommand(CLI::App& app, GetOptions& options);

// Prints a running instance's current values of `options.system` by name,
// read from its HTTP API; the exit code.
int RunGet(const GetOptions& options, std::ostream& out, std::ostream& err);

}  // namespace cli
