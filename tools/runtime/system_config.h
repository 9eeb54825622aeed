#pragma once

#include <json/value.h>

#include <string>
#include <vector>

struct SystemConfig;  // the simulator's description of a power system (sim/)

namespace runtime {

// One power system as a configuration file describes it.
struct SystemConfig {
  std::string file;  // where it was read, for messages
  std::string name;
  std::string port;  // serial device path
  std::string device_type = "korvan";
  unsigned int data_id = 0;
  // The system's object as the bus device's Init and InitSetting receive it:
  // "data_id", "acSetting", "dcSetting", "rcSetting", "address", "timeout_ms".
  Json::Value settings;
};

// Why a file or one of its systems cannot run.
struct ConfigProblem {
  std::string file;
  std::string system;  // empty when the whole file is affected
  std::string reason;
  // "FILE: REASON" or "FILE: system "NAME": REASON".
  std::string Message() const;
};

struct LoadedConfig {
  std::vector<SystemConfig> systems;
  std::vector<ConfigProblem> problems;
};

// A file holds one system object, or {"systems": [ ... ]} for several.
// Keys of a system besides the bus device's: "name" (default "system-N",
// N counting from 1), "port" (required), "device_type" (default "korvan").
LoadedConfig LoadConfigFile(const std::string& path);
LoadedConfig ParseConfig(const std::string& text, const std::string& origin);

// The configuration of a simulated system on `port`: AC units get data ids
// 11, 12, ..., DC units 21, 22, ..., and the rectifier group the system's id.
SystemConfig ForSimulatedSystem(const ::SystemConfig& sim, const std::string& name,
                                const std::string& port, unsigned int data_id);

}  // namespace runtime
