// The debugging tools: replay of scripts against the plug-in, capture of a
// session, and the record decoder with the decode and history commands.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/korvan.h"
#include "console/json_line.h"
#include "records/csv_text.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/record_fields.h"
#include "records/utf8_text.h"
#include "runtime/system_config.h"
#include "runtime/time_bound.h"
#include "sim/power_system.h"
#include "sim/replies.h"
#include "store/record_store.h"
#include "tests/support/child_process.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "tests/support/scoped_variable.h"
#include "tests/support/scripted_transport.h"
#include "tests/support/spawn_host.h"
#include "tests/support/temp_dir.h"
#include "tools/cli/decode_command.h"
#include "tools/cli/history_command.h"
#include "tools/cli/query_options.h"
#include "tools/plugin_loader.h"
#include "tools/replay/capture_writer.h"
#include "tools/replay/hex_text.h"
#include "tools/replay/replayer.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Kind = RecordingController::Kind;
using boost::posix_time::time_from_string;

constexpr unsigned int kBusId = 100;
const char* const kStart = "2026-12-08 10:00:00";

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << text;
  return value;
}

std::vector<Json::Value> ParseLines(const std::string& text) {
  std::vector<Json::Value> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(ParseJson(line));
  return lines;
}

std::string Hex(const Bytes& bytes) {
  return hex_text::Encode(bytes);
}

struct HostRun {
  int code = -1;
  std::string out, err;
};

// Runs the built korvan-host with `arguments` (shell words).
HostRun Host(const std::string& arguments) {
  TempDir dir;
  const std::string command = std::string(KORVAN_HOST_PATH) + " " + arguments + " >" +
                              dir.File("out") + " 2>" + dir.File("err");
  HostRun run;
  const int status = std::system(command.c_str());
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(dir.File("out"));
  run.err = ReadFile(dir.File("err"));
  return run;
}

// korvan-host started in the background, so that it can be sent a signal.
class HostProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& arguments) {
    pid_ = SpawnHost(arguments, dir_.File("out"), dir_.File("err"));
  }
  ~HostProcess() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void Signal(int number) { kill(pid_, number); }
  // Whether the process has a handler of its own for signal `number` (sent
  // sooner, the signal would end it by its default action).
  bool Catches(int number) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigCgt:", 0) == 0) {
        return (std::stoull(line.substr(7), nullptr, 16) >> (number - 1)) & 1u;
      }
    }
    return false;
  }
  // The exit code, or -1 when it did not exit by itself within `limit` (or
  // was killed by a signal).
  int Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Err() const { return ReadFile(dir_.File("err")); }
  std::string Out() const { return ReadFile(dir_.File("out")); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  bool waited_ = false;
};

// ---- a whole cycle of the real bus device, answered by the simulator ------

// What the bus device compiled into the test did in one cycle, and the
// script that plays the same replies.
struct ReferenceCycle {
  Json::Value script;
  std::vector<std::string> requests;  // "GG/CC:INFO"
  std::vector<RecordingController::Event> events;
  std::vector<std::string> stdout_lines;
  std::vector<int> reply_results;
  std::size_t first_reply_step = 1;  // the steps: refresh, replies..., jobs
};

Json::Value BusConfig() {
  Json::Value config(Json::objectValue);
  config["data_id"] = kBusId;
  for (unsigned int id : {11u, 12u}) {
    Json::Value unit(Json::objectValue);
    unit["data_id"] = id;
    config["acSetting"].append(unit);
  }
  Json::Value dc(Json::objectValue);
  dc["data_id"] = 21;
  config["dcSetting"].append(dc);
  config["rcSetting"] = Json::Value(Json::objectValue);
  return config;
}

std::string RequestText(const PMBusRequest& request) {
  unsigned char codes[2] = {request.group, request.command};
  return hex_text::Encode(codes, 1) + "/" + hex_text::Encode(codes + 1, 1) + ":" +
         hex_text::Encode(request.info);
}

ReferenceCycle RunReferenceCycle() {
  ::SystemConfig sim;
  sim.ac_channels = {1, 2};
  sim.dc_units = 1;
  sim.rectifier_modules = 3;
  PowerSystem system(sim);
  system.SetRectifierFault(1, true);
  system.SetBatteryFuseFault(0, 2, true);

  FrozenClock clock(time_from_string(kStart));
  auto controller = std::make_shared<RecordingController>();
  auto transport = std::make_shared<ScriptedTransport>();
  auto bus = std::make_shared<KORVAN>();
  const Json::Value config = BusConfig();
  bus->Init(controller, kBusId, config);
  bus->AttachTransport(transport);
  EXPECT_TRUE(bus->InitSetting(config));

  ReferenceCycle cycle;
  Json::Value& steps = cycle.script["steps"];
  testing::internal::CaptureStdout();
  bus->RefreshStatus();
  steps.append(ParseJson(R"({"do":"refresh"})"));
  for (int guard = 0; guard < 20; ++guard) {
    const PMBusRequest request = transport->requests().back();
    Bytes info;
    EXPECT_TRUE(replies::Build(system, request.group, request.command, info));
    Json::Value step(Json::objectValue);
    step["do"] = "reply";
    step["group"] = hex_text::Encode(&request.group, 1);
    step["info"] = Hex(info);
    steps.append(step);
    const Bytes record = pmbus_reply::Build(0x20, 1, request.group, 0, info);
    const int result = bus->DeliverDecodedReply(record.data(), record.size());
    cycle.reply_results.push_back(result);
    if (result == 0) break;
  }
  controller->RunJobs();
  steps.append(ParseJson(R"({"do":"jobs"})"));
  std::istringstream printed(testing::internal::GetCapturedStdout());
  for (std::string line; std::getline(printed, line);) cycle.stdout_lines.push_back(line);

  for (const PMBusRequest& request : transport->requests()) {
    cycle.requests.push_back(RequestText(request));
  }
  cycle.events = controller->events();
  cycle.script["config"] = config;
  cycle.script["data_id"] = kBusId;
  cycle.script["start"] = kStart;
  return cycle;
}

// Replays a script against the built plug-in; the events, and the exit code.
std::vector<Json::Value> Replay(const Json::Value& script, int* code = nullptr,
                                std::string* errors = nullptr) {
  replay::Script parsed;
  replay::ScriptError error;
  std::ostringstream text;
  text << script;
  EXPECT_TRUE(replay::ParseScript(text.str(), parsed, error)) << error.Text();
  PluginLoader loader;
  std::string problem;
  EXPECT_TRUE(loader.Load(KORVAN_PLUGIN_PATH, problem)) << problem;
  std::ostringstream out, err;
  const int result = replay::RunScript(parsed, loader.GetProviders(), out, err);
  if (code) *code = result;
  if (errors) *errors = err.str();
  return ParseLines(out.str());
}

std::vector<Json::Value> OfKind(const std::vector<Json::Value>& events, const std::string& kind) {
  std::vector<Json::Value> found;
  for (const Json::Value& event : events) {
    if (event["event"].asString() == kind) found.push_back(event);
  }
  return found;
}

// The host calls the recording controller keeps, as texts comparable with
// replay events.
std::string Describe(const RecordingController::Event& event) {
  const std::string id = std::to_string(event.data_id);
  switch (event.kind) {
    case Kind::kLog:
      return "log " + id + " " + event.line;
    case Kind::kPublish:
      return "publish " + id + " " + std::to_string(event.type) + " " + Hex(event.bytes);
    case Kind::kHistory:
      return "history " + id + " " + Hex(event.bytes);
    case Kind::kJob:
      return "job " + id;
    case Kind::kBatch:
      return "batch " + id + " " + std::to_string(event.rules.size());
    case Kind::kReset:
      return "reset " + id;
  }
  return "";
}

std::string Describe(const Json::Value& event) {
  const std::string kind = event["event"].asString();
  const std::string id = std::to_string(event["data_id"].asUInt());
  if (kind == "log") return "log " + id + " " + event["line"].asString();
  if (kind == "publish") {
    return "publish " + id + " " + std::to_string(event["type"].asInt()) + " " +
           event["bytes"].asString();
  }
  if (kind == "history") return "history " + id + " " + event["bytes"].asString();
  if (kind == "job" || kind == "reset") return kind + " " + id;
  if (kind == "batch") return "batch " + id + " " + std::to_string(event["rules"].asUInt());
  return "";
}

class ReplayCycle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { reference_ = new ReferenceCycle(RunReferenceCycle()); }
  static void TearDownTestSuite() { delete reference_; }
  static ReferenceCycle* reference_;
};
ReferenceCycle* ReplayCycle::reference_ = nullptr;

