#include "tools/runtime/system_config.h"

#include <fmt/format.h>
#include <json/reader.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "sim/power_system.h"

namespace runtime {

namespace {

// Checks the keys that the runtime itself reads; the bus device checks the rest.
bool ReadSystem(const Json::Value& value, std::size_t index, const std::string& origin,
                SystemConfig& system, ConfigProblem& problem) {
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
    system.name = name.asString();
    problem.system = system.name;
  }
  const Json::Value& port = value["port"];
  if (port.isNull()) {
    problem.reason = "no serial port given (key \"port\")";
    return false;
  }
  if (!port.isString() || port.asString().empty()) {
    problem.reason = "\"port\" must be the path of a serial device";
    return false;
  }
  system.port = port.asString();
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
  system.settings = value;
  return true;
}

}  // namespace

std::string ConfigProblem::Message() const {
  if (system.empty()) return file + ": " + reason;
  return file + ": system \"" + system + "\": " + reason;
}

LoadedConfig ParseConfig(const std::string& text, const std::string& origin) {
  LoadedConfig loaded;
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
    loaded.problems.push_back({origin, "", "not valid JSON: " + errors});
    return loaded;
  }
  if (!root.isObject()) {
    loaded.problems.push_back({origin, "", "must hold a JSON object"});
    return loaded;
  }
  Json::Value systems;
  if (root.isMember("systems")) {
    systems = root["systems"];
    if (!systems.isArray() || systems.empty()) {
      loaded.problems.push_back({origin, "", "\"systems\" must be a non-empty array"});
      return loaded;
    }
  } else {
    systems.append(root);
  }
  for (Json::ArrayIndex i = 0; i < systems.size(); ++i) {
    SystemConfig system;
    ConfigProblem problem;
    if (ReadSystem(systems[i], i, origin, system, problem)) {
      loaded.systems.push_back(std::move(system));
    } else {
      loaded.problems.push_back(std::move(problem));
    }
  }
  return loaded;
}

LoadedConfig LoadConfigFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    const int error = errno;
    LoadedConfig loaded;
    loaded.problems.push_back({path, "", std::string("cannot read: ") + std::strerror(error)});
    return loaded;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    LoadedConfig loaded;
    loaded.problems.push_back({path, "", "cannot read: read error"});
    return loaded;
  }
  return ParseConfig(text.str(), path);
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

}  // namespace runtime
