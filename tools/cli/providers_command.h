#pragma once

#include <ostream>
#include <string>

namespace cli {

// Lists the device types that the plug-in's providers make.
int ListProviders(const std::string& plugin_path, std::ostream& out, std::ostream& err);

}  // namespace cli