TEST_F(ReplayCycle, ReproducesTheHostCallsOfTheBusDevice) {
  const ReferenceCycle& cycle = *reference_;
  int code = -1;
  const std::vector<Json::Value> events = Replay(cycle.script, &code);
  EXPECT_EQ(code, 0);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0]["event"], "init");
  EXPECT_TRUE(events[0]["result"].asBool());

  std::vector<std::string> requests;
  for (const Json::Value& event : OfKind(events, "request")) {
    requests.push_back(event["group"].asString() + "/" + event["command"].asString() + ":" +
                       event["info"].asString());
  }
  EXPECT_EQ(requests, cycle.requests);
  ASSERT_EQ(cycle.requests.size(), 11u);  // model query and a whole cycle

  std::vector<std::string> expected, replayed;
  for (const auto& event : cycle.events) expected.push_back(Describe(event));
  for (const Json::Value& event : events) {
    const std::string text = Describe(event);
    if (!text.empty()) replayed.push_back(text);
  }
  EXPECT_EQ(replayed, expected);
  EXPECT_EQ(OfKind(events, "publish").size(), 4u);

  // Every rule passed to CheckThresholdBool, in order, is what the batches got.
  std::vector<std::string> rules, batched;
  for (const Json::Value& event : OfKind(events, "rule")) {
    rules.push_back(event["id"].asString() + " " + event["code"].asString() + " " +
                    event["name"].asString() + " " + event["text"].asString() + " " +
                    std::to_string(event["level"].asInt()) + " " +
                    (event["active"].asBool() ? "on" : "off") + " " +
                    std::to_string(event["sequence"].asUInt()));
  }
  for (const auto& batch : cycle.events) {
    for (const rule_value& rule : batch.rules) {
      batched.push_back(rule.id + " " + rule.code + " " + rule.name + " " + rule.text + " " +
                        std::to_string(rule.level) + " " + (rule.active ? "on" : "off") + " " +
                        std::to_string(rule.sequence));
    }
  }
  EXPECT_EQ(rules, batched);
  EXPECT_FALSE(rules.empty());

  std::vector<std::string> printed;
  for (const Json::Value& event : OfKind(events, "stdout"))
    printed.push_back(event["line"].asString());
  EXPECT_EQ(printed, cycle.stdout_lines);

  std::vector<int> results;
  for (const Json::Value& event : OfKind(events, "reply"))
    results.push_back(event["result"].asInt());
  EXPECT_EQ(results, cycle.reply_results);
}

TEST_F(ReplayCycle, EventsOfAStepComeInTheOrderOfTheCalls) {
  const std::vector<Json::Value> events = Replay(reference_->script);
  auto kinds_of_step = [&](int step) {
    std::vector<std::string> kinds;
    for (const Json::Value& event : events) {
      if (event["step"].asInt() == step) kinds.push_back(event["event"].asString());
    }
    return kinds;
  };
  // Step 0 refreshes: the request goes out inside RefreshStatus.
  EXPECT_EQ(kinds_of_step(0), (std::vector<std::string>{"request", "refresh"}));
  // Step 2 answers 40h/41h: the units' trace lines come before the next request.
  EXPECT_EQ(kinds_of_step(2),
            (std::vector<std::string>{"stdout", "stdout", "stdout", "request", "reply"}));
  // The last reply ends the cycle: records, rules and jobs, then the reset.
  const std::vector<std::string> last = kinds_of_step(11);
  ASSERT_GE(last.size(), 3u);
  EXPECT_EQ(last.front(), "publish");
  EXPECT_EQ(last[last.size() - 2], "reset");
  EXPECT_EQ(last.back(), "reply");
}

TEST_F(ReplayCycle, ReadsAgesRestoresAndTheClock) {
  Json::Value script = reference_->script;
  std::string ac_record;
  for (const auto& event : reference_->events) {
    if (event.kind == Kind::kPublish && event.data_id == 12) ac_record = Hex(event.bytes);
  }
  Json::Value& steps = script["steps"];
  for (const char* step :
       {R"({"do":"read","device":12,"name":"channel_1_f"})",
        R"({"do":"read","device":"rc","name":"anything"})",
        R"({"do":"age","device":12,"seconds":61})",
        R"({"do":"read","device":12,"name":"channel_1_f"})", R"({"do":"refresh"})",
        R"({"do":"clock","advance":2})", R"({"do":"refresh"})"}) {
    steps.append(ParseJson(step));
  }
  Json::Value restore = ParseJson(R"({"do":"restore","device":12})");
  restore["blob"] = ac_record;
  steps.append(restore);
  steps.append(ParseJson(R"({"do":"read","device":12,"name":"channel_1_f"})"));

  const std::vector<Json::Value> values = OfKind(Replay(script), "value");
  ASSERT_EQ(values.size(), 4u);
  EXPECT_TRUE(values[0]["value"].isDouble());
  EXPECT_EQ(values[1]["status"], "数据未就绪");
  EXPECT_EQ(values[2]["status"], "数据已超时");
  EXPECT_EQ(values[3]["value"], values[0]["value"]);  // the restore renews the data

  const std::vector<Json::Value> events = Replay(script);
  const std::vector<Json::Value> refreshes = OfKind(events, "refresh");
  ASSERT_EQ(refreshes.size(), 3u);
  EXPECT_FALSE(refreshes[1]["result"].asBool());  // within 2 s of the cycle's end
  EXPECT_TRUE(refreshes[2]["result"].asBool());   // the clock moved on
  EXPECT_EQ(OfKind(events, "request").back()["command"], "41");
  EXPECT_EQ(OfKind(events, "clock")[0]["time"], "2026-12-08 10:00:02");
  EXPECT_EQ(OfKind(events, "age")[0]["last_update"], "2026-12-08 09:58:59");
  const Json::Value restored = OfKind(events, "restore")[0];
  EXPECT_TRUE(restored["result"].asBool());
  EXPECT_EQ(restored["length"].asUInt(), 33u + 2 * 25u);
}

// ---- script errors ---------------------------------------------------------

TEST(ReplayScript, ErrorsNameTheStep) {
  struct Row {
    std::string script;
    std::string message;
  };
  const Row rows[] = {
      {R"({"config":{},"steps":[)", "script: not valid JSON: "},
      {R"([1])", "script: the script must be a JSON object"},
      {R"({"steps":[]})", "script: \"config\" must be the device's JSON object"},
      {R"({"config":{},"steps":[],"extra":1})", "script: unknown member \"extra\""},
      {R"({"config":{},"start":"yesterday","steps":[]})", "script: \"start\" must be a time"},
      // Characters the time library would read with overflowing arithmetic.
      {R"({"config":{},"start":"2026-12-08 10:00:00&32026","steps":[]})",
       "script: \"start\" must be a time"},
      {R"({"config":{},"start":"2026-12-08 1 :00:00","steps":[]})",
       "script: \"start\" must be a time"},
      {R"({"config":{},"steps":[{"do":"refresh"},{"do":"jump"}]})",
       "step 1: unknown step \"jump\""},
      {R"({"config":{},"steps":[7]})", "step 0: a step must be a JSON object"},
      {R"({"config":{},"steps":[{"group":"40"}]})", "step 0: a step needs \"do\""},
      {R"({"config":{},"steps":[{"do":"reply","group":"40","info":"0G"}]})",
       "step 0: bad hex in \"info\": 0G"},
      {R"({"config":{},"steps":[{"do":"reply","group":"40","info":"123"}]})",
       "step 0: bad hex in \"info\": 123"},
      {R"({"config":{},"steps":[{"do":"reply","group":"400"}]})",
       "step 0: \"group\" must be a byte"},
      {R"({"config":{},"steps":[{"do":"reply","group":"40","rtn":256}]})",
       "step 0: \"rtn\" must be a byte"},
      {R"({"config":{},"steps":[{"do":"reply","group":"40","infos":""}]})",
       "step 0: unknown member \"infos\" in a reply step"},
      {R"({"config":{},"steps":[{"do":"restore","device":11,"blob":"ABC"}]})",
       "step 0: bad hex in \"blob\": ABC"},
      {R"({"config":{},"steps":[{"do":"read","device":"ac","name":"ia"}]})",
       "step 0: \"device\" must be \"bus\", \"rc\" or a data id"},
      {R"({"config":{},"steps":[{"do":"age"}]})", "step 0: \"seconds\" must be a whole number"},
      {R"({"config":{},"steps":[{"do":"clock","time":"2026-12-08 10:00:00","advance":1}]})",
       "step 0: a clock step needs either \"time\" or \"advance\""},
      {R"({"config":{},"steps":[]} {})", "script: not valid JSON: "},
      // Numbers that would overflow the clock arithmetic or the reader's conversions.
      {R"({"config":{},"steps":[{"do":"clock","advance":1000000000000}]})",
       "step 0: \"advance\" must be a whole number of seconds from -316224000000 to "
       "316224000000"},
      {R"({"config":{},"steps":[{"do":"age","seconds":9223372036854775807}]})",
       "step 0: \"seconds\" must be a whole number of seconds from"},
      {R"({"config":{},"steps":[{"do":"age","seconds":-9223372036854775808}]})",
       "step 0: \"seconds\" must be a whole number of seconds from"},
      {R"({"config":{},"steps":[{"do":"age","seconds":1e300}]})",
       "step 0: \"seconds\" must be a whole number of seconds from"},
      {R"({"config":{},"steps":[{"do":"reply","group":"40","rtn":18446744073709551615}]})",
       "step 0: \"rtn\" must be a byte"},
      {R"({"config":{},"steps":[{"do":"reply","group":1e300}]})",
       "step 0: \"group\" must be a byte"},
      {std::string(1001, '[') + std::string(1001, ']'),
       "script: not valid JSON: arrays and objects nested deeper than 100 levels"},
  };
  for (const Row& row : rows) {
    replay::Script script;
    replay::ScriptError error;
    EXPECT_FALSE(replay::ParseScript(row.script, script, error)) << row.script;
    EXPECT_EQ(error.Text().rfind(row.message, 0), 0u) << error.Text();
  }
  // Bytes as hex text with blanks and an "h", or as numbers.
  replay::Script script;
  replay::ScriptError error;
  ASSERT_TRUE(replay::ParseScript(
      R"({"config":{},"steps":[{"do":"reply","group":"41h","info":"0a 0B","rtn":4}]})", script,
      error));
  EXPECT_EQ(script.steps[0].group, 0x41);
  EXPECT_EQ(script.steps[0].bytes, (Bytes{0x0A, 0x0B}));
  EXPECT_EQ(script.steps[0].return_code, 4);
}

