#pragma once

#include <string>

// One state change of the simulator, as typed on its command line or written
// in a scenario file. Unit, channel, module and fuse numbers are 1-based, as
// the controller's alarm texts count them:
//   ac-undervoltage UNIT CHANNEL on|off
//   missing-phase UNIT CHANNEL A|B|C on|off
//   rectifier-fault MODULE on|off
//   battery-fuse DC-UNIT FUSE on|off        (FUSE 1..20)
//   lvd1 DC-UNIT on|off                     (first-stage low-voltage disconnection)
//   model NAME
//   rectifiers COUNT                        (modules plugged in or pulled out, 0..60)
//   ac-channels UNIT COUNT                  (input channels of an AC unit, 0..8)
//   silent on|off                           (no replies at all)
//   corrupt RATE                            (share of replies corrupted, 0..1)
//   wait SECONDS                            (scenario files: pause before the next line)
// Blank lines and text after '#' are ignored.
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
    kSilent,
    kCorrupt,
    kWait
  };
  Kind kind = Kind::kNone;
  int unit = 0;     // 0-based
  int channel = 0;  // 0-based channel, module or fuse
  int count = 0;    // modules or channels
  int phase = 0;    // 0..2 for A..C
  bool on = false;
  double value = 0;  // rate or seconds
  std::string text;  // model name
};

// Parses one line; false with `error` when it is not a command.
bool ParseCommand(const std::string& line, Command& command, std::string& error);
