#pragma once

#include <cstddef>
#include <string>

// The AC channel point that a name asks for, found the way the point names
// are defined: a search for the ECMAScript pattern "channel_(\d+)_(.+?)"
// anywhere in the name, with std::regex. The fuzz targets compare the unit's
// own matcher with it.
struct ChannelPointAnswer {
  bool found = false;
  std::size_t index = 0;  // group 1 in decimal, saturated at SIZE_MAX
  char key = 0;           // group 2: one character
};

// Names longer than this make std::regex recurse too deep to be asked.
constexpr std::size_t kChannelPointOracleLimit = 200;

ChannelPointAnswer AskChannelPointOracle(const std::string& name);