TEST(ReplayCommand, ScriptErrorsExitWithTwo) {
  TempDir dir;
  std::ofstream(dir.File("bad.json")) << R"({"config":{},"steps":[{"do":"jump"}]})";
  HostRun run = Host("replay " + dir.File("bad.json"));
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.err, "korvan-host: replay: step 0: unknown step \"jump\"\n");
  EXPECT_TRUE(run.out.empty());

  // An unknown device is found when its step runs; the steps before it are shown.
  std::ofstream(dir.File("device.json"))
      << R"({"config":{"rcSetting":{},"acSetting":[{"data_id":11}]},"steps":[)"
      << R"({"do":"read","device":11,"name":"ia"},{"do":"read","device":12,"name":"ia"}]})";
  run = Host("replay " + dir.File("device.json"));
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.err, "korvan-host: replay: step 1: unknown device 12\n");
  const std::vector<Json::Value> events = ParseLines(run.out);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1]["status"], "数据未就绪");

  run = Host("replay " + dir.File("missing.json"));
  EXPECT_EQ(run.code, 2);
  // A configuration the device refuses (no rcSetting) is not a script error.
  std::ofstream(dir.File("refused.json")) << R"({"config":{},"steps":[]})";
  run = Host("replay " + dir.File("refused.json"));
  EXPECT_EQ(run.code, 1);
  EXPECT_FALSE(ParseLines(run.out).at(0)["result"].asBool());
}

// ---- valid UTF-8 out ---------------------------------------------------------

// Well-formed UTF-8 by the standard's table of byte ranges, one character at
// a time: the oracle for the short ways of the checks.
bool WellFormedUtf8(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t more = 0;
    unsigned char low = 0x80, high = 0xBF;  // of the byte after the lead
    if (lead < 0x80) {
      ++at;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - at <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto byte = static_cast<unsigned char>(text[at + k]);
      if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return false;
    }
    at += more + 1;
  }
  return true;
}

TEST(Utf8Text, IllFormedSequencesBecomeReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Row {
    std::string in, out;
  };
  const Row rows[] = {
      {"设备配置检测", "设备配置检测"},
      {"a\x80z", "a" + fffd + "z"},  // lone continuation byte
      {"ok\xE8\xAE", "ok" + fffd},   // cut short at the end
      {"\xE8\xAE"
       "A",
       fffd + "A"},                                          // cut short before ASCII
      {"\xC0\x80", fffd + fffd},                             // overlong NUL
      {"\xE0\x80\xAF", fffd + fffd + fffd},                  // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd},                  // surrogate U+D800
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},       // above U+10FFFF
      {"\xF0\x9F\x94\x8B\xFF", "\xF0\x9F\x94\x8B" + fffd},   // 4-byte sequence, then FF
      {std::string("nul\0!", 5), std::string("nul\0!", 5)},  // NUL is valid UTF-8
  };
  for (const Row& row : rows)
    EXPECT_EQ(utf8_text::ValidUtf8(row.in), row.out) << Hex(Bytes(row.in.begin(), row.in.end()));
  // IsValidUtf8 takes ASCII eight bytes at a time and common characters by a
  // short way, and ValidUtf8 copies what it finds valid: both must agree with
  // the table wherever a sequence falls against those words, and for every
  // lead byte, next byte and a choice of third and fourth bytes.
  const auto agree = [](const std::string& text) {
    const bool valid = WellFormedUtf8(text);
    const std::string repaired = utf8_text::ValidUtf8(text);
    return utf8_text::IsValidUtf8(text) == valid && (repaired == text) == valid &&
           WellFormedUtf8(repaired);
  };
  for (const Row& row : rows) {
    for (std::size_t before = 0; before <= 9; ++before) {
      for (std::size_t after : {0, 1, 8}) {
        const std::string text = std::string(before, 'a') + row.in + std::string(after, 'z');
        EXPECT_TRUE(agree(text)) << before << " " << Hex(Bytes(text.begin(), text.end()));
      }
    }
  }
  const unsigned char tails[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  int disagreements = 0;
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int next = 0; next <= 0xFF; ++next) {
      for (unsigned char third : tails) {
        for (unsigned char fourth : {0x41, 0x80, 0xBF}) {
          const char bytes[] = {'a', static_cast<char>(lead), static_cast<char>(next),
                                static_cast<char>(third), static_cast<char>(fourth)};
          for (std::size_t length = 2; length <= sizeof bytes; ++length) {
            if (!agree(std::string(bytes, length))) ++disagreements;
          }
        }
      }
    }
  }
  EXPECT_EQ(disagreements, 0);
  // Every JSON writer of the tools hands on valid UTF-8 only.
  const Json::Value text("x\xC0\x80y");
  EXPECT_EQ(json_text::Line(text), "\"x" + fffd + fffd + "y\"");
  EXPECT_EQ(runtime::JsonLine(text), "\"x" + fffd + fffd + "y\"");
}

