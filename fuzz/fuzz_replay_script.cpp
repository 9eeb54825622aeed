// Fuzz target: the replay script parser (replay::ParseScript) with arbitrary
// text. Checked:
// - it never throws;
// - a refused script names a step that the text has, or the script as a
//   whole, with a message, and leaves the script it was given as it was;
// - a taken script has an object as its configuration, and writing it out
//   in the script language and parsing that gives the same script (every
//   step, its bytes as hex text, its times and numbers).
//
// Input: the script text.

#include <json/value.h>
#include <json/writer.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "tools/replay/hex_text.h"
#include "tools/replay/replay_script.h"

namespace {

using replay::DeviceRef;
using replay::Script;
using replay::Step;

const char* StepName(Step::Kind kind) {
  switch (kind) {
    case Step::Kind::kRefresh:
      return "refresh";
    case Step::Kind::kReply:
      return "reply";
    case Step::Kind::kAge:
      return "age";
    case Step::Kind::kRead:
      return "read";
    case Step::Kind::kRestore:
      return "restore";
    case Step::Kind::kJobs:
      return "jobs";
    case Step::Kind::kClock:
      return "clock";
    case Step::Kind::kLose:
      return "lose";
  }
  return "?";
}

std::string TimeText(const boost::posix_time::ptime& time) {
  std::string text = boost::posix_time::to_iso_extended_string(time);
  const std::size_t t = text.find('T');
  if (t != std::string::npos) text[t] = ' ';
  return text;
}

Json::Value Device(const DeviceRef& device) {
  switch (device.kind) {
    case DeviceRef::Kind::kBus:
      return "bus";
    case DeviceRef::Kind::kRectifiers:
      return "rc";
    case DeviceRef::Kind::kDataId:
      break;
  }
  return Json::UInt(device.data_id);
}

// The script in its own language.
Json::Value Written(const Script& script) {
  Json::Value root(Json::objectValue);
  root["device_type"] = script.device_type;
  root["data_id"] = Json::UInt(script.data_id);
  root["config"] = script.config;
  root["start"] = TimeText(script.start);
  root["batch_result"] = script.batch_result;
  root["steps"] = Json::Value(Json::arrayValue);
  for (const Step& step : script.steps) {
    Json::Value item(Json::objectValue);
    item["do"] = StepName(step.kind);
    switch (step.kind) {
      case Step::Kind::kReply:
        item["group"] = Json::UInt(step.group);
        item["info"] = hex_text::Encode(step.bytes);
        item["rtn"] = Json::UInt(step.return_code);
        if (step.version) item["version"] = Json::UInt(*step.version);
        if (step.address) item["address"] = Json::UInt(*step.address);
        break;
      case Step::Kind::kAge:
        item["device"] = Device(step.device);
        item["seconds"] = Json::Int64(step.seconds);
        break;
      case Step::Kind::kRead:
        item["device"] = Device(step.device);
        item["name"] = step.name;
        break;
      case Step::Kind::kRestore:
        item["device"] = Device(step.device);
        item["blob"] = hex_text::Encode(step.bytes);
        break;
      case Step::Kind::kClock:
        if (step.time) {
          item["time"] = TimeText(*step.time);
        } else {
          item["advance"] = Json::Int64(step.seconds);
        }
        break;
      default:
        break;
    }
    root["steps"].append(item);
  }
  return root;
}

bool SameDevice(const DeviceRef& left, const DeviceRef& right) {
  return left.kind == right.kind && left.data_id == right.data_id;
}

bool SameStep(const Step& left, const Step& right) {
  return left.kind == right.kind && left.group == right.group &&
         left.return_code == right.return_code && left.version == right.version &&
         left.address == right.address && left.bytes == right.bytes &&
         SameDevice(left.device, right.device) && left.seconds == right.seconds &&
         left.name == right.name && left.time == right.time;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Script script;
  script.device_type = "untouched";
  replay::ScriptError error;
  if (!replay::ParseScript(text, script, error)) {
    FUZZ_CHECK(!error.message.empty(), "a refused script says why");
    FUZZ_CHECK(error.step >= -1, "a refusal names a step or the script");
    FUZZ_CHECK(error.Text().rfind(error.step < 0 ? "script: " : "step ", 0) == 0,
               "a refusal's text begins with what it names");
    FUZZ_CHECK(script.device_type == "untouched" && script.steps.empty(),
               "a refused script leaves the script as it was");
    return 0;
  }
  FUZZ_CHECK(script.config.isObject(), "a taken script's configuration is an object");

  Json::StreamWriterBuilder builder;
  builder["emitUTF8"] = true;
  const std::string written = Json::writeString(builder, Written(script));
  Script again;
  replay::ScriptError again_error;
  FUZZ_CHECK(replay::ParseScript(written, again, again_error),
             "a taken script, written out, is taken again");
  FUZZ_CHECK(again.device_type == script.device_type && again.data_id == script.data_id &&
                 again.start == script.start && again.batch_result == script.batch_result &&
                 again.steps.size() == script.steps.size(),
             "a taken script, written out, reads the same");
  for (std::size_t i = 0; i < script.steps.size(); ++i) {
    FUZZ_CHECK(SameStep(again.steps[i], script.steps[i]),
               "every step of a taken script, written out, reads the same");
  }
  return 0;
}
