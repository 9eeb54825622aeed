#pragma once

#include <string>
#include <vector>

// One state change of the simulator, as typed on its command line or written
// in a scenario file. Unit, channel, module and fuse numbers are 1-based, as
// the controller's alarm texts count them. CommandForms() lists every command
// with its arguments and meaning. Blank lines and text after '#' are ignored.
struct Command {
  enum class Kind {
    kNone,
    kAcUnderVoltage,
    kMissingPhase,
    kRectifierFault,
    kBatteryFuse,
    kLowVoltageDisconnect1,
    kModel,
    kRectifierCount,
    kAcChannelCount,
    kMainsFailure,
    kDcVoltage,
    kSilent,
    kCorrupt,
    kWait,
    kLast = kWait
  };
  Kind kind = Kind::kNone;
  int unit = 0;     // 0-based
  int channel = 0;  // 0-based channel, module or fuse
  int count = 0;    // modules or channels
  int phase = 0;    // 0..2 for A..C
  bool on = false;
  double value = 0;  // rate, seconds or volts
  std::string text;  // model name
};

// A command as the parser takes it: the table behind the parser's usage
// texts, korvan-sim's --help and its "help" command, so that they agree.
struct CommandForm {
  Command::Kind kind;
  const char* verb;
  const char* arguments;  // "UNIT CHANNEL on|off"
  const char* limits;     // the arguments' bounds ("0 to 60"), or ""
  const char* meaning;
};

// Every command, in the order help lists them.
const std::vector<CommandForm>& CommandForms();

// One line per command: its verb and arguments, then its meaning and bounds.
std::string CommandHelp();

// Parses one line; false with `error` when it is not a command.
bool ParseCommand(const std::string& line, Command& command, std::string& error);
