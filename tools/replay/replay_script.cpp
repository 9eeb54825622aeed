#include "tools/replay/replay_script.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "records/json_text.h"
#include "tools/replay/hex_text.h"

namespace replay {

namespace {

using Kind = Step::Kind;

struct StepForm {
  Kind kind;
  std::set<std::string> members;  // besides "do"
};

const std::map<std::string, StepForm>& StepForms() {
  static const std::map<std::string, StepForm> forms = {
      {"refresh", {Kind::kRefresh, {}}},
      {"reply", {Kind::kReply, {"group", "info", "rtn", "version", "address"}}},
      {"age", {Kind::kAge, {"device", "seconds"}}},
      {"read", {Kind::kRead, {"device", "name"}}},
      {"restore", {Kind::kRestore, {"device", "blob"}}},
      {"jobs", {Kind::kJobs, {}}},
      {"clock", {Kind::kClock, {"time", "advance"}}},
      {"lose", {Kind::kLose, {}}},
  };
  return forms;
}

// Fails a parse with a message; used as `return Fail(...)`.
class Failure {
 public:
  Failure(ScriptError& error, int step) : error_(error), step_(step) {}
  bool operator()(const std::string& message) {
    error_.step = step_;
    error_.message = message;
    return false;
  }

 private:
  ScriptError& error_;
  int step_;
};

std::optional<int> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// A byte given as hexadecimal text ("40", "40h") or as a number 0..255.
std::optional<std::uint8_t> ByteValue(const Json::Value& value) {
  if (value.isIntegral() && !value.isBool()) {
    if (!value.isInt64()) return std::nullopt;  // asLargestInt would throw
    if (value.asLargestInt() < 0 || value.asLargestInt() > 0xFF) return std::nullopt;
    return static_cast<std::uint8_t>(value.asLargestInt());
  }
  if (!value.isString()) return std::nullopt;
  std::string text = value.asString();
  if (!text.empty() && (text.back() == 'h' || text.back() == 'H')) text.pop_back();
  if (text.empty() || text.size() > 2) return std::nullopt;
  int result = 0;
  for (char c : text) {
    std::optional<int> digit = HexDigit(c);
    if (!digit) return std::nullopt;
    result = result * 16 + *digit;
  }
  return static_cast<std::uint8_t>(result);
}

// "YYYY-MM-DD HH:MM:SS" with an optional fraction of digits: checked here,
// since the time library reads other characters with undefined arithmetic.
bool TimeShape(const std::string& text) {
  static const char kShape[] = "dddd-dd-dd dd:dd:dd";
  const std::size_t fixed = sizeof kShape - 1;
  if (text.size() < fixed) return false;
  for (std::size_t i = 0; i < fixed; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  if (text.size() == fixed) return true;
  if (text[fixed] != '.' || text.size() == fixed + 1 || text.size() > fixed + 10) return false;
  for (std::size_t i = fixed + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

std::optional<boost::posix_time::ptime> TimeValue(const Json::Value& value) {
  if (!value.isString() || !TimeShape(value.asString())) return std::nullopt;
  try {
    boost::posix_time::ptime time = boost::posix_time::time_from_string(value.asString());
    if (time.is_special()) return std::nullopt;
    return time;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// A whole number of seconds within kMaxSeconds either way, so that the
// clock arithmetic cannot overflow.
bool SecondsValue(const Json::Value& value, const char* member, long long& seconds, Failure& fail) {
  if (!value.isIntegral() || value.isBool() || !value.isInt64() || value.asInt64() < -kMaxSeconds ||
      value.asInt64() > kMaxSeconds) {
    return fail(std::string("\"") + member + "\" must be a whole number of seconds from -" +
                std::to_string(kMaxSeconds) + " to " + std::to_string(kMaxSeconds));
  }
  seconds = value.asInt64();
  return true;
}

bool ParseDevice(const Json::Value& value, DeviceRef& device, Failure& fail) {
  if (value.isNull()) return true;  // the step's default device
  if (value.isString() && value.asString() == "bus") {
    device.kind = DeviceRef::Kind::kBus;
  } else if (value.isString() && value.asString() == "rc") {
    device.kind = DeviceRef::Kind::kRectifiers;
  } else if (value.isUInt() && !value.isBool()) {
    device.kind = DeviceRef::Kind::kDataId;
    device.data_id = value.asUInt();
  } else {
    return fail("\"device\" must be \"bus\", \"rc\" or a data id");
  }
  return true;
}

bool ParseHex(const Json::Value& value, const char* member, std::vector<unsigned char>& bytes,
              Failure& fail) {
  if (!value.isString()) return fail(std::string("\"") + member + "\" must be a hex text");
  std::optional<std::vector<unsigned char>> decoded = hex_text::Decode(value.asString());
  if (!decoded) {
    return fail(std::string("bad hex in \"") + member + "\": " + value.asString());
  }
  bytes = std::move(*decoded);
  return true;
}

bool ParseStep(const Json::Value& value, int index, Step& step, ScriptError& error) {
  Failure fail(error, index);
  if (!value.isObject()) return fail("a step must be a JSON object");
  const Json::Value& what = value["do"];
  if (!what.isString()) return fail("a step needs \"do\" with the step's name");
  auto form = StepForms().find(what.asString());
  if (form == StepForms().end()) return fail("unknown step \"" + what.asString() + "\"");
  for (const std::string& member : value.getMemberNames()) {
    if (member != "do" && form->second.members.count(member) == 0) {
      return fail("unknown member \"" + member + "\" in a " + form->first + " step");
    }
  }
  step.kind = form->second.kind;
  switch (step.kind) {
    case Kind::kRefresh:
    case Kind::kJobs:
    case Kind::kLose:
      return true;
    case Kind::kReply: {
      std::optional<std::uint8_t> group = ByteValue(value["group"]);
      if (!group) return fail("\"group\" must be a byte, as hex text such as \"40\"");
      step.group = *group;
      if (!value["info"].isNull() && !ParseHex(value["info"], "info", step.bytes, fail)) {
        return false;
      }
      for (const char* member : {"rtn", "version", "address"}) {
        if (value[member].isNull()) continue;
        std::optional<std::uint8_t> byte = ByteValue(value[member]);
        if (!byte) return fail(std::string("\"") + member + "\" must be a byte");
        if (member[0] == 'r') step.return_code = *byte;
        if (member[0] == 'v') step.version = byte;
        if (member[0] == 'a') step.address = byte;
      }
      return true;
    }
    case Kind::kAge:
      if (!ParseDevice(value["device"], step.device, fail)) return false;
      return SecondsValue(value["seconds"], "seconds", step.seconds, fail);
    case Kind::kRead:
      if (value["device"].isNull()) return fail("a read step needs \"device\"");
      if (!ParseDevice(value["device"], step.device, fail)) return false;
      if (!value["name"].isString()) return fail("\"name\" must be the point name as a text");
      step.name = value["name"].asString();
      return true;
    case Kind::kRestore:
      if (value["device"].isNull()) return fail("a restore step needs \"device\"");
      if (!ParseDevice(value["device"], step.device, fail)) return false;
      return ParseHex(value["blob"], "blob", step.bytes, fail);
    case Kind::kClock:
      if (value["time"].isNull() == value["advance"].isNull()) {
        return fail("a clock step needs either \"time\" or \"advance\"");
      }
      if (!value["time"].isNull()) {
        step.time = TimeValue(value["time"]);
        if (!step.time) return fail("\"time\" must be a time such as \"2026-12-08 10:00:00\"");
      } else {
        return SecondsValue(value["advance"], "advance", step.seconds, fail);
      }
      return true;
  }
  return true;
}

}  // namespace

std::string ScriptError::Text() const {
  return (step < 0 ? std::string("script") : "step " + std::to_string(step)) + ": " + message;
}

boost::posix_time::ptime DefaultStart() {
  return boost::posix_time::time_from_string("2000-01-01 00:00:00");
}

bool ParseScript(const std::string& text, Script& script, ScriptError& error) {
  Failure fail(error, -1);
  Json::Value root;
  std::string reason;
  if (!json_text::Parse(text, true, root, reason)) return fail("not valid JSON: " + reason);
  if (!root.isObject()) return fail("the script must be a JSON object");
  static const std::set<std::string> members = {"device_type", "data_id",      "config",
                                                "start",       "batch_result", "steps"};
  for (const std::string& member : root.getMemberNames()) {
    if (members.count(member) == 0) return fail("unknown member \"" + member + "\"");
  }

  Script parsed;
  if (!root["config"].isObject()) return fail("\"config\" must be the device's JSON object");
  parsed.config = root["config"];
  if (!root["device_type"].isNull()) {
    if (!root["device_type"].isString()) return fail("\"device_type\" must be a text");
    parsed.device_type = root["device_type"].asString();
  }
  const Json::Value& data_id =
      root["data_id"].isNull() ? parsed.config["data_id"] : root["data_id"];
  if (!data_id.isNull()) {
    if (!data_id.isUInt() || data_id.isBool()) return fail("\"data_id\" must be a whole number");
    parsed.data_id = data_id.asUInt();
  }
  parsed.start = DefaultStart();
  if (!root["start"].isNull()) {
    std::optional<boost::posix_time::ptime> start = TimeValue(root["start"]);
    if (!start) return fail("\"start\" must be a time such as \"2026-12-08 10:00:00\"");
    parsed.start = *start;
  }
  if (!root["batch_result"].isNull()) {
    if (!root["batch_result"].isBool()) return fail("\"batch_result\" must be true or false");
    parsed.batch_result = root["batch_result"].asBool();
  }
  if (!root["steps"].isArray()) return fail("\"steps\" must be a list of steps");
  for (Json::ArrayIndex i = 0; i < root["steps"].size(); ++i) {
    Step step;
    if (!ParseStep(root["steps"][i], static_cast<int>(i), step, error)) return false;
    parsed.steps.push_back(std::move(step));
  }
  script = std::move(parsed);
  return true;
}

std::string DescribeDevice(const DeviceRef& device) {
  switch (device.kind) {
    case DeviceRef::Kind::kBus:
      return "bus";
    case DeviceRef::Kind::kRectifiers:
      return "rc";
    case DeviceRef::Kind::kDataId:
      break;
  }
  return std::to_string(device.data_id);
}

}  // namespace replay
