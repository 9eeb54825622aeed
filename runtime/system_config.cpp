#include "runtime/system_config.h"

#include <fmt/format.h>

#include <map>
#include <utility>

#include "records/json_text.h"
#include "runtime/bounded_read.h"
#include "runtime/config_keys.h"
#include "sim/power_system.h"

namespace runtime {

namespace {

bool HasControlCharacter(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The units of a system: "acSetting" and "dcSetting" are arrays of objects,
// each with a data id of its own (1..4294967295) that is neither another
// unit's nor the bus device's (the rectifier group carries the bus device's).
// The bus device would take any other form silently as no units or as id 0.
bool CheckUnits(const Json::Value& value, unsigned int bus_id, std::string& reason) {
  std::map<unsigned int, std::string> taken;  // data id: the unit that has it
  for (const std::string key : {"acSetting", "dcSetting"}) {
    const Json::Value& units = value[key];
    if (units.isNull()) continue;
    if (!units.isArray()) {
      reason = "\"" + key + "\" must be an array of unit objects";
      return false;
    }
    for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
      const std::string unit = key + "[" + std::to_string(i) + "]";
      if (!units[i].isObject()) {
        reason = unit + " must be a JSON object";
        return false;
      }
      const Json::Value& id = units[i]["data_id"];
      if (id.isNull()) {
        reason = unit + " has no \"data_id\"";
        return false;
      }
      if (!id.isUInt() || id.asUInt() == 0) {
        reason = unit + ".data_id must be a whole number from 1 to 4294967295";
        return false;
      }
      const std::string number = std::to_string(id.asUInt());
      if (id.asUInt() == bus_id) {
        reason = unit + ".data_id " + number + " is the power system's own data id";
        return false;
      }
      const auto [other, fresh] = taken.emplace(id.asUInt(), unit);
      if (!fresh) {
        reason = unit + ".data_id " + number + " is also the data id of " + other->second;
        return false;
      }
    }
  }
  return true;
}

// Every key of a system, its units, their appSetting and rcSetting is a
// known one (config_keys.h), or with `kinds` every value is of its key's
// kind. "" or the reason. A system that is its file's top level may also
// hold the runtime's settings (taken out before): they are known keys too.
std::string CheckKeys(const Json::Value& value, bool kinds, bool top_level) {
  namespace keys = config_keys;
  const auto check = [&](const Json::Value& object, const std::vector<keys::Key>& table,
                         const std::string& where) {
    return kinds ? keys::WrongKind(object, table, where) : keys::UnknownKey(object, table, where);
  };
  std::vector<keys::Key> system_keys = keys::System();
  if (top_level) {
    for (const keys::Key& key : keys::Runtime()) system_keys.push_back(key);
  }
  std::string reason = check(value, system_keys, "");
  for (const std::string list : {"acSetting", "dcSetting"}) {
    const Json::Value& units = value[list];
    if (!units.isArray()) continue;
    for (Json::ArrayIndex i = 0; i < units.size() && reason.empty(); ++i) {
      if (!units[i].isObject()) continue;  // CheckUnits names it
      const std::string unit = list + "[" + std::to_string(i) + "]";
      reason = check(units[i], keys::Unit(), unit);
      const Json::Value& app = units[i]["appSetting"];
      if (reason.empty() && app.isObject()) {
        reason = check(app, keys::AppSetting(), unit + ".appSetting");
      }
    }
  }
  if (reason.empty() && value["rcSetting"].isObject()) {
    reason = check(value["rcSetting"], keys::RcSetting(), "rcSetting");
  }
  return reason;
}

// Checks the keys that the runtime itself reads; the bus device checks the rest.
bool ReadSystem(const Json::Value& value, std::size_t index, const std::string& origin,
                bool top_level, SystemConfig& system, ConfigProblem& problem) {
  system.file = origin;
  system.name = "system-" + std::to_string(index + 1);
  problem.file = origin;
  problem.system = system.name;
  if (!value.isObject()) {
    problem.reason = "is not a JSON object";
    return false;
  }
  const Json::Value& name = value["name"];
  if (!name.isNull()) {
    if (!name.isString() || name.asString().empty()) {
      problem.reason = "\"name\" must be a non-empty text";
      return false;
    }
    if (HasControlCharacter(name.asString())) {
      problem.reason = "\"name\" must not hold control characters";
      return false;
    }
    system.name = name.asString();
    problem.system = system.name;
  }
  problem.reason = CheckKeys(value, false, top_level);
  if (!problem.reason.empty()) return false;
  const Json::Value& port = value["port"];
  if (port.isNull()) {
    problem.reason = "no serial port given (key \"port\")";
    return false;
  }
  if (port.isString() && port.asString().empty()) {
    problem.reason =
        "not configured: \"port\" is empty; set it to the power system's serial port "
        "(a /dev/serial/by-id/ path, or /dev/ttyUSB0)";
    problem.not_configured = true;
    return false;
  }
  if (!port.isString()) {
    problem.reason = "\"port\" must be the path of a serial device";
    return false;
  }
  system.port = port.asString();
  if (HasControlCharacter(system.port)) {
    problem.reason = "\"port\" must not hold control characters (such as NUL)";
    return false;
  }
  const Json::Value& type = value["device_type"];
  if (!type.isNull()) {
    if (!type.isString() || type.asString().empty()) {
      problem.reason = "\"device_type\" must be a non-empty text";
      return false;
    }
    system.device_type = type.asString();
  }
  const Json::Value& id = value["data_id"];
  if (!id.isNull()) {
    if (!id.isUInt()) {
      problem.reason = "\"data_id\" must be an unsigned whole number";
      return false;
    }
    system.data_id = id.asUInt();
  }
  const Json::Value& comm_lost = value["comm_lost_after"];
  if (!comm_lost.isNull()) {
    if (!comm_lost.isNumeric() || !(comm_lost.asDouble() >= 10) || comm_lost.asDouble() > 86400) {
      problem.reason = "\"comm_lost_after\" must be a number of seconds from 10 to 86400";
      return false;
    }
    system.comm_lost_after_s = comm_lost.asDouble();
  }
  const Json::Value& notify = value["notify_cmd"];
  if (!notify.isNull()) {
    // A NUL would cut the command short where the shell receives it.
    if (!notify.isString() || notify.asString().find('\0') != std::string::npos) {
      problem.reason = "\"notify_cmd\" must be a shell command as text (empty: none), without NUL";
      return false;
    }
    system.notify_cmd = notify.asString();
  }
  if (!CheckUnits(value, system.data_id, problem.reason)) return false;
  problem.reason = CheckKeys(value, true, top_level);  // the kinds the checks above leave
  if (!problem.reason.empty()) return false;
  system.settings = value;
  return true;
}

// The runtime's settings at the top level of `root`: their kinds, and the
// keys of "http" and "mqtt". False with the problem added when they are wrong.
bool ReadRuntimeSettings(const Json::Value& root, const std::string& origin, LoadedConfig& loaded) {
  namespace keys = config_keys;
  std::string reason = keys::WrongKind(root, keys::Runtime(), "");
  for (const auto& [name, table] :
       {std::pair<const char*, const std::vector<keys::Key>*>{"http", &keys::Http()},
        {"mqtt", &keys::Mqtt()},
        {"nut", &keys::Nut()},
        {"snmp", &keys::Snmp()}}) {
    const Json::Value& section = root[name];
    if (!reason.empty() || !section.isObject()) continue;
    reason = keys::UnknownKey(section, *table, name);
    if (reason.empty()) reason = keys::WrongKind(section, *table, name);
  }
  if (!reason.empty()) {
    loaded.problems.push_back({origin, "", reason});
    return false;
  }
  RuntimeSettings& settings = loaded.settings;
  if (root.isMember("site")) {
    settings.site = root["site"].asString();
    settings.site_file = origin;
  }
  if (root.isMember("http")) {
    settings.http = root["http"];
    settings.http_file = origin;
  }
  if (root.isMember("mqtt")) {
    settings.mqtt = root["mqtt"];
    settings.mqtt_file = origin;
  }
  if (root.isMember("nut")) {
    settings.nut = root["nut"];
    settings.nut_file = origin;
  }
  if (root.isMember("snmp")) {
    settings.snmp = root["snmp"];
    settings.snmp_file = origin;
  }
  return true;
}

}  // namespace

std::string ConfigProblem::Message() const {
  if (system.empty()) return file + ": " + reason;
  return file + ": system \"" + system + "\": " + reason;
}

LoadedConfig ParseConfig(const std::string& text, const std::string& origin) {
  LoadedConfig loaded;
  Json::Value root;
  std::string errors;
  if (!json_text::Parse(text, true, root, errors)) {
    loaded.problems.push_back({origin, "", "not valid JSON: " + errors});
    return loaded;
  }
  if (!root.isObject()) {
    loaded.problems.push_back({origin, "", "must hold a JSON object"});
    return loaded;
  }
  if (!ReadRuntimeSettings(root, origin, loaded)) return loaded;
  Json::Value systems;
  if (root.isMember("systems")) {
    std::vector<config_keys::Key> keys = config_keys::Runtime();
    keys.push_back({"systems", config_keys::Kind::kArray});
    const std::string unknown = config_keys::UnknownKey(root, keys, "");
    if (!unknown.empty()) {
      loaded.problems.push_back({origin, "",
                                 unknown + " (a file with \"systems\" holds nothing else " +
                                     "but \"site\", \"http\", \"mqtt\", \"nut\" and \"snmp\")"});
      return loaded;
    }
    systems = root["systems"];
    if (!systems.isArray() || systems.empty()) {
      loaded.problems.push_back({origin, "", "\"systems\" must be a non-empty array"});
      return loaded;
    }
  } else {
    Json::Value system = root;
    for (const config_keys::Key& key : config_keys::Runtime()) system.removeMember(key.name);
    systems.append(system);
  }
  for (Json::ArrayIndex i = 0; i < systems.size(); ++i) {
    SystemConfig system;
    ConfigProblem problem;
    if (ReadSystem(systems[i], i, origin, !root.isMember("systems"), system, problem)) {
      loaded.systems.push_back(std::move(system));
    } else {
      loaded.problems.push_back(std::move(problem));
    }
  }
  RefuseRepeatedNames(loaded.systems, loaded.problems);
  return loaded;
}

void RefuseRepeatedNames(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems) {
  std::map<std::string, std::string> files;  // name: the file of the first system so named
  std::vector<SystemConfig> kept;
  for (SystemConfig& system : systems) {
    const auto [first, fresh] = files.emplace(system.name, system.file);
    if (fresh) {
      kept.push_back(std::move(system));
      continue;
    }
    problems.push_back({system.file, system.name,
                        "another system (in " + first->second + ") has the same name; give " +
                            "each system a \"name\" of its own"});
  }
  systems = std::move(kept);
}

LoadedConfig LoadConfigFile(const std::string& path) {
  std::string text, error;
  if (!ReadFileBounded(path, kMaxConfigBytes, text, error, true)) {
    LoadedConfig loaded;
    loaded.problems.push_back({path, "", error});
    return loaded;
  }
  return ParseConfig(text, path);
}

LoadedConfig LoadConfigFiles(const std::vector<std::string>& paths) {
  LoadedConfig all;
  const auto take = [&all](const std::string& path, const std::string& file,
                           const std::string& first_file, const char* name) {
    if (file.empty()) return false;
    if (first_file.empty()) return true;
    all.problems.push_back({path, "",
                            std::string("\"") + name + "\" is also given in " + first_file +
                                "; give it in one file only"});
    return false;
  };
  for (const std::string& path : paths) {
    LoadedConfig loaded = LoadConfigFile(path);
    for (SystemConfig& system : loaded.systems) all.systems.push_back(std::move(system));
    for (ConfigProblem& problem : loaded.problems) all.problems.push_back(std::move(problem));
    RuntimeSettings& from = loaded.settings;
    RuntimeSettings& to = all.settings;
    if (take(path, from.site_file, to.site_file, "site")) {
      to.site = from.site;
      to.site_file = from.site_file;
    }
    if (take(path, from.http_file, to.http_file, "http")) {
      to.http = from.http;
      to.http_file = from.http_file;
    }
    if (take(path, from.mqtt_file, to.mqtt_file, "mqtt")) {
      to.mqtt = from.mqtt;
      to.mqtt_file = from.mqtt_file;
    }
    if (take(path, from.nut_file, to.nut_file, "nut")) {
      to.nut = from.nut;
      to.nut_file = from.nut_file;
    }
    if (take(path, from.snmp_file, to.snmp_file, "snmp")) {
      to.snmp = from.snmp;
      to.snmp_file = from.snmp_file;
    }
  }
  RefuseRepeatedNames(all.systems, all.problems);
  return all;
}

SystemConfig ForSimulatedSystem(const ::SystemConfig& sim, const std::string& name,
                                const std::string& port, unsigned int data_id) {
  Json::Value settings(Json::objectValue);
  settings["name"] = name;
  settings["port"] = port;
  settings["data_id"] = data_id;
  settings["address"] = sim.address;
  settings["protocol_version"] = fmt::format("{:02X}h", sim.version);
  settings["acSetting"] = Json::Value(Json::arrayValue);
  for (std::size_t i = 0; i < sim.ac_channels.size(); ++i) {
    Json::Value unit(Json::objectValue);
    unit["data_id"] = static_cast<Json::UInt>(11 + i);
    settings["acSetting"].append(unit);
  }
  settings["dcSetting"] = Json::Value(Json::arrayValue);
  for (int i = 0; i < sim.dc_units; ++i) {
    Json::Value unit(Json::objectValue);
    unit["data_id"] = static_cast<Json::UInt>(21 + i);
    settings["dcSetting"].append(unit);
  }
  settings["rcSetting"] = Json::Value(Json::objectValue);

  SystemConfig config;
  config.file = "(" + name + ")";
  config.name = name;
  config.port = port;
  config.data_id = data_id;
  config.settings = settings;
  return config;
}

namespace {

// (data_id, place) of the AC units, then of the DC units, in configuration order.
using UnitPlaces = std::vector<std::pair<std::uint64_t, int>>;

UnitPlaces PlacesOf(const SystemConfig& system) {
  UnitPlaces places;
  for (const char* key : {"acSetting", "dcSetting"}) {
    const Json::Value& units = system.settings[key];
    if (!units.isArray()) continue;
    for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
      if (!units[i].isObject()) continue;
      const Json::Value& id = units[i]["data_id"];
      if (id.isUInt64()) places.emplace_back(id.asLargestUInt(), static_cast<int>(i) + 1);
    }
  }
  return places;
}

int PlaceIn(const UnitPlaces& places, std::uint32_t data_id) {
  for (const auto& [id, place] : places) {
    if (id == data_id) return place;
  }
  return 1;
}

}  // namespace

int UnitPlace(const SystemConfig& system, std::uint32_t data_id) {
  return PlaceIn(PlacesOf(system), data_id);
}

std::function<int(std::uint32_t)> UnitPlaceLookup(const SystemConfig& system) {
  return [places = PlacesOf(system)](std::uint32_t data_id) { return PlaceIn(places, data_id); };
}

}  // namespace runtime
