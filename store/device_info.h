#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace runtime {

struct SystemConfig;

// What a data id is, as the store's devices table tells it: the system it
// belongs to and which of that system's units.
struct DeviceInfo {
  std::uint32_t data_id = 0;
  std::string system;
  std::string kind;  // "ac", "dc" or "rectifiers"
  // Position among the system's units of its kind in configuration order,
  // from 1; 1 for the rectifier group.
  int unit = 0;
  int record_type = 0;
};

// The devices of a configured system: its AC units ("acSetting"), its DC
// units ("dcSetting"), then its rectifier group, which has the bus device's
// data id.
std::vector<DeviceInfo> DevicesOf(const SystemConfig& system);

}  // namespace runtime
