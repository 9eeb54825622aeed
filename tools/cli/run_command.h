#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli/polling_options.h"

namespace cli {

// Polls the power systems of the configuration files on their serial ports.
int RunConfigured(const std::vector<std::string>& files, const PollingOptions& options,
                  std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted);

}  // namespace cli