// The JSON lines are written without jsoncpp's stream writer, and must be
// its text to the byte (compact, UTF-8 as it is, 15 significant digits):
// random values of every kind, nested, with reals that floats, halves and
// bit patterns give, and texts of any bytes.
TEST(JsonText, ALineIsWhatTheStreamWriterWrites) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  builder["precision"] = 15;
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  const auto reference = [&](const Json::Value& value) {
    std::ostringstream text;
    writer->write(value, &text);
    return utf8_text::ValidUtf8(text.str());
  };
  std::mt19937_64 random(20261211);
  const auto pick = [&](std::uint64_t count) { return random() % count; };
  const auto bytes = [&] {
    std::string text(pick(12), '\0');
    for (char& c : text) c = static_cast<char>(pick(4) == 0 ? pick(0x20) : pick(256));
    return pick(3) == 0 ? text : "设备" + text + "é";
  };
  const double specials[] = {0.0,
                             -0.0,
                             0.1,
                             1.5,
                             1e15,
                             1e16,
                             1e21,
                             1e-7,
                             123456789012345678.0,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(),
                             -2.5e-300,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
  const auto real = [&]() -> double {
    switch (pick(4)) {
      case 0:
        return specials[pick(std::size(specials))];
      case 1: {
        const auto bits = static_cast<std::uint32_t>(random());
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
      case 2:
        return static_cast<double>(static_cast<std::int64_t>(random() % 2000001) - 1000000) / 2;
      default: {
        const std::uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
    }
  };
  std::function<Json::Value(int)> make = [&](int depth) -> Json::Value {
    switch (pick(depth < 3 ? 9 : 7)) {
      case 0:
        return Json::Value();
      case 1:
        return Json::Value(pick(2) == 0);
      case 2:
        return Json::Value(static_cast<Json::Int64>(random()));
      case 3:
        return Json::Value(static_cast<Json::UInt64>(random()));
      case 4:
      case 5:
        return Json::Value(real());
      case 6:
        return Json::Value(bytes());
      case 7: {
        Json::Value array(Json::arrayValue);
        for (std::uint64_t k = pick(5); k > 0; --k) array.append(make(depth + 1));
        return array;
      }
      default: {
        Json::Value object(Json::objectValue);
        for (std::uint64_t k = pick(5); k > 0; --k) object[bytes()] = make(depth + 1);
        return object;
      }
    }
  };
  for (int round = 0; round < 4000; ++round) {
    const Json::Value value = make(round % 2);
    ASSERT_EQ(json_text::Line(value), reference(value)) << "round " << round;
  }
}

// A corrupted model reply reaches the model alarm's text; the replay prints
// it as valid UTF-8.
TEST(ReplayCommand, AModelOfBytesThatAreNotUtf8IsPrintedAsValidUtf8) {
  TempDir dir;
  Bytes model = {'K', 'O', 'R', 0xFF, 0xC0, 0x80, 0xE8};
  model.resize(20, ' ');
  std::ofstream(dir.File("model.json"))
      << R"({"config":{"data_id":100,"rcSetting":{}},"steps":[{"do":"refresh"},)"
      << R"({"do":"reply","group":"40","info":")" << Hex(model) << R"("}]})";
  const HostRun run = Host("replay " + dir.File("model.json"));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(utf8_text::ValidUtf8(run.out), run.out);
  const std::vector<Json::Value> rules = OfKind(ParseLines(run.out), "rule");
  ASSERT_EQ(rules.size(), 1u) << run.out;
  EXPECT_EQ(rules[0]["text"].asString(),
            "本驱动类型:korvan 检测型号:KOR\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

// What used to abort the program ends with a message and a documented code.
TEST(ReplayCommand, ClockOverflowsAndDeepScriptsExitWithTwo) {
  TempDir dir;
  struct Row {
    std::string script;
    std::string message;
  };
  const Row rows[] = {
      {R"({"config":{"rcSetting":{}},"start":"9999-12-31 23:59:00","steps":[)"
       R"({"do":"clock","advance":100}]})",
       "korvan-host: replay: step 0: the clock would leave the years 1400 to 9999\n"},
      {R"({"config":{"rcSetting":{}},"start":"1400-01-01 00:00:10","steps":[)"
       R"({"do":"clock","advance":-100}]})",
       "korvan-host: replay: step 0: the clock would leave the years 1400 to 9999\n"},
      {R"({"config":{"rcSetting":{}},"steps":[{"do":"age","seconds":316224000000}]})",
       "korvan-host: replay: step 0: the last-update time would leave the years 1400 to 9999\n"},
      {R"({"config":{"rcSetting":{}},"steps":[{"do":"age","seconds":9223372036854775807}]})",
       "korvan-host: replay: step 0: \"seconds\" must be a whole number of seconds from "
       "-316224000000 to 316224000000\n"},
      {R"({"config":)" + std::string(1001, '[') + std::string(1001, ']') + "}",
       "korvan-host: replay: script: not valid JSON: arrays and objects nested deeper than 100 "
       "levels\n"},
  };
  for (const Row& row : rows) {
    std::ofstream(dir.File("script.json")) << row.script;
    const HostRun run = Host("replay " + dir.File("script.json"));
    EXPECT_EQ(run.code, 2) << row.script;
    EXPECT_EQ(run.err, row.message);
  }
  // A script larger than the cap is refused before it is parsed.
  std::ofstream(dir.File("huge.json")) << std::string(replay::kMaxScriptBytes + 1, ' ');
  const HostRun run = Host("replay " + dir.File("huge.json"));
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.err, "korvan-host: replay: " + dir.File("huge.json") + ": is larger than " +
                         std::to_string(replay::kMaxScriptBytes) + " bytes\n");
  EXPECT_EQ(Host("replay /").code, 2);
}

// A signal stops a replay waiting in a long lose step, with exit code 6.
TEST(ReplayCommand, SignalsStopTheReplay) {
  TempDir dir;
  std::ofstream(dir.File("long.json"))
      << R"({"config":{"rcSetting":{},"timeout_ms":60000},"steps":[{"do":"refresh"},)"
      << R"({"do":"lose"},{"do":"refresh"}]})";
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    HostProcess host({"replay", dir.File("long.json")});
    ASSERT_TRUE(WaitFor([&] { return host.Catches(number); }));
    // Its first step takes no time; by now the second (the lose) is waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    host.Signal(number);
    EXPECT_EQ(host.Wait(std::chrono::seconds(5)), 6) << number;
    EXPECT_EQ(host.Err(),
              "korvan-host: replay: interrupted before step 2; it and the steps after it did not "
              "run\n")
        << number;
  }
}

// ---- capture ---------------------------------------------------------------

// The writer tells requests that polling sent from those of a reply
// handler, and notes lost replies and the time.
TEST(Capture, WritesPolledRequestsRepliesAndLosses) {
  TempDir dir;
  FrozenClock clock(time_from_string(kStart));
  auto controller = std::make_shared<RecordingController>();
  auto bus = std::make_shared<KORVAN>();
  Json::Value config = BusConfig();
  config["acSetting"].resize(0);
  config["timeout_ms"] = 50;
  bus->Init(controller, kBusId, config);
  ASSERT_TRUE(bus->InitSetting(config));
  auto writer = std::make_shared<replay::CaptureWriter>(nullptr, *bus);
  std::string error;
  ASSERT_TRUE(writer->Open(dir.File("capture.json"), "korvan", kBusId, config, error));
  writer->SetJobsPending([&] { return controller->QueuedJobs() > 0; });
  bus->AttachTransport(writer);

  auto reply = [&](std::uint8_t group, const Bytes& info) {
    const Bytes record = pmbus_reply::Build(0x20, 1, group, 0, info);
    return bus->DeliverDecodedReply(record.data(), record.size());
  };
  Bytes model = {'K', 'O', 'R', 'V', 'A', 'N', '3'};
  model.resize(20, ' ');
  bus->RefreshStatus();  // 40h/51h
  bus->RefreshStatus();  // declined: the reply is awaited
  usleep(80000);         // the 50 ms time-out runs out
  clock.Advance(1);
  bus->RefreshStatus();                                          // the reply is lost: 40h/51h again
  reply(0x40, model);                                            // the handler sends 41h/41h itself
  const Bytes rc_analog = {0x00, 0x00, 0x00, 0x58, 0x42, 0x00};  // flag, 54.0 V, no module
  reply(0x41, rc_analog);                                        // ... and 41h/43h
  writer->Finish();

  replay::Script script;
  replay::ScriptError parse_error;
  ASSERT_TRUE(replay::ParseScript(ReadFile(dir.File("capture.json")), script, parse_error))
      << parse_error.Text();
  using K = replay::Step::Kind;
  std::vector<K> kinds;
  for (const replay::Step& step : script.steps) kinds.push_back(step.kind);
  EXPECT_EQ(kinds,
            (std::vector<K>{K::kRefresh, K::kClock, K::kLose, K::kRefresh, K::kReply, K::kReply}));
  EXPECT_EQ(script.start, time_from_string(kStart));
  EXPECT_EQ(*script.steps[1].time, time_from_string("2026-12-08 10:00:01"));
  EXPECT_EQ(script.steps[5].group, 0x41);
  EXPECT_EQ(script.steps[5].bytes, rc_analog);
  EXPECT_EQ(script.config.toStyledString(), config.toStyledString());
}

TEST(Capture, AFileThatCannotBeWrittenFailsTheCommand) {
  TempDir dir;
  const HostRun run =
      Host("simulate --cycles 1 --quiet-log --db " + dir.File("k.db") + " --capture /dev/full");
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("cannot write the capture file /dev/full: No space left on device"),
            std::string::npos)
      << run.err;
}

// The first value of a query's first row, as text ("" when none).
std::string QueryText(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string value;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, sql,
        [](void* out, int, char** values, char**) {
          if (values[0]) *static_cast<std::string*>(out) = values[0];
          return 0;
        },
        &value, nullptr);
  }
  sqlite3_close(db);
  return value;
}

// SIGHUP ends polling as SIGTERM does: what waited is written and the
// database is closed (with hour-long intervals, only the end writes the
// cache rows).
TEST(HostSignals, AHangUpEndsPollingCleanly) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  HostProcess host({"simulate", "--quiet-log", "--summary", "on", "--commit-interval", "3600",
                    "--cache-interval", "3600", "--db", db});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (host.Out().find("cycle 1") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(host.Out().find("cycle 1"), std::string::npos) << host.Err();
  host.Signal(SIGHUP);
  EXPECT_EQ(host.Wait(std::chrono::seconds(30)), 0) << host.Err();
  EXPECT_EQ(QueryText(db, "SELECT value FROM store_state WHERE key = 'writer'"), "closed");
  EXPECT_EQ(QueryText(db, "SELECT COUNT(*) FROM cache"), "3");
}

// The devices write trace lines to file descriptor 1; the program's standard
// output holds only the summaries (text, or JSON lines), the traces are log
// lines on standard error.
TEST(HostStandardOutput, HoldsNoTraceLineOfTheDevices) {
  TempDir dir;
  for (const std::string mode : {" --summary on", " --json"}) {
    const HostRun run = Host("simulate --cycles 1 --db " + dir.File("k.db") + mode);
    ASSERT_EQ(run.code, 0) << run.err;
    for (const char* trace : {"parse 42 41", "rc data_len", "a:"}) {
      EXPECT_EQ(run.out.find(trace), std::string::npos) << mode << " " << trace << "\n" << run.out;
    }
    EXPECT_NE(run.err.find("stdout: log: parse 42 41: "), std::string::npos) << run.err;
    if (mode != " --json") {
      EXPECT_NE(run.out.find("simulated (data id 100) cycle 1"), std::string::npos) << run.out;
      continue;
    }
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      Json::Value value;
      std::string errors;
      std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
      EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &value, &errors)) << line;
    }
  }
}

// A session captured in `simulate` replays to the same records, stamps
// included, as the ones it stored; the history command shows them decoded.
TEST(Capture, SimulatedSessionReplaysToTheStoredRecords) {
  TempDir dir;
  const HostRun run = Host("simulate --cycles 2 --quiet-log --history-every 0 --db " +
                           dir.File("k.db") + " --capture " + dir.File("session.json"));
  ASSERT_EQ(run.code, 0) << run.err;
  int code = -1;
  const std::vector<Json::Value> events =
      Replay(ParseJson(ReadFile(dir.File("session.json"))), &code);
  EXPECT_EQ(code, 0);

  runtime::RecordStore store(dir.File("k.db"), runtime::HistoryBound{});
  const std::vector<runtime::HistoryRow> rows = store.History(std::nullopt, 0);
  const std::vector<Json::Value> saved = OfKind(events, "history");
  ASSERT_GE(saved.size(), 6u);  // two cycles of three devices
  ASSERT_EQ(saved.size(), rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(saved[k]["data_id"].asUInt(), rows[k].data_id) << k;
    EXPECT_EQ(saved[k]["bytes"].asString(), Hex(rows[k].record)) << k;
  }

  cli::HistoryOptions options;
  options.db_path = dir.File("k.db");
  options.device = 21;
  options.last = 1;
  std::ostringstream out, err;
  ASSERT_EQ(cli::RunHistory(options, out, err), 0) << err.str();
  const std::vector<Json::Value> listed = ParseLines(out.str());
  ASSERT_EQ(listed.size(), 1u);
  const runtime::HistoryRow* last_dc = nullptr;
  for (const runtime::HistoryRow& row : rows) {
    if (row.data_id == 21) last_dc = &row;
  }
  ASSERT_NE(last_dc, nullptr);
  Json::Value decoded;
  std::string error;
  ASSERT_TRUE(records::Decode(5210, last_dc->record.data(), last_dc->record.size(), decoded, error))
      << error;
  EXPECT_EQ(json_text::Line(listed[0]["record"]), json_text::Line(decoded));
  EXPECT_EQ(listed[0]["data_id"].asUInt(), 21u);
}

