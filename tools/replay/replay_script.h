#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace replay {

// Which device of the power system a step addresses.
struct DeviceRef {
  enum class Kind { kBus, kRectifiers, kDataId };
  Kind kind = Kind::kBus;
  unsigned int data_id = 0;  // kDataId: a child found by GetChildVDevice
};

// The most seconds an age or clock step moves a time by: about 10000
// years, the whole range the host clock can hold.
constexpr long long kMaxSeconds = 316224000000;

// The largest script read.
constexpr std::size_t kMaxScriptBytes = 64 * 1024 * 1024;

struct Step {
  enum class Kind { kRefresh, kReply, kAge, kRead, kRestore, kJobs, kClock, kLose };
  Kind kind = Kind::kRefresh;
  // reply
  std::uint8_t group = 0;
  std::uint8_t return_code = 0;
  std::optional<std::uint8_t> version;  // default: the device's protocol version
  std::optional<std::uint8_t> address;  // default: the device's address
  std::vector<unsigned char> bytes;     // reply: INFO; restore: the blob
  // age, read, restore
  DeviceRef device;
  long long seconds = 0;  // age: seconds back; clock: seconds forward
  std::string name;       // read: the point name
  // clock: an absolute time, else `seconds` forward
  std::optional<boost::posix_time::ptime> time;
};

// A replay script: the device, its configuration and the steps.
struct Script {
  std::string device_type = "korvan";
  unsigned int data_id = 1;
  Json::Value config;  // as InitSetting receives it
  boost::posix_time::ptime start;
  bool batch_result = false;  // what DoBatchCheckThreshold answers
  std::vector<Step> steps;
};

// Where a script is wrong: a step index (0-based) or the script as a whole (-1).
struct ScriptError {
  int step = -1;
  std::string message;
  // "step N: MESSAGE", or "script: MESSAGE".
  std::string Text() const;
};

// The default start time of the replay clock.
boost::posix_time::ptime DefaultStart();

// Parses the JSON text of a script; false with `error` set when it is not one.
bool ParseScript(const std::string& text, Script& script, ScriptError& error);

// "bus", "rc", or the data id in decimal.
std::string DescribeDevice(const DeviceRef& device);

}  // namespace replay
