#include "runtime/config_keys.h"

#include <algorithm>
#include <cctype>

namespace runtime {

namespace config_keys {

const std::vector<Key>& System() {
  static const std::vector<Key> keys{
      {"name", Kind::kText},
      {"port", Kind::kText},
      {"device_type", Kind::kText},
      {"data_id", Kind::kWholeNumber},
      {"comm_lost_after", Kind::kNumber},
      {"notify_cmd", Kind::kText},
      // The frame layer's settings.
      {"address", Kind::kWholeNumber},
      {"protocol_version", Kind::kNumberOrText},
      {"timeout_ms", Kind::kWholeNumber},
      // The bus device's children.
      {"acSetting", Kind::kArray},
      {"dcSetting", Kind::kArray},
      {"rcSetting", Kind::kObject},
  };
  return keys;
}

const std::vector<Key>& Unit() {
  static const std::vector<Key> keys{{"data_id", Kind::kWholeNumber},
                                     {"appSetting", Kind::kObject}};
  return keys;
}

const std::vector<Key>& AppSetting() {
  static const std::vector<Key> keys{{"diff_v", Kind::kNumberOrText},
                                     {"diff_i", Kind::kNumberOrText}};
  return keys;
}

const std::vector<Key>& RcSetting() {
  static const std::vector<Key> keys;
  return keys;
}

const std::vector<Key>& Runtime() {
  static const std::vector<Key> keys{{"site", Kind::kText},
                                     {"http", Kind::kObject},
                                     {"mqtt", Kind::kObject},
                                     {"nut", Kind::kObject},
                                     {"snmp", Kind::kObject}};
  return keys;
}

const std::vector<Key>& Http() {
  static const std::vector<Key> keys{
      {"listen", Kind::kText},     // "ADDR:PORT", or "PORT" on 127.0.0.1
      {"auth_file", Kind::kText},  // the token or user:password lines
  };
  return keys;
}

const std::vector<Key>& Nut() {
  static const std::vector<Key> keys{
      {"listen", Kind::kText},         // "ADDR:PORT", or "PORT" on 127.0.0.1
      {"users_file", Kind::kText},     // upsd.users form
      {"low_battery", Kind::kNumber},  // volts under which ups.status says LB
  };
  return keys;
}

const std::vector<Key>& Snmp() {
  static const std::vector<Key> keys{
      {"agentx", Kind::kText},            // snmpd's AgentX socket
      {"enterprise", Kind::kWholeNumber},  // the root of KORVAN-POWER-MIB
      {"ups_system", Kind::kText},        // the system of the UPS MIB
  };
  return keys;
}

const std::vector<Key>& Mqtt() {
  static const std::vector<Key> keys{
      {"url", Kind::kText},               // mqtt://HOST:PORT or mqtts://HOST:PORT
      {"ca_file", Kind::kText},           // CA certificates for mqtts://
      {"client_id", Kind::kText},         // default: from the site's name
      {"credentials_file", Kind::kText},  // "user:password" on its first line
      {"topic_prefix", Kind::kText},
      {"health_every", Kind::kWholeNumber},      // cycles between line-health messages
      {"keepalive", Kind::kWholeNumber},         // seconds
      {"outbox_max_rows", Kind::kWholeNumber},   // messages kept during an outage
      {"outbox_max_bytes", Kind::kWholeNumber},  // their payload bytes
      {"replay_rate", Kind::kNumber},            // messages per second of a backlog
      {"report", Kind::kText},                   // records: by-exception or every-cycle
      {"heartbeat", Kind::kWholeNumber},         // seconds: each record at least this often
      {"deadbands", Kind::kObject},              // by unit or value name
  };
  return keys;
}

namespace {

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`,
// ignoring case: "dcsettings" is as near to "dcSetting" as "dcSettings".
std::size_t Distance(const std::string& a, const std::string& b) {
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string Prefix(const std::string& where) {
  return where.empty() ? "" : where + ": ";
}

const char* KindText(Kind kind) {
  switch (kind) {
    case Kind::kText:
      return "a text";
    case Kind::kWholeNumber:
      return "a whole number";
    case Kind::kNumber:
      return "a number";
    case Kind::kNumberOrText:
      return "a number (or a text holding one)";
    case Kind::kObject:
      return "a JSON object";
    case Kind::kArray:
      return "an array";
  }
  return "";
}

const char* ValueText(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      return "null";
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return "a number";
    case Json::stringValue:
      return "a text";
    case Json::booleanValue:
      return "true or false";
    case Json::arrayValue:
      return "an array";
    case Json::objectValue:
      return "an object";
  }
  return "";
}

bool Fits(const Json::Value& value, Kind kind) {
  switch (kind) {
    case Kind::kText:
      return value.isString();
    case Kind::kWholeNumber:
      return value.isUInt() || value.isUInt64();
    case Kind::kNumber:
      return value.isNumeric() && !value.isBool();
    case Kind::kNumberOrText:
      return (value.isNumeric() && !value.isBool()) || value.isString();
    case Kind::kObject:
      return value.isObject();
    case Kind::kArray:
      return value.isArray();
  }
  return false;
}

}  // namespace

std::string UnknownKey(const Json::Value& object, const std::vector<Key>& keys,
                       const std::string& where) {
  std::string reason;
  bool list_keys = false;
  for (const std::string& name : object.getMemberNames()) {
    const auto known =
        std::find_if(keys.begin(), keys.end(), [&](const Key& key) { return name == key.name; });
    if (known != keys.end()) continue;
    reason += (reason.empty() ? Prefix(where) : "; ") + "unknown key \"" + name + "\"";
    if (keys.empty()) continue;
    const Key* nearest = &keys.front();
    for (const Key& key : keys) {
      if (Distance(name, key.name) < Distance(name, nearest->name)) nearest = &key;
    }
    // Near: at most a third of the known key's letters wrong, and at least one.
    const std::size_t allowed = std::max<std::size_t>(std::string(nearest->name).size() / 3, 1);
    if (Distance(name, nearest->name) <= allowed) {
      reason += std::string(" (did you mean \"") + nearest->name + "\"?)";
    } else {
      list_keys = true;
    }
  }
  if (reason.empty()) return reason;
  if (keys.empty()) return reason + " (it takes no keys)";
  if (list_keys) {
    std::string list;
    for (const Key& key : keys) list += (list.empty() ? "" : ", ") + std::string(key.name);
    reason += "; the known keys are " + list;
  }
  return reason;
}

std::string WrongKind(const Json::Value& object, const std::vector<Key>& keys,
                      const std::string& where) {
  for (const Key& key : keys) {
    const Json::Value& value = object[key.name];
    if (value.isNull() || Fits(value, key.kind)) continue;
    return Prefix(where) + "\"" + key.name + "\" must be " + KindText(key.kind) + ", not " +
           ValueText(value);
  }
  return "";
}

}  // namespace config_keys

}  // namespace runtime
