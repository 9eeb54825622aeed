#include "sim/commands.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

bool Number(const std::string& word, int& out) {
  char* end = nullptr;
  const long value = std::strtol(word.c_str(), &end, 10);
  if (word.empty() || *end != '\0' || value < 1 || value > 255) return false;
  out = static_cast<int>(value) - 1;
  return true;
}

bool Count(const std::string& word, int limit, int& out) {
  char* end = nullptr;
  const long value = std::strtol(word.c_str(), &end, 10);
  if (word.empty() || *end != '\0' || value < 0 || value > limit) return false;
  out = static_cast<int>(value);
  return true;
}

bool Switch(const std::string& word, bool& out) {
  if (word == "on") return out = true, true;
  if (word == "off") return out = false, true;
  return false;
}

bool Real(const std::string& word, double& out) {
  char* end = nullptr;
  out = std::strtod(word.c_str(), &end);
  return !word.empty() && *end == '\0' && out >= 0;
}

}  // namespace

bool ParseCommand(const std::string& line, Command& command, std::string& error) {
  command = Command();
  std::istringstream stream(line.substr(0, line.find('#')));
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  if (words.empty()) return true;
  const std::string& verb = words[0];
  auto usage = [&](const char* form) {
    error = "usage: " + std::string(form);
    return false;
  };
  using Kind = Command::Kind;
  if (verb == "ac-undervoltage") {
    command.kind = Kind::kAcUnderVoltage;
    if (words.size() != 4 || !Number(words[1], command.unit) ||
        !Number(words[2], command.channel) || !Switch(words[3], command.on)) {
      return usage("ac-undervoltage UNIT CHANNEL on|off");
    }
  } else if (verb == "missing-phase") {
    command.kind = Kind::kMissingPhase;
    const std::string phases = "ABC";
    if (words.size() != 5 || !Number(words[1], command.unit) ||
        !Number(words[2], command.channel) || words[3].size() != 1 ||
        phases.find(words[3][0]) == std::string::npos || !Switch(words[4], command.on)) {
      return usage("missing-phase UNIT CHANNEL A|B|C on|off");
    }
    command.phase = static_cast<int>(phases.find(words[3][0]));
  } else if (verb == "rectifier-fault") {
    command.kind = Kind::kRectifierFault;
    if (words.size() != 3 || !Number(words[1], command.channel) || !Switch(words[2], command.on)) {
      return usage("rectifier-fault MODULE on|off");
    }
  } else if (verb == "battery-fuse") {
    command.kind = Kind::kBatteryFuse;
    if (words.size() != 4 || !Number(words[1], command.unit) ||
        !Number(words[2], command.channel) || !Switch(words[3], command.on)) {
      return usage("battery-fuse DC-UNIT FUSE on|off");
    }
  } else if (verb == "lvd1") {
    command.kind = Kind::kLowVoltageDisconnect1;
    if (words.size() != 3 || !Number(words[1], command.unit) || !Switch(words[2], command.on)) {
      return usage("lvd1 DC-UNIT on|off");
    }
  } else if (verb == "model") {
    command.kind = Kind::kModel;
    if (words.size() != 2 || words[1].size() > 20)
      return usage("model NAME (at most 20 characters)");
    command.text = words[1];
  } else if (verb == "rectifiers") {
    command.kind = Kind::kRectifierCount;
    if (words.size() != 2 || !Count(words[1], 60, command.count)) {
      return usage("rectifiers COUNT (0 to 60)");
    }
  } else if (verb == "ac-channels") {
    command.kind = Kind::kAcChannelCount;
    if (words.size() != 3 || !Number(words[1], command.unit) ||
        !Count(words[2], 8, command.count)) {
      return usage("ac-channels UNIT COUNT (0 to 8)");
    }
  } else if (verb == "silent") {
    command.kind = Kind::kSilent;
    if (words.size() != 2 || !Switch(words[1], command.on)) return usage("silent on|off");
  } else if (verb == "corrupt") {
    command.kind = Kind::kCorrupt;
    if (words.size() != 2 || !Real(words[1], command.value) || command.value > 1) {
      return usage("corrupt RATE (0 to 1)");
    }
  } else if (verb == "wait") {
    command.kind = Kind::kWait;
    if (words.size() != 2 || !Real(words[1], command.value)) return usage("wait SECONDS");
  } else {
    error = "unknown command \"" + verb + "\"";
    return false;
  }
  return true;
}