// ---- decoding records -------------------------------------------------------

// Writes a record back from its decoded JSON, following the record layouts:
// little-endian, floats as single precision, the stamp from its time text.
class RecordWriter {
 public:
  RecordWriter& U8(const Json::Value& value) {
    bytes_.push_back(static_cast<unsigned char>(value.asUInt()));
    return *this;
  }
  RecordWriter& U32(const Json::Value& value) {
    const std::uint32_t number = value.asUInt();
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(number >> (8 * i)));
    return *this;
  }
  RecordWriter& F32(const Json::Value& value) {
    const float number = static_cast<float>(value.asDouble());
    unsigned char raw[4];
    std::memcpy(raw, &number, 4);
    bytes_.insert(bytes_.end(), raw, raw + 4);
    return *this;
  }
  RecordWriter& U8s(const Json::Value& list) {
    for (const Json::Value& item : list) U8(item);
    return *this;
  }
  RecordWriter& F32s(const Json::Value& list) {
    for (const Json::Value& item : list) F32(item);
    return *this;
  }
  RecordWriter& Stamp(const Json::Value& text) {
    unsigned int year, month, day, hour, minute, second;
    EXPECT_EQ(std::sscanf(text.asCString(), "%u-%u-%u %u:%u:%u", &year, &month, &day, &hour,
                          &minute, &second),
              6);
    for (unsigned int byte : {year & 0xFF, year >> 8, month, day, hour, minute, second}) {
      bytes_.push_back(static_cast<unsigned char>(byte));
    }
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

Bytes Reencode(int type, const Json::Value& r) {
  RecordWriter w;
  if (type == 5209) {
    w.U32(r["data_id"]).F32(r["ia"]).F32(r["ib"]).F32(r["ic"]).U8(r["channel_count"]);
    w.U8(r["airlock_count"]).U8s(r["airlock_state"]).U8(r["user_state_count"]);
    w.U8s(r["user_state"]).U8(r["ia_alert"]).U8(r["ib_alert"]).U8(r["ic_alert"]);
    w.Stamp(r["stamp"]);
    for (const Json::Value& c : r["channels"]) {
      w.F32(c["a"]).F32(c["b"]).F32(c["c"]).F32(c["f"]).U8(c["user_analog_count"]);
      w.F32s(c["user_analog"]).U8(c["a_alert"]).U8(c["b_alert"]).U8(c["c_alert"]);
      w.U8(c["f_alert"]).U8(c["user_alert_count"]).U8s(c["user_alert"]);
    }
  } else if (type == 5210) {
    w.U32(r["data_id"]).F32(r["v"]).F32(r["i"]).U8(r["dc_m"]).F32s(r["m_value"]);
    w.U8(r["dc_n"]).F32s(r["n_value"]).U8(r["p_count"]).F32s(r["user_p"]);
    w.U8(r["dc_state"]).U8(r["alert_m_count"]).U8s(r["alert_m"]);
    w.U8(r["alert_p_count"]).U8s(r["alert_p"]).Stamp(r["stamp"]);
  } else {
    w.U32(r["data_id"]).F32(r["ac_voltage_upper"]).F32(r["ac_voltage_lower"]);
    w.F32(r["ac_current_upper"]).F32(r["frequency_upper"]).F32(r["frequency_lower"]);
    w.F32(r["dc_voltage_upper"]).F32(r["dc_voltage_lower"]).U8(r["dc_param_count"]);
    w.F32s(r["dc_param"]).F32(r["output_voltage"]).U8(r["module_count"]).Stamp(r["stamp"]);
    for (const Json::Value& m : r["modules"]) {
      w.F32(m["output_current"]).U8(m["user_analog_count"]).F32s(m["user_analog"]);
      w.U8(m["on_off"]).U8(m["current_limit"]).U8(m["charge_mode"]);
      w.U8(m["user_state_count"]).U8s(m["user_state"]).U8(m["fault"]);
      w.U8(m["user_alert_count"]).U8s(m["user_alert"]);
    }
  }
  return w.bytes();
}

// Every record the units published in a real cycle decodes to JSON, printed
// as text and read back, that writes the same bytes again.
TEST_F(ReplayCycle, DecodedRecordsRoundTripToThePublishedBytes) {
  int kinds = 0;
  for (const auto& event : reference_->events) {
    if (event.kind != Kind::kPublish) continue;
    Json::Value decoded;
    std::string error;
    ASSERT_TRUE(records::Decode(event.type, event.bytes.data(), event.bytes.size(), decoded, error))
        << error;
    const Json::Value read_back = ParseJson(json_text::Line(decoded));
    EXPECT_EQ(Reencode(event.type, read_back), event.bytes) << event.type;
    EXPECT_EQ(read_back["type"].asInt(), event.type);
    EXPECT_EQ(read_back["length"].asUInt(), event.bytes.size());
    EXPECT_EQ(read_back["data_id"].asUInt(), event.data_id);
    EXPECT_EQ(read_back["stamp"], kStart);
    kinds |= 1 << (event.type - 5209);
  }
  EXPECT_EQ(kinds, 7);  // all three record types
}

TEST(Decode, RefusesLengthsThatDoNotFitTheLayout) {
  struct Row {
    int type;
    std::size_t length;
    int count;  // the channel or module count byte, -1: none
    const char* message;
  };
  const Row rows[] = {
      {5210, 91, -1, "a DC record (type 5210) is 92 bytes, the blob has 91"},
      {5210, 93, -1, "a DC record (type 5210) is 92 bytes, the blob has 93"},
      {5209, 32, -1,
       "an AC snapshot (type 5209) is 33 + 25 x n bytes for n channels: the blob has 32 bytes, "
       "fewer than the 33-byte head record"},
      {5209, 58, 2,
       "an AC snapshot (type 5209) is 33 + 25 x n bytes for n channels: its head announces n = 2 "
       "(83 bytes), the blob has 58"},
      {5211, 100, -1,
       "a rectifier snapshot (type 5211) is 101 + 12 x M bytes for M modules: the blob has 100 "
       "bytes, fewer than the 101-byte system record"},
      {5211, 125, 3,
       "a rectifier snapshot (type 5211) is 101 + 12 x M bytes for M modules: its system record "
       "announces M = 3 (137 bytes), the blob has 125"},
      {5212, 92, -1, "record type 5212 is not one of 5209, 5210, 5211"},
  };
  for (const Row& row : rows) {
    Bytes blob(row.length, 0);
    if (row.count >= 0) blob[row.type == 5209 ? 16 : 93] = static_cast<unsigned char>(row.count);
    Json::Value out;
    std::string error;
    EXPECT_FALSE(records::Decode(row.type, blob.data(), blob.size(), out, error));
    EXPECT_EQ(error, row.message);
  }
  // Without channels or modules the heads alone decode.
  Json::Value out;
  std::string error;
  EXPECT_TRUE(records::Decode(5209, Bytes(33, 0).data(), 33, out, error));
  EXPECT_TRUE(out["channels"].empty());
  EXPECT_EQ(out["stamp"], "0000-00-00 00:00:00");
}

TEST(DecodeCommand, ReadsHexArgumentsFilesAndStandardInput) {
  TempDir dir;
  Bytes dc(92, 0);
  const float voltage = 53.6f;
  std::memcpy(&dc[4], &voltage, 4);
  std::ofstream(dir.File("dc.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(dc.data()), dc.size());
  const std::string hex = Hex(dc);

  auto decode = [](cli::DecodeOptions options, const std::string& input, std::string* out_text) {
    std::istringstream in(input);
    std::ostringstream out, err;
    options.type = 5210;
    const int code = cli::RunDecode(options, in, out, err);
    *out_text = code == 0 ? out.str() : err.str();
    return code;
  };
  std::string text;
  cli::DecodeOptions options;
  options.hex = {hex.substr(0, 10), hex.substr(10)};  // pieces are joined
  ASSERT_EQ(decode(options, "", &text), 0) << text;
  EXPECT_EQ(ParseJson(text)["v"].asDouble(), 53.6);  // the float's shortest decimal
  const std::string from_arguments = text;

  options = {};
  options.file = dir.File("dc.bin");
  ASSERT_EQ(decode(options, "", &text), 0) << text;
  EXPECT_EQ(text, from_arguments);
  ASSERT_EQ(decode(cli::DecodeOptions{}, hex.substr(0, 8) + " \n" + hex.substr(8) + "\n", &text),
            0);
  EXPECT_EQ(text, from_arguments);

  EXPECT_EQ(decode(cli::DecodeOptions{}, "0", &text), 2);
  EXPECT_EQ(decode(cli::DecodeOptions{}, "zz", &text), 2);
  EXPECT_EQ(decode(cli::DecodeOptions{}, hex.substr(2), &text), 1);
  EXPECT_EQ(text, "korvan-host: decode: a DC record (type 5210) is 92 bytes, the blob has 91\n");
  options = {};
  options.file = dir.File("none.bin");
  EXPECT_EQ(decode(options, "", &text), 2);
}

// Endless or unreadable input is refused with exit code 2, not read for ever.
TEST(DecodeCommand, RefusesDirectoriesAndEndlessInput) {
  struct Row {
    std::string arguments, message;
  };
  const Row rows[] = {
      {"--file /", "korvan-host: decode: /: cannot read: is a directory\n"},
      {"--file /dev/zero", "korvan-host: decode: /dev/zero: is larger than 1048576 bytes\n"},
      {"< /dev/zero", "korvan-host: decode: standard input: is larger than 1048576 bytes\n"},
  };
  for (const Row& row : rows) {
    const HostRun run = Host("decode --type 5210 " + row.arguments);
    EXPECT_EQ(run.code, 2) << row.arguments;
    EXPECT_EQ(run.err, row.message);
  }
}

TEST(HistoryCommand, ListsRowsDecodedAndFiltered) {
  TempDir dir;
  {
    runtime::RecordStore store(dir.File("h.db"), runtime::HistoryBound{0, 0, 0});
    const auto time = time_from_string(kStart);
    Bytes dc(92, 0);
    dc[0] = 21;
    store.AppendHistory(21, 5210, time, dc.data(), dc.size());
    store.AppendHistory(22, 5210, time, dc.data(), 10);  // too short to decode
    dc[0] = 23;
    store.AppendHistory(23, 5210, time + boost::posix_time::seconds(5), dc.data(), dc.size());
  }
  auto history = [&](std::int64_t device, unsigned int last, std::string path = "") {
    cli::HistoryOptions options;
    options.db_path = path.empty() ? dir.File("h.db") : path;
    options.device = device;
    options.last = last;
    std::ostringstream out, err;
    const int code = cli::RunHistory(options, out, err);
    return std::make_pair(code, ParseLines(out.str()));
  };
  auto all = history(-1, 0);
  ASSERT_EQ(all.first, 0);
  ASSERT_EQ(all.second.size(), 3u);
  EXPECT_EQ(all.second[0]["record"]["data_id"].asUInt(), 21u);
  EXPECT_EQ(all.second[1]["error"], "a DC record (type 5210) is 92 bytes, the blob has 10");
  EXPECT_EQ(all.second[1]["bytes"], "15000000000000000000");
  EXPECT_EQ(all.second[2]["time"], "2026-12-08 10:00:05");

  auto last = history(-1, 2);
  ASSERT_EQ(last.second.size(), 2u);
  EXPECT_EQ(last.second[0]["data_id"].asUInt(), 22u);  // the newest two, oldest first
  EXPECT_EQ(history(23, 0).second.size(), 1u);
  EXPECT_TRUE(history(99, 0).second.empty());
  EXPECT_EQ(history(-1, 0, dir.File("missing.db")).first, 2);
}

// Reading another program's SQLite file changes nothing in it.
TEST(HistoryCommand, AForeignDatabaseIsRefusedAndLeftAsItWas) {
  TempDir dir;
  const std::string path = dir.File("foreign.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);

  const HostRun run = Host("history --db " + path);
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.err, "korvan-host: history: database " + path +
                         ": not a korvan-host database (it holds 1 other table: t)\n");

  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  auto single = [&](const char* sql) {
    std::string text;
    sqlite3_exec(
        db, sql,
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) += std::string(values[0] ? values[0] : "") + ";";
          return 0;
        },
        &text, nullptr);
    return text;
  };
  EXPECT_EQ(single("PRAGMA journal_mode"), "delete;");
  EXPECT_EQ(single("SELECT name FROM sqlite_master"), "t;");
  EXPECT_EQ(single("PRAGMA user_version"), "0;");
  sqlite3_close(db);
}

// ---- reading the database: history and alarms --------------------------------

// The time bounds of history, alarms and the HTTP API: each form as the local
// time text of its instant, in a zone of UTC+1 with summer time at UTC+2.
TEST(TimeBound, EveryFormIsItsInstantInLocalTimeAndTheRestIsRefused) {
  const ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::int64_t now = 1796845691;  // 2026-12-09T19:48:11Z, 20:48:11 local
  using runtime::RangeEnd;
  const RangeEnd kSince = RangeEnd::kSince, kUntil = RangeEnd::kUntil;
  const struct Row {
    const char* text;
    RangeEnd end;
    const char* local;  // nullptr: refused
  } rows[] = {
      // ISO 8601 with a zone: the instant, whichever end it bounds.
      {"2026-12-09T19:48:11+00:00", kSince, "2026-12-09 20:48:11"},
      {"2026-12-09T19:48:11Z", kUntil, "2026-12-09 20:48:11"},
      {"2026-12-09T21:18:11+0130", kSince, "2026-12-09 20:48:11"},
      {"2026-12-09T14:48:11-05", kSince, "2026-12-09 20:48:11"},
      {"2026-12-31T23:30:00-01:00", kSince, "2027-01-01 01:30:00"},
      {"2026-07-01 12:00Z", kSince, "2026-07-01 14:00:00"},  // summer time
      {"2026-07-01T12:00Z", kUntil, "2026-07-01 14:00:59"},
      // Unix seconds.
      {"1796845691", kSince, "2026-12-09 20:48:11"},
      {"0", kUntil, "1970-01-01 01:00:00"},
      // The last second of 9999, where time_t holds it (not a 32-bit one).
      {"253402297199", kSince, sizeof(std::time_t) >= 8 ? "9999-12-31 23:59:59" : nullptr},
      {"253402300799", kSince, nullptr},  // 10000-01-01 here
      {"253402300800", kSince, nullptr},
      {"99999999999999999999999", kSince, nullptr},
      // Before now.
      {"-1h", kSince, "2026-12-09 19:48:11"},
      {"-30m", kUntil, "2026-12-09 20:18:11"},
      {"-7d", kSince, "2026-12-02 20:48:11"},
      {"-45s", kSince, "2026-12-09 20:47:26"},
      {"-0s", kSince, "2026-12-09 20:48:11"},
      {"-999999999999d", kSince, nullptr},
      {"-99999999999999999999d", kSince, nullptr},
      {"-5", kSince, nullptr},
      {"-h", kSince, nullptr},
      {"-1H", kSince, nullptr},
      {"-1w", kSince, nullptr},
      {"+1h", kSince, nullptr},
      {"- 1h", kSince, nullptr},
      // Named days: the whole local date.
      {"today", kSince, "2026-12-09 00:00:00"},
      {"today", kUntil, "2026-12-09 23:59:59"},
      {"yesterday", kSince, "2026-12-08 00:00:00"},
      {"Today", kSince, nullptr},
      {"yesterday ", kSince, nullptr},
      // Local time: a date or a minute is its first second as since, its last as until.
      {"2026-12-08 10:00:05", kSince, "2026-12-08 10:00:05"},
      {"2026-12-08T10:00:05", kUntil, "2026-12-08 10:00:05"},
      {"2026-12-08", kSince, "2026-12-08 00:00:00"},
      {"2026-12-08", kUntil, "2026-12-08 23:59:59"},
      {"2026-12-08 10:00", kSince, "2026-12-08 10:00:00"},
      {"2026-12-08T10:00", kUntil, "2026-12-08 10:00:59"},
      {"2028-02-29", kSince, "2028-02-29 00:00:00"},
      {"2027-02-29", kSince, nullptr},
      {"2026-02-30", kUntil, nullptr},
      {"2026-04-31 10:00:00", kSince, nullptr},
      {"2026-13-01", kSince, nullptr},
      {"2026-00-10", kSince, nullptr},
      {"2026-12-08 24:00", kUntil, nullptr},
      {"2026-12-08 24:00:00", kSince, nullptr},
      {"2026-12-08 23:60:00", kSince, nullptr},
      {"2026-12-08 23:59:60", kSince, nullptr},
      {"2026-12-08 10:0", kSince, nullptr},
      {"2026-12-08 10:00:5", kSince, nullptr},
      {"2026-12-8", kSince, nullptr},
      {"2026-12-08x10:00:00", kSince, nullptr},
      {"2026-12-08 10:00:00 ", kSince, nullptr},
      {"0999-12-08", kSince, nullptr},
      // Zones ISO 8601 does not have, or on a date alone.
      {"2026-12-08T10:00:00+1", kSince, nullptr},
      {"2026-12-08T10:00:00+01:0", kSince, nullptr},
      {"2026-12-08T10:00:00+0100Z", kSince, nullptr},
      {"2026-12-08T10:00:00+24:00", kSince, nullptr},
      {"2026-12-08T10:00:00+01:60", kSince, nullptr},
      {"2026-12-08T10:00:00z", kSince, nullptr},
      {"2026-12-08Z", kSince, nullptr},
      {"2026-12-08+01:00", kSince, nullptr},
      // Garbage.
      {"", kSince, nullptr},
      {"8 Dec 2026", kSince, nullptr},
      {"1.5", kSince, nullptr},
      {"\xff\xfe", kSince, nullptr},
  };
  for (const Row& row : rows) {
    const std::optional<std::string> local = runtime::ParseTimeBound(row.text, row.end, now);
    EXPECT_EQ(local.has_value(), row.local != nullptr) << row.text << " -> " << local.value_or("");
    if (row.local != nullptr && local) {
      EXPECT_EQ(*local, row.local) << row.text;
    }
  }
  // A day before a month's first is the last of the month before.
  EXPECT_EQ(runtime::ParseTimeBound("yesterday", kUntil, 1793487600),  // 2026-11-01T00:00+01:00
            "2026-10-31 23:59:59");
  EXPECT_EQ(
      runtime::TimeBoundError("--since", "2026-02-30"),
      std::string("--since \"2026-02-30\": not a time; accepted: ") + runtime::kTimeBoundForms);
  EXPECT_EQ(runtime::TimeBoundError("since", "\x01"),
            std::string("since: not a time; accepted: ") + runtime::kTimeBoundForms);
}

TEST(RecordFields, PathsNameTheNumbersAndTextsThatDecodePrints) {
  const struct Row {
    const char* path;
    bool known;
  } rows[] = {
      {"v", true},
      {"stamp", true},
      {"m_value.2", true},
      {"m_value.3", false},  // three values
      {"n_value.0", false},  // none
      {"channels.0.a", true},
      {"channels.254.user_alert.2", true},
      {"channels.255.a", false},  // a count byte allows 255 channels
      {"channels.01.a", false},
      {"channels.a", false},
      {"channels.0", false},  // an object, not a field
      {"m_value", false},     // an array
      {"modules.1.output_current", true},
      {"modules.1.user_analog.0", false},
      {"v.", false},
      {"", false},
      {"volts", false},
  };
  for (const Row& row : rows) EXPECT_EQ(records::IsKnownField(row.path), row.known) << row.path;
  const std::string known = records::KnownFieldsText();
  EXPECT_NE(known.find("5210 (DC): alert_m.0..19, "), std::string::npos) << known;
  EXPECT_NE(known.find("channels.N.a, "), std::string::npos) << known;
  EXPECT_NE(known.find("modules.N.output_current"), std::string::npos) << known;
}

TEST(CsvText, QuotesFieldsWithCommasQuotesAndLineBreaks) {
  EXPECT_EQ(csv_text::Line({"plain", "a,b", "say \"hi\"", "two\nlines", "", " lead"}),
            "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",, lead\r\n");
}

// A store as a session leaves it: DC 21 over two days, an AC unit with two
// channels, a row that cannot be decoded, alarm events raised and cleared.
class StoredSession : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime::RecordStore store(db_, runtime::HistoryBound{0, 0, 0});
    auto dc = [&](const char* time, double v, double i) {
      Json::Value record;
      std::string error;
      const Bytes zero(92, 0);
      ASSERT_TRUE(records::Decode(5210, zero.data(), zero.size(), record, error));
      record["data_id"] = 21;
      record["v"] = v;
      record["i"] = i;
      record["stamp"] = time;
      const Bytes bytes = Reencode(5210, record);
      store.AppendHistory(21, 5210, time_from_string(time), bytes.data(), bytes.size());
    };
    dc("2026-12-08 10:00:00", 53.5, 2.0);
    Bytes ac(33 + 2 * 25, 0);
    ac[0] = 11;
    ac[16] = 2;  // channel_count, after data_id and three floats
    Json::Value record;
    std::string error;
    ASSERT_TRUE(records::Decode(5209, ac.data(), ac.size(), record, error)) << error;
    record["channels"][1]["a"] = 231.5;
    ac = Reencode(5209, record);
    store.AppendHistory(11, 5209, time_from_string("2026-12-08 10:00:02"), ac.data(), ac.size());
    store.AppendHistory(11, 5209, time_from_string("2026-12-08 10:00:03"), ac.data(), 20);
    dc("2026-12-08 10:00:05", 53.6, -1.25);
    dc("2026-12-09 08:00:00", 54.0, 0.0);

    auto alarm = [&](bool raised, const char* time, std::uint32_t device, int type, const char* id,
                     const char* text) {
      runtime::AlarmEvent event;
      event.raised = raised;
      event.time = time;
      event.data_id = device;
      event.record_type = type;
      event.level = 2;
      event.id = id;
      event.code = "06024";
      event.name = "alarm";
      event.text = text;
      store.AppendAlarmEvent(event);
    };
    alarm(true, "2026-12-08 10:00:01", 21, 5210, "DC_V", "low, \"check\" fuse");
    alarm(true, "2026-12-08 10:00:03", 100, 5211, "RC_0", "模块1整流模块故障告警");
    alarm(false, "2026-12-08 10:00:04", 21, 5210, "DC_V", "low, \"check\" fuse");
    // A run of system "east" wrote its devices; none is data id 100.
    store.WriteDevices({{21, "east", "dc", 1, 5210}, {22, "east", "dc", 2, 5210}});
  }

  HostRun Run(const std::string& arguments) const { return Host(arguments + " --db " + db_); }

  TempDir dir_;
  std::string db_ = dir_.File("s.db");
};

