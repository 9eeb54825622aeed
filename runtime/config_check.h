#pragma once

#include <string>
#include <vector>

#include "runtime/system_config.h"

namespace runtime {

// "" when `port` is a character device; else why it cannot be a serial port:
// it does not exist, or is another kind of file.
std::string PortProblem(const std::string& port);

// Moves to `problems` every system whose port exists but is not a character
// device, and with `missing_refused` also every system whose port does not
// exist (run leaves those to the opening of the port, which names the reason).
void RefuseBadPorts(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems,
                    bool missing_refused);

// "" when a process of the service (a user of its own, in `groups` only, as
// korvan.service runs it with DynamicUser= and SupplementaryGroups=) can open
// the character device `port` for reading and writing; else why not, naming
// the port's group and mode and how to give the service access.
std::string ServiceAccessProblem(const std::string& port, const std::vector<std::string>& groups);

// The data ids of a system, each with the device that has it: its own (the
// bus device and the rectifier group, "the power system") and its units'
// ("acSetting[0]").
std::vector<std::pair<unsigned int, std::string>> DataIds(const SystemConfig& system);

// Moves to `problems` every system that has a data id (its own or a unit's)
// that an earlier system (in any file) has: history, cache rows and alarms
// are kept by data id.
void RefuseSharedDataIds(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems);

// Moves to `problems` every system whose port (after links are resolved) an
// earlier system has: a system opens its port for itself alone.
void RefuseSharedPorts(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems);

// One line on what the system will poll: "site-a: port /dev/ttyUSB0, address 1,
// data id 100: 1 AC unit (11), 1 DC unit (21), the rectifier group (100)".
std::string PlanSummary(const SystemConfig& system);

}  // namespace runtime
