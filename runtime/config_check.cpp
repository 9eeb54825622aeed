#include "runtime/config_check.h"

#include <fmt/format.h>
#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace runtime {

namespace {

const char* FileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a device";
}

}  // namespace

std::vector<std::pair<unsigned int, std::string>> DataIds(const SystemConfig& system) {
  std::vector<std::pair<unsigned int, std::string>> ids{{system.data_id, "the power system"}};
  for (const std::string list : {"acSetting", "dcSetting"}) {
    const Json::Value& units = system.settings[list];
    if (!units.isArray()) continue;
    for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
      ids.emplace_back(units[i]["data_id"].asUInt(), list + "[" + std::to_string(i) + "]");
    }
  }
  return ids;
}

namespace {

std::string UnitList(const SystemConfig& system, const char* list, const char* kind) {
  const Json::Value& units = system.settings[list];
  const Json::ArrayIndex count = units.isArray() ? units.size() : 0;
  std::string text = std::to_string(count) + " " + kind + " unit" + (count == 1 ? "" : "s");
  if (count == 0) return text;
  text += " (";
  for (Json::ArrayIndex i = 0; i < count; ++i) {
    text += (i ? ", " : "") + std::to_string(units[i]["data_id"].asUInt());
  }
  return text + ")";
}

}  // namespace

std::string PortProblem(const std::string& port) {
  struct stat status {};
  if (stat(port.c_str(), &status) != 0) {
    if (errno == ENOENT) return "serial port " + port + " does not exist";
    return "serial port " + port + " cannot be examined: " + std::strerror(errno);
  }
  if (S_ISCHR(status.st_mode)) return "";
  return "serial port " + port + " is not a character device (it is " + FileKind(status.st_mode) +
         ")";
}

std::string ServiceAccessProblem(const std::string& port, const std::vector<std::string>& groups) {
  struct stat status {};
  if (stat(port.c_str(), &status) != 0) return "";  // PortProblem names it
  const mode_t mode = status.st_mode;
  constexpr mode_t kOthersReadWrite = S_IROTH | S_IWOTH, kGroupReadWrite = S_IRGRP | S_IWGRP;
  if ((mode & kOthersReadWrite) == kOthersReadWrite) return "";
  std::string group = std::to_string(status.st_gid);
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    group = found->gr_name;
  const bool in_group = std::find(groups.begin(), groups.end(), group) != groups.end();
  if (in_group && (mode & kGroupReadWrite) == kGroupReadWrite) return "";
  std::string joined;
  for (const std::string& name : groups) joined += (joined.empty() ? "" : ",") + name;
  const std::string what = fmt::format("serial port {} (group {}, mode {:03o})", port, group,
                                       static_cast<unsigned>(mode & 0777));
  if (in_group) {
    return what + " cannot be read and written by its group; the service (groups " + joined +
           ") cannot open it: give the port mode 0660 with a udev rule (see "
           "/usr/share/doc/korvan/examples/udev/)";
  }
  return what + " cannot be opened by the service, which is in the groups " +
         (joined.empty() ? std::string("(none)") : joined) + " only: add " + group +
         " to SupplementaryGroups= (systemctl edit korvan), or give the port to " +
         (groups.empty() ? std::string("dialout") : groups.front()) +
         " with a udev rule (see /usr/share/doc/korvan/examples/udev/)";
}

void RefuseBadPorts(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems,
                    bool missing_refused) {
  std::vector<SystemConfig> kept;
  for (SystemConfig& system : systems) {
    std::string reason = PortProblem(system.port);
    if (!missing_refused && reason.find(" does not exist") != std::string::npos) reason.clear();
    if (reason.empty()) {
      kept.push_back(std::move(system));
    } else {
      problems.push_back({system.file, system.name, reason});
    }
  }
  systems = std::move(kept);
}

void RefuseSharedDataIds(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems) {
  std::map<unsigned int, std::string> taken;  // data id: which system's device has it
  std::vector<SystemConfig> kept;
  for (SystemConfig& system : systems) {
    std::string reason;
    for (const auto& [id, device] : DataIds(system)) {
      const auto other = taken.find(id);
      if (other == taken.end()) continue;
      reason = device + " has data id " + std::to_string(id) + ", which " + other->second +
               " has; data ids must differ across all systems";
      break;
    }
    if (!reason.empty()) {
      problems.push_back({system.file, system.name, reason});
      continue;
    }
    for (const auto& [id, device] : DataIds(system)) {
      taken.emplace(id, device + " of system \"" + system.name + "\" (in " + system.file + ")");
    }
    kept.push_back(std::move(system));
  }
  systems = std::move(kept);
}

void RefuseSharedPorts(std::vector<SystemConfig>& systems, std::vector<ConfigProblem>& problems) {
  std::map<std::string, std::string> taken;  // resolved port: which system has it
  std::vector<SystemConfig> kept;
  for (SystemConfig& system : systems) {
    std::string port = system.port;
    if (char* resolved = realpath(system.port.c_str(), nullptr)) {
      port = resolved;
      std::free(resolved);
    }
    const auto other = taken.find(port);
    if (other != taken.end()) {
      problems.push_back({system.file, system.name,
                          "serial port " + system.port + " is the port of " + other->second +
                              " too; each system needs a port of its own"});
      continue;
    }
    taken.emplace(port, "system \"" + system.name + "\" (in " + system.file + ")");
    kept.push_back(std::move(system));
  }
  systems = std::move(kept);
}

std::string PlanSummary(const SystemConfig& system) {
  const Json::Value& address = system.settings["address"];
  return system.name + ": port " + system.port + ", address " +
         (address.isNull() ? std::string("1 (default)") : std::to_string(address.asUInt())) +
         ", data id " + std::to_string(system.data_id) + ": " +
         UnitList(system, "acSetting", "AC") + ", " + UnitList(system, "dcSetting", "DC") +
         ", the rectifier group (" + std::to_string(system.data_id) + ")";
}

}  // namespace runtime