TEST_F(StoredSession, HistoryByTimeRangeWithChosenFieldsAsJsonOrCsv) {
  const struct Row {
    const char* arguments;
    const char* out;
  } rows[] = {
      {"history --device 21 --csv --fields v,i --since '2026-12-08 10:00:05'",
       "time,system,data_id,record_type,v,i\r\n2026-12-08 10:00:05,east,21,5210,53.6,-1.25\r\n"
       "2026-12-09 08:00:00,east,21,5210,54.0,0.0\r\n"},
      // A date alone as --until takes in its whole day; --last counts inside the range.
      {"history --device 21 --csv --fields v --until 2026-12-08 --last 1",
       "time,system,data_id,record_type,v\r\n2026-12-08 10:00:05,east,21,5210,53.6\r\n"},
      {"history --csv --fields v,channels.1.a --since 2026-12-08T10:00:01 --until "
       "2026-12-08T10:00:05",
       "time,system,data_id,record_type,v,channels.1.a\r\n2026-12-08 10:00:02,,11,5209,,231.5\r\n"
       "2026-12-08 10:00:03,,11,5209,,\r\n2026-12-08 10:00:05,east,21,5210,53.6,\r\n"},
      // Without --fields: every name the rows have (this record announces no batteries).
      {"history --device 21 --csv --last 1",
       "time,system,data_id,record_type,dc.1.output.voltage,dc.1.output.current,"
       "dc.1.output.voltage.alarm,dc.1.battery.count\r\n2026-12-09 08:00:00,east,21,5210,54.0,"
       "0.0,0,0\r\n"},
      {"history --csv --since 2026-12-10", "time,system,data_id,record_type\r\n"},
      // "*" for every item that a listed row holds, as the API takes it.
      {"history --device 11 --csv --fields ac.1.channel.*.L1-N.voltage,v",
       "time,system,data_id,record_type,ac.1.channel.1.L1-N.voltage,ac.1.channel.2.L1-N.voltage,"
       "v\r\n2026-12-08 10:00:02,,11,5209,0.0,231.5,\r\n2026-12-08 10:00:03,,11,5209,,,\r\n"},
      {"history --device 11 --fields ac.1.channel.*.L1-N.voltage --last 2 --until "
       "'2026-12-08 10:00:02'",
       "{\"data_id\":11,\"record\":{\"ac.1.channel.1.L1-N.voltage\":0.0,"
       "\"ac.1.channel.2.L1-N.voltage\":231.5},\"row\":2,\"time\":\"2026-12-08 10:00:02\","
       "\"type\":5209}\n"},
      {"history --device 11 --fields channels.1.a,v --last 2",
       "{\"data_id\":11,\"record\":{\"channels.1.a\":231.5,\"v\":null},\"row\":2,"
       "\"time\":\"2026-12-08 10:00:02\",\"type\":5209}\n"
       "{\"bytes\":\"0B00000000000000000000000000000002000000\",\"data_id\":11,\"error\":"
       "\"an AC snapshot (type 5209) is 33 + 25 x n bytes for n channels: the blob has 20 bytes, "
       "fewer than the 33-byte head record\",\"row\":3,\"time\":\"2026-12-08 10:00:03\","
       "\"type\":5209}\n"},
  };
  for (const Row& row : rows) {
    const HostRun run = Run(row.arguments);
    EXPECT_EQ(run.code, 0) << row.arguments << "\n" << run.err;
    EXPECT_EQ(run.out, row.out) << row.arguments;
  }
  // Every row has the header's number of fields; the AC snapshot's columns
  // come first, its channels' values among them.
  const HostRun mixed = Run("history --csv --until '2026-12-08 10:00:02'");
  std::istringstream lines(mixed.out);
  std::string header, line;
  std::getline(lines, header);
  EXPECT_EQ(header.rfind("time,system,data_id,record_type,ac.1.L1.current,", 0), 0u) << header;
  const std::size_t ac_start = mixed.out.find(",,11,5209,");
  ASSERT_NE(ac_start, std::string::npos) << mixed.out;
  const std::size_t ac_begin = mixed.out.rfind('\n', ac_start) + 1;
  const std::string ac_line = mixed.out.substr(ac_begin, mixed.out.find('\r', ac_begin) - ac_begin);
  const auto column = [](const std::string& text, const std::string& name) {
    return std::count(text.begin(), text.begin() + static_cast<long>(text.find(name)), ',');
  };
  const auto at = column(header, ",ac.1.channel.2.L1-N.voltage,") + 1;
  std::istringstream fields(ac_line);
  std::string field;
  for (long k = 0; k <= at; ++k) std::getline(fields, field, ',');
  EXPECT_EQ(field, "231.5") << header << "\n" << ac_line;
  const auto commas = std::count(header.begin(), header.end(), ',');
  int count = 0;
  for (; std::getline(lines, line); ++count) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), commas) << line;
  }
  EXPECT_EQ(count, 2);
  // The row that cannot be decoded is named on standard error.
  const HostRun damaged = Run("history --csv --device 11");
  EXPECT_EQ(damaged.code, 0);
  EXPECT_EQ(damaged.err.rfind("korvan-host: history: row 3 (2026-12-08 10:00:03): an AC", 0), 0u)
      << damaged.err;
}

