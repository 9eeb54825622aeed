// Fuzz target: the runtime's configuration loader (runtime::ParseConfig) with
// arbitrary text. Checked:
// - it never throws;
// - every problem names the file and has a reason, and its message begins
//   with the file's name;
// - every system taken has a name, a serial port and a device type, its
//   settings are an object, and its data id is the settings' "data_id" (0
//   without one);
// - a file that is read as a whole gives one system or one problem per
//   entry;
// - a single system object is read as the same list with that one entry,
//   {"systems": [object]} (refused for the same reason, but for the hints
//   on an unknown key).
//
// Input: the configuration text.

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "runtime/system_config.h"
#include "records/json_text.h"

namespace {

const std::string kOrigin = "fuzz.json";

// Entries the file's text lists, or 0 when the file as a whole is refused.
std::size_t Entries(const runtime::LoadedConfig& loaded) {
  for (const runtime::ConfigProblem& problem : loaded.problems) {
    if (problem.system.empty()) return 0;
  }
  return loaded.systems.size() + loaded.problems.size();
}

int Depth(const Json::Value& value) {
  int deepest = 0;
  if (value.isArray() || value.isObject()) {
    for (const Json::Value& item : value) deepest = std::max(deepest, Depth(item));
    return deepest + 1;
  }
  return 0;
}

void CheckLoaded(const runtime::LoadedConfig& loaded) {
  for (const runtime::ConfigProblem& problem : loaded.problems) {
    FUZZ_CHECK(problem.file == kOrigin && !problem.reason.empty(),
               "a problem names the file and has a reason");
    FUZZ_CHECK(problem.Message().rfind(kOrigin + ": ", 0) == 0,
               "a problem's message begins with the file");
  }
  for (const runtime::SystemConfig& system : loaded.systems) {
    FUZZ_CHECK(system.file == kOrigin, "a system names its file");
    FUZZ_CHECK(!system.name.empty() && !system.port.empty() && !system.device_type.empty(),
               "a system has a name, a port and a device type");
    FUZZ_CHECK(system.settings.isObject(), "a system's settings are an object");
    const Json::Value& id = system.settings["data_id"];
    FUZZ_CHECK(system.data_id == (id.isNull() ? 0u : id.asUInt()),
               "a system's data id is its settings' data_id");
  }
  if (Entries(loaded) == 0) {
    FUZZ_CHECK(loaded.systems.empty() && loaded.problems.size() == 1,
               "a refused file gives one problem and no system");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const runtime::LoadedConfig loaded = runtime::ParseConfig(text, kOrigin);
  CheckLoaded(loaded);
  if (Entries(loaded) == 0) return 0;

  // Read as the loader does, to see whether it is one system object.
  Json::Value root;
  std::string error;
  FUZZ_CHECK(json_text::Parse(text, false, root, error), "a file read as a whole is JSON");
  if (root.isMember("systems")) {
    FUZZ_CHECK(Entries(loaded) == root["systems"].size(), "one system or problem per entry");
    return 0;
  }
  FUZZ_CHECK(Entries(loaded) == 1, "a single system object is one entry");
  // The list nests the object two levels deeper.
  if (Depth(root) + 3 > json_text::kMaxDepth) return 0;
  // The runtime's settings stay at the top level, beside the list.
  Json::Value listed(Json::objectValue);
  for (const char* key : {"site", "http", "mqtt"}) {
    if (root.isMember(key)) {
      listed[key] = root[key];
      root.removeMember(key);
    }
  }
  listed["systems"].append(root);
  Json::StreamWriterBuilder writer;
  writer["emitUTF8"] = true;  // texts as they are, not re-encoded
  const runtime::LoadedConfig wrapped =
      runtime::ParseConfig(Json::writeString(writer, listed), kOrigin);
  CheckLoaded(wrapped);
  FUZZ_CHECK(wrapped.systems.size() == loaded.systems.size() &&
                 wrapped.problems.size() == loaded.problems.size(),
             "a single system object reads as a list of one");
  if (!loaded.systems.empty()) {
    FUZZ_CHECK(wrapped.systems[0].data_id == loaded.systems[0].data_id &&
                   wrapped.systems[0].settings.size() == loaded.systems[0].settings.size(),
               "a single system object reads as a list of one");
  } else {
    // An unknown key is matched against the runtime's settings too where
    // they may stand (a single system's top level): the hints may differ.
    const auto unknown = [](const runtime::LoadedConfig& config) {
      return config.problems[0].reason.rfind("unknown key ", 0) == 0;
    };
    FUZZ_CHECK(wrapped.problems[0].reason == loaded.problems[0].reason ||
                   (unknown(wrapped) && unknown(loaded)),
               "a single system object is refused as a list of one");
  }
  return 0;
}
