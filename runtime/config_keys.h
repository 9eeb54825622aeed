#pragma once

#include <json/value.h>

#include <string>
#include <vector>

namespace runtime {

// The keys a configuration file may hold, in one place: a key that no table
// has is refused (a typo such as "dcSettings" would otherwise be taken as no
// DC units). Add a key here together with the code that reads it.
namespace config_keys {

// What a key's value must be.
enum class Kind {
  kText,
  kWholeNumber,   // an unsigned integer
  kNumber,        // any number
  kNumberOrText,  // a number, or a text holding one ("0.5")
  kObject,
  kArray,
};

struct Key {
  const char* name;
  Kind kind;
};

// A power system's object (also the top level of a file with one system).
const std::vector<Key>& System();
// An element of "acSetting" and "dcSetting".
const std::vector<Key>& Unit();
// A unit's "appSetting": its alarm thresholds.
const std::vector<Key>& AppSetting();
// "rcSetting": the rectifier group takes no settings of its own.
const std::vector<Key>& RcSetting();
// The runtime's settings at a file's top level: "site", "http", "mqtt", "nut",
// "snmp".
const std::vector<Key>& Runtime();
// "http": the HTTP server's settings.
const std::vector<Key>& Http();
// "mqtt": the MQTT uplink's settings.
const std::vector<Key>& Mqtt();
// "nut": the NUT network server's settings.
const std::vector<Key>& Nut();
// "snmp": the SNMP agent's settings.
const std::vector<Key>& Snmp();

// "" or why `object` (an object) has a key that `keys` does not: the unknown
// key, and the nearest known one when one is close. `where` ("acSetting[0]")
// begins the reason.
std::string UnknownKey(const Json::Value& object, const std::vector<Key>& keys,
                       const std::string& where);
// "" or why the value of a known key in `object` is of another kind.
std::string WrongKind(const Json::Value& object, const std::vector<Key>& keys,
                      const std::string& where);

}  // namespace config_keys

}  // namespace runtime
