#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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
  // "comm_lost_after": seconds without a completed cycle after which
  // communication counts as lost; 0: the runtime's default.
  double comm_lost_after_s = 0;
  // "notify_cmd": the shell command run for this system's alarm and
  // communication events instead of --notify-cmd; empty: none. Unset: the option's.
  std::optional<std::string> notify_cmd;
  // The system's object as the bus device's Init and InitSetting receive it:
  // "data_id", "acSetting", "dcSetting", "rcSetting", "address", "timeout_ms".
  Json::Value settings;
};

// The place of the unit with `data_id` among the system's AC or DC units in
// configuration order, from 1; 1 for any other device (the rectifier group).
int UnitPlace(const SystemConfig& system, std::uint32_t data_id);
// UnitPlace of `system` as it is now, its places read once: for each record
// a polling thread publishes.
std::function<int(std::uint32_t)> UnitPlaceLookup(const SystemConfig& system);

// Why a file or one of its systems cannot run.
struct ConfigProblem {
  std::string file;
  std::string system;  // empty when the whole file is affected
  std::string reason;
  // The system names no port yet (the package's file as installed): it is
  // waiting for its administrator, not wrong.
  bool not_configured = false;
  // "FILE: REASON" or "FILE: system "NAME": REASON".
  std::string Message() const;
};

// Settings of the runtime as a whole, which a file may hold beside its
// systems: "site" (a text naming the site, for the outputs that leave the
// controller), "http", "mqtt", "nut" and "snmp" (objects, see
// config_keys::Http(), Mqtt(), Nut() and Snmp()). Each may be given by one file only; the command
// line's options override them.
struct RuntimeSettings {
  std::string site;
  Json::Value http;                             // null: not given
  Json::Value mqtt;                             // null: not given
  Json::Value nut;                              // null: not given
  std::string http_file, mqtt_file, site_file;  // where each was read
  Json::Value snmp;                             // null: not given
  std::string nut_file, snmp_file;
};

struct LoadedConfig {
  std::vector<SystemConfig> systems;
  std::vector<ConfigProblem> problems;
  RuntimeSettings settings;
};

// The largest configuration file read.
constexpr std::size_t kMaxConfigBytes = 1024 * 1024;

// A file holds one system object, or {"systems": [ ... ]} for several, and
// nothing after it; either form may also hold the runtime's settings
// ("site", "http", "mqtt") at its top level. Keys of a system besides the bus device's: "name"
// (default "system-N", N counting from 1), "port" (required), "device_type"
// (default "korvan"), "comm_lost_after" and "notify_cmd". Names and ports hold no control
// characters; the units of "acSetting" and "dcSetting" must be arrays of objects with data ids of
// their own. Systems whose name an earlier one has are refused.
LoadedConfig LoadConfigFile(const std::string& path);
LoadedConfig ParseConfig(const std::string& text, const std::string& origin);
// Every file's systems and problems together, the runtime's settings from
// the one file that gives each (a second file giving the same one is a
// problem), and systems whose name an earlier one has refused.
LoadedConfig LoadConfigFiles(const std::vector<std::string>& paths);

// Moves every system whose name an earlier one has to `problems`: captures
// and summaries tell systems apart by name.
void RefuseRepeatedNames(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems);

// The configuration of a simulated system on `port`: AC units get data ids
// 11, 12, ..., DC units 21, 22, ..., and the rectifier group the system's id.
SystemConfig ForSimulatedSystem(const ::SystemConfig& sim, const std::string& name,
                                const std::string& port, unsigned int data_id);

}  // namespace runtime