TEST_F(StoredSession, AlarmsAsJsonLinesOrCsvAndTheActiveOnes) {
  const HostRun all = Run("alarms");
  ASSERT_EQ(all.code, 0) << all.err;
  const std::vector<Json::Value> events = ParseLines(all.out);
  ASSERT_EQ(events.size(), 3u);
  // The members of the runtime's alarm events, but the system's name.
  // The members of run --json's alarm events; the gloss only where one is known.
  EXPECT_EQ(events[0].getMemberNames(),
            (std::vector<std::string>{"code", "data_id", "event", "event_id", "id", "level", "name",
                                      "record_type", "system", "text", "time"}));
  EXPECT_EQ(events[0]["event"], "alarm_raised");
  EXPECT_EQ(events[0]["system"], "east");
  EXPECT_EQ(events[0]["text"], "low, \"check\" fuse");
  EXPECT_EQ(events[1]["system"], "");
  EXPECT_EQ(events[1]["gloss"], "rectifier module 1 fault");
  EXPECT_EQ(events[2]["event"], "alarm_cleared");
  EXPECT_EQ(events[2]["time"], "2026-12-08 10:00:04");

  const struct Row {
    const char* arguments;
    const char* out;
  } rows[] = {
      {"alarms --csv --device 21 --until '2026-12-08 10:00:03'",
       "time,system,event,data_id,record_type,level,id,code,name,text,gloss,event_id\r\n"
       "2026-12-08 10:00:01,east,alarm_raised,21,5210,2,DC_V,06024,alarm,\"low, \"\"check\"\" "
       "fuse\",,\r\n"},
      {"alarms --csv --active",
       "time,system,event,data_id,record_type,level,id,code,name,text,gloss,event_id\r\n"
       "2026-12-08 10:00:03,,alarm_raised,100,5211,2,RC_0,06024,alarm,模块1整流模块故障告警,"
       "rectifier module 1 fault,\r\n"},
      {"alarms --active --device 21", ""},
      {"alarms --since 2026-12-08T10:00:02 --last 1",
       "{\"code\":\"06024\",\"data_id\":21,\"event\":\"alarm_cleared\",\"event_id\":null,"
       "\"id\":\"DC_V\","
       "\"level\":2,\"name\":\"alarm\",\"record_type\":5210,\"system\":\"east\",\"text\":"
       "\"low, \\\"check\\\" fuse\",\"time\":\"2026-12-08 10:00:04\"}\n"},
  };
  for (const Row& row : rows) {
    const HostRun run = Run(row.arguments);
    EXPECT_EQ(run.code, 0) << row.arguments << "\n" << run.err;
    EXPECT_EQ(run.out, row.out) << row.arguments;
  }
}

