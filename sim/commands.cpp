#include "sim/commands.h"

#include <algorithm>
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

std::string Usage(const CommandForm& form) {
  std::string text = std::string(form.verb) + " " + form.arguments;
  if (*form.limits != '\0') text += std::string(" (") + form.limits + ")";
  return text;
}

// Reads the arguments `words` (the verb first) of the command `kind`.
bool ParseArguments(Command::Kind kind, const std::vector<std::string>& words, Command& command) {
  using Kind = Command::Kind;
  const std::size_t n = words.size();
  switch (kind) {
    case Kind::kAcUnderVoltage:
      return n == 4 && Number(words[1], command.unit) && Number(words[2], command.channel) &&
             Switch(words[3], command.on);
    case Kind::kMissingPhase: {
      const std::string phases = "ABC";
      if (n != 5 || !Number(words[1], command.unit) || !Number(words[2], command.channel) ||
          words[3].size() != 1 || phases.find(words[3][0]) == std::string::npos ||
          !Switch(words[4], command.on)) {
        return false;
      }
      command.phase = static_cast<int>(phases.find(words[3][0]));
      return true;
    }
    case Kind::kRectifierFault:
      return n == 3 && Number(words[1], command.channel) && Switch(words[2], command.on);
    case Kind::kBatteryFuse:
      return n == 4 && Number(words[1], command.unit) && Number(words[2], command.channel) &&
             Switch(words[3], command.on);
    case Kind::kLowVoltageDisconnect1:
      return n == 3 && Number(words[1], command.unit) && Switch(words[2], command.on);
    case Kind::kModel:
      if (n != 2 || words[1].size() > 20) return false;
      command.text = words[1];
      return true;
    case Kind::kRectifierCount:
      return n == 2 && Count(words[1], 60, command.count);
    case Kind::kAcChannelCount:
      return n == 3 && Number(words[1], command.unit) && Count(words[2], 8, command.count);
    case Kind::kMainsFailure:
      return n == 2 && Switch(words[1], command.on);
    case Kind::kDcVoltage:
      if (n == 3 && words[2] == "off") {
        command.value = 0;
        return Number(words[1], command.unit);
      }
      return n == 3 && Number(words[1], command.unit) && Real(words[2], command.value) &&
             command.value > 0 && command.value <= 100;
    case Kind::kSilent:
      return n == 2 && Switch(words[1], command.on);
    case Kind::kCorrupt:
      return n == 2 && Real(words[1], command.value) && command.value <= 1;
    case Kind::kWait:
      return n == 2 && Real(words[1], command.value);
    case Kind::kNone:
      break;
  }
  return false;
}

}  // namespace

const std::vector<CommandForm>& CommandForms() {
  using Kind = Command::Kind;
  static const std::vector<CommandForm> forms{
      {Kind::kAcUnderVoltage, "ac-undervoltage", "UNIT CHANNEL on|off", "",
       "undervoltage on an input channel of an AC unit"},
      {Kind::kMissingPhase, "missing-phase", "UNIT CHANNEL A|B|C on|off", "",
       "a phase missing on an input channel of an AC unit"},
      {Kind::kRectifierFault, "rectifier-fault", "MODULE on|off", "", "a rectifier module's fault"},
      {Kind::kBatteryFuse, "battery-fuse", "DC-UNIT FUSE on|off", "FUSE 1 to 20",
       "a blown battery fuse of a DC unit"},
      {Kind::kLowVoltageDisconnect1, "lvd1", "DC-UNIT on|off", "",
       "first-stage low-voltage disconnection of a DC unit"},
      {Kind::kModel, "model", "NAME", "at most 20 characters",
       "the model name the power system reports"},
      {Kind::kRectifierCount, "rectifiers", "COUNT", "0 to 60",
       "rectifier modules plugged in or pulled out"},
      {Kind::kAcChannelCount, "ac-channels", "UNIT COUNT", "0 to 8",
       "the input channels of an AC unit"},
      {Kind::kMainsFailure, "mains-failure", "on|off", "",
       "no AC input: every phase missing, the batteries carry the load"},
      {Kind::kDcVoltage, "dc-voltage", "DC-UNIT VOLTS|off", "VOLTS above 0 to 100",
       "hold the DC bus voltage of a DC unit (off: it drifts again)"},
      {Kind::kSilent, "silent", "on|off", "", "no replies at all"},
      {Kind::kCorrupt, "corrupt", "RATE", "0 to 1", "the share of replies corrupted"},
      {Kind::kWait, "wait", "SECONDS", "",
       "scenario files: pause before the next line (elsewhere: nothing)"},
  };
  return forms;
}

std::string CommandHelp() {
  std::size_t width = 0;
  for (const CommandForm& form : CommandForms()) {
    width = std::max(width, std::string(form.verb).size() + 1 + std::string(form.arguments).size());
  }
  std::string text;
  for (const CommandForm& form : CommandForms()) {
    std::string line = std::string("  ") + form.verb + " " + form.arguments;
    line.resize(width + 4, ' ');
    line += form.meaning;
    if (*form.limits != '\0') line += std::string(" (") + form.limits + ")";
    text += line + "\n";
  }
  return text;
}

bool ParseCommand(const std::string& line, Command& command, std::string& error) {
  command = Command();
  std::istringstream stream(line.substr(0, line.find('#')));
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  if (words.empty()) return true;
  const CommandForm* form = nullptr;
  for (const CommandForm& candidate : CommandForms()) {
    if (words[0] == candidate.verb) form = &candidate;
  }
  if (form == nullptr) {
    error = "unknown command \"" + words[0] + "\"";
    return false;
  }
  command.kind = form->kind;
  if (!ParseArguments(form->kind, words, command)) {
    error = "usage: " + Usage(*form);
    return false;
  }
  return true;
}
