#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli/polling_options.h"

namespace cli {

// The simulated power system and how the runtime sees it.
struct SimulateOptions {
  std::string ac = "1";  // channels of each AC unit, comma-separated; "none" for no AC unit
  int dc_units = 1;
  int rectifier_modules = 3;
  std::string model = "KORVAN3";
  unsigned int data_id = 100;         // the bus device's; AC units get 11, 12.., DC units 21, 22..
  std::string scenario;               // scenario file played while polling
  std::vector<std::string> settings;  // simulator commands applied at start
  bool silent = false;
  std::string protocol_version = "20h";  // hex text such as "21h", or a number
};

// Starts the simulator on a pseudo-terminal in this process and polls it.
int RunSimulated(const SimulateOptions& simulate, const PollingOptions& options, std::ostream& out,
                 std::ostream& err, const std::atomic<bool>& interrupted);

}  // namespace cli
