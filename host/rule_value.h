#pragma once

#include <cstdint>
#include <string>

// One alarm rule as a device hands it to the host's threshold machinery.
// Field order follows the host's record: flag, two strings, two 4-byte values,
// two strings, a 4-byte value.
struct rule_value {
  bool active = false;       // the alarm condition holds now
  std::string id;            // alarm id, e.g. "AC_0"
  std::string code;          // five-digit alarm code, e.g. "06015"
  std::int32_t level = 0;    // host-interpreted level
  std::uint32_t sequence = 0;
  std::string name;          // alarm name
  std::string text;          // alarm text (names the monitored point)
  std::uint32_t data_id = 0; // data id of the device that passed the rule
};
