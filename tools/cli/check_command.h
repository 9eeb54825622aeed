#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct CheckOptions {
  std::vector<std::string> files;
  bool no_ports = false;  // leave the ports alone (checking on another machine)
  // The service's groups, for the access check that runs as root (or when
  // given): the unit's SupplementaryGroups=.
  std::vector<std::string> service_groups{"dialout"};
  bool service_groups_given = false;
};

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options);

// Validates the configuration files as run does, without opening a port:
// the keys and their values, names and data ids across systems, the ports
// (character devices) and the bus device's own refusal. Prints each system's
// plan on `out` and each problem on `err`; the exit code.
int RunCheck(const CheckOptions& options, const std::string& plugin_path, std::ostream& out,
             std::ostream& err);

}  // namespace cli