// Bad times and unknown fields are refused before the database is read; a
// missing or foreign database as before. The file is left as it was.
TEST_F(StoredSession, BadTimesUnknownFieldsAndMissingDatabasesAreRefused) {
  const std::string before = ReadFile(db_);
  const struct Row {
    const char* arguments;
    int code;
    const char* err;  // the start of the message
  } rows[] = {
      {"history --since 2026-02-30", 105,
       "korvan-host: history: --since \"2026-02-30\": not a time; accepted: YYYY-MM-DD, "
       "YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS (local time; "},
      {"alarms --until '8 Dec 2026'", 105, "korvan-host: alarms: --until \"8 Dec 2026\": not"},
      {"alarms --since 2026-12-09 --until 2026-12-08", 105,
       "korvan-host: alarms: --since 2026-12-09 00:00:00 is after --until 2026-12-08 23:59:59\n"},
      {"history --fields v,volts", 105,
       "korvan-host: history: unknown field \"volts\": neither a name that korvan-host list "
       "shows (dc.1.output.voltage, ac.1.channel.2.L1-N.voltage, rectifier.3.current, ...) nor a "
       "record path; the record paths of each record type (N: a channel or module from 0):\n  "
       "5209 (AC): airlock_count, "},
      {"history --fields channels.0", 105, "korvan-host: history: unknown field \"channels.0\""},
      {"history --fields dc.*.output.voltage", 105,
       "korvan-host: history: unknown field \"dc.*.output.voltage\": no name of the vocabulary "
       "has items where \"*\" is"},
  };
  for (const Row& row : rows) {
    const HostRun run = Run(row.arguments);
    EXPECT_EQ(run.code, row.code) << row.arguments;
    EXPECT_EQ(run.err.rfind(row.err, 0), 0u) << row.arguments << "\n" << run.err;
    EXPECT_EQ(run.out, "") << row.arguments;
  }
  EXPECT_EQ(ReadFile(db_), before);
  const HostRun missing = Host("alarms --db " + dir_.File("none.db"));
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(missing.err, "korvan-host: alarms: no database at " + dir_.File("none.db") + "\n");
  std::ofstream(dir_.File("text.db")) << std::string(4096, 'x');
  EXPECT_EQ(Host("alarms --active --db " + dir_.File("text.db")).code, 2);
}

// A file of a version before the devices table: alarms are listed without
// their system, and the file is not changed.
TEST_F(StoredSession, AnOlderDatabaseWithoutDevicesStillListsAlarms) {
  {
    runtime::SqliteDb db(db_, 2000);
    db.Exec("DROP TABLE devices");
  }
  const std::string before = ReadFile(db_);
  const HostRun run = Run("alarms --csv --device 21 --last 1");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "time,system,event,data_id,record_type,level,id,code,name,text,gloss,event_id\r\n"
            "2026-12-08 10:00:04,,alarm_cleared,21,5210,2,DC_V,06024,alarm,\"low, \"\"check\"\" "
            "fuse\",,\r\n");
  EXPECT_EQ(ReadFile(db_), before);
}

// "DATA_ID SYSTEM KIND UNIT RECORD_TYPE".
std::string DeviceText(const runtime::DeviceInfo& device) {
  return std::to_string(device.data_id) + " " + device.system + " " + device.kind + " " +
         std::to_string(device.unit) + " " + std::to_string(device.record_type);
}

// A run writes the devices of its systems: theirs replace every earlier row of
// the same system or data id, other systems' rows stay. Units are counted by
// kind in the configuration's order.
TEST(Devices, ARunTellsWhichSystemAndUnitEachDataIdIs) {
  const runtime::LoadedConfig loaded = runtime::ParseConfig(
      R"({"name": "east", "port": "/dev/ttyS1", "data_id": 100, "acSetting": [{"data_id": 11}],
          "dcSetting": [{"data_id": 23}, {"data_id": 21}]})",
      "east.json");
  ASSERT_EQ(loaded.systems.size(), 1u);
  std::vector<std::string> configured;
  for (const runtime::DeviceInfo& device : runtime::DevicesOf(loaded.systems[0])) {
    configured.push_back(DeviceText(device));
  }
  EXPECT_EQ(configured,
            (std::vector<std::string>{"11 east ac 1 5209", "23 east dc 1 5210", "21 east dc 2 5210",
                                      "100 east rectifiers 1 5211"}));

  TempDir dir;
  const std::string db = dir.File("k.db");
  {
    runtime::RecordStore store(db, runtime::HistoryBound{});
    store.WriteDevices({{7, "other", "dc", 1, 5210},
                        {21, "other", "dc", 2, 5210},
                        {99, "simulated", "ac", 2, 5209}});
  }
  const HostRun run = Host("simulate --cycles 1 --quiet-log --db " + db);
  ASSERT_EQ(run.code, 0) << run.err;
  std::vector<std::string> stored;
  for (const auto& entry :
       runtime::RecordStore(db, runtime::HistoryBound{}, 2000, runtime::SqliteDb::Access::kReadOnly)
           .ReadDevices()) {
    EXPECT_EQ(entry.first, entry.second.data_id);
    stored.push_back(DeviceText(entry.second));
  }
  EXPECT_EQ(stored, (std::vector<std::string>{"7 other dc 1 5210", "11 simulated ac 1 5209",
                                              "21 simulated dc 1 5210",
                                              "100 simulated rectifiers 1 5211"}));
}

}  // namespace
