// The host runtime: alarm book, configuration files, controller, snapshot
// views, the command line's failures, and polling the simulator end to end
// over a pseudo-terminal.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/kmx_spdevice.h"
#include "host/provider.h"
#include "runtime/alarm_book.h"
#include "runtime/power_system.h"
#include "runtime/runtime.h"
#include "runtime/runtime_controller.h"
#include "runtime/snapshot_views.h"
#include "runtime/system_config.h"
#include "sim/pty_port.h"
#include "sim/sim_server.h"
#include "sim/simulator.h"
#include "store/record_store.h"
#include "store/sqlite_db.h"
#include "store/store_writer.h"
#include "tests/support/child_process.h"
#include "tests/support/host_run.h"
#include "tests/support/temp_dir.h"

namespace {

using runtime::AlarmBook;
using runtime::AlarmEvent;
using runtime::DeviceKey;

// ---------------------------------------------------------------------------
// Helpers

rule_value Rule(const std::string& id, const std::string& text, bool active, int level = 2) {
  rule_value rule;
  rule.id = id;
  rule.code = "06024";
  rule.name = "整流模块故障告警";
  rule.text = text;
  rule.level = level;
  rule.active = active;
  return rule;
}

// Collects what the controller reports.
class RecordingOutput : public runtime::EventSubscriber {
 public:
  void OnEvent(const runtime::RuntimeEvent& event) override {
    using Kind = runtime::RuntimeEvent::Kind;
    std::lock_guard<std::mutex> lock(mutex);
    kinds.push_back(event.kind);
    if (event.kind == Kind::kLog) logs.push_back(event.text);
    if (event.kind == Kind::kAlarm) alarms.push_back(event.alarm);
    if (event.kind == Kind::kNote) notes.push_back(event.text);
    if (event.kind == Kind::kProblem) problems.push_back(event.text);
    if (event.kind == Kind::kDriverRestarted) problems.push_back("driver restarted: " + event.text);
  }

  std::mutex mutex;
  std::vector<runtime::RuntimeEvent::Kind> kinds;
  std::vector<std::string> logs, notes, problems;
  std::vector<AlarmEvent> alarms;
};

// The JSON objects of a --json run whose "event" is `event`.
std::vector<Json::Value> Events(const std::string& out, const std::string& event) {
  std::vector<Json::Value> found;
  std::istringstream lines(out);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  for (std::string line; std::getline(lines, line);) {
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &value, &errors)) << line;
    if (value["event"].asString() == event) found.push_back(value);
  }
  return found;
}

// The alarm events `event` ("alarm_raised", "alarm_cleared") of alarm `id` in
// a --json run.
std::vector<Json::Value> AlarmEvents(const std::string& out, const std::string& event,
                                     const std::string& id) {
  std::vector<Json::Value> found;
  for (const Json::Value& alarm : Events(out, event)) {
    if (alarm["id"] == id) found.push_back(alarm);
  }
  return found;
}

// A simulated power system on a pseudo-terminal, for configuration files
// that name its port.
class ServedSimulator {
 public:
  explicit ServedSimulator(::SystemConfig config = ::SystemConfig())
      : simulator_(config), line_(std::make_shared<PtyPort>()) {
    std::string error;
    EXPECT_TRUE(line_->Open(SerialSettings(), error)) << error;
    server_ = std::make_unique<SimServer>(simulator_, line_);
    server_->Start();
  }
  ~ServedSimulator() { server_->Stop(); }
  std::string Port() const { return line_->Path(); }

 private:
  Simulator simulator_;
  std::shared_ptr<PtyPort> line_;
  std::unique_ptr<SimServer> server_;
};

// One system object of a configuration file, with one AC and one DC unit.
std::string SystemJson(const std::string& port, const std::string& extra = "", bool rc = true) {
  return "{\"name\": \"site-a\", \"port\": \"" + port +
         "\", \"data_id\": 100, \"acSetting\": [{\"data_id\": 11}], "
         "\"dcSetting\": [{\"data_id\": 21}" +
         extra + "]" + (rc ? ", \"rcSetting\": {}" : "") + "}";
}

std::int64_t Count(const std::string& db_path, const std::string& sql) {
  runtime::SqliteDb db(db_path, 1000);
  runtime::SqliteStatement count(db, sql);
  return count.Next() ? count.Int(0) : -1;
}

// ---------------------------------------------------------------------------
// Alarm book

TEST(AlarmBook, RaisesAndClearsOnlyWhenTheStateChanges) {
  AlarmBook book;
  const DeviceKey rectifiers{100, 5211};
  const std::vector<bool> states{false, true, true, true, false, false, true};
  std::vector<std::pair<std::size_t, bool>> changes;
  for (std::size_t i = 0; i < states.size(); ++i) {
    const auto events = book.Apply(rectifiers, {Rule("RC_0", "模块2整流模块故障告警", states[i])},
                                   "2026-12-08 10:00:0" + std::to_string(i));
    for (const AlarmEvent& event : events) changes.emplace_back(i, event.raised);
  }
  EXPECT_EQ(changes, (std::vector<std::pair<std::size_t, bool>>{{1, true}, {4, false}, {6, true}}));

  const std::vector<AlarmEvent> active = book.Active();
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].time, "2026-12-08 10:00:06");
  EXPECT_EQ(active[0].data_id, 100u);
  EXPECT_EQ(active[0].record_type, 5211);
  EXPECT_EQ(active[0].level, 2);
  EXPECT_EQ(active[0].code, "06024");
  EXPECT_EQ(active[0].name, "整流模块故障告警");
  EXPECT_EQ(active[0].text, "模块2整流模块故障告警");
}

TEST(AlarmBook, KeysAlarmsByDeviceIdAndText) {
  AlarmBook book;
  const DeviceKey bus{100, 0};
  const DeviceKey rectifiers{100, 5211};
  // One id, one text per module: each module's alarm stands alone.
  auto raised = book.Apply(
      rectifiers,
      {Rule("RC_0", "模块1整流模块故障告警", true), Rule("RC_0", "模块2整流模块故障告警", true),
       Rule("RC_0", "模块3整流模块故障告警", false)},
      "t1");
  EXPECT_EQ(raised.size(), 2u);
  // The same id and text from another device under the same data id.
  EXPECT_EQ(book.Apply(bus, {Rule("RC_0", "模块1整流模块故障告警", true)}, "t2").size(), 1u);
  const auto cleared = book.Apply(
      rectifiers,
      {Rule("RC_0", "模块1整流模块故障告警", false), Rule("RC_0", "模块2整流模块故障告警", true)},
      "t3");
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_FALSE(cleared[0].raised);
  EXPECT_EQ(cleared[0].text, "模块1整流模块故障告警");
  EXPECT_EQ(book.Active().size(), 2u);
}

TEST(AlarmBook, AlarmsActiveBeforeARestartAreNotRaisedAgain) {
  AlarmBook book;
  AlarmEvent stored;
  stored.raised = true;
  stored.data_id = 100;
  stored.record_type = 5211;
  stored.id = "RC_0";
  stored.text = "模块2整流模块故障告警";
  book.Restore({stored});
  EXPECT_TRUE(book.Apply({100, 5211}, {Rule("RC_0", "模块2整流模块故障告警", true)}, "t").empty());
  EXPECT_EQ(book.Apply({100, 5211}, {Rule("RC_0", "模块2整流模块故障告警", false)}, "t").size(),
            1u);
}

TEST(AlarmBook, ATextThatIsNotUtf8MeetsItsStoredFormAfterARestart) {
  const std::string broken = std::string("本驱动类型:korvan 检测型号:KOR") + "\xC3\x28";
  AlarmBook live;
  const std::vector<AlarmEvent> raised =
      live.Apply({100, 0}, {Rule("device_model", broken, true)}, "t1");
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].text, std::string("本驱动类型:korvan 检测型号:KOR") + "\xEF\xBF\xBD(");
  EXPECT_TRUE(live.Apply({100, 0}, {Rule("device_model", broken, true)}, "t1").empty());
  AlarmBook restarted;
  restarted.Restore(raised);
  EXPECT_TRUE(restarted.Apply({100, 0}, {Rule("device_model", broken, true)}, "t2").empty());
  EXPECT_TRUE(restarted.ClearUnconfirmed("t3").empty());
  // Texts already found valid are not checked again; one that changes at
  // the same place is, also after a batch in which it was valid.
  const std::string fine = "本驱动类型:korvan 检测型号:KOR(";
  EXPECT_EQ(restarted.Apply({100, 0}, {Rule("device_model", fine, true)}, "t4").size(), 1u);
  EXPECT_TRUE(restarted.Apply({100, 0}, {Rule("device_model", fine, true)}, "t5").empty());
  const std::vector<AlarmEvent> cleared =
      restarted.Apply({100, 0}, {Rule("device_model", broken, false)}, "t6");
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_EQ(cleared[0].text, raised[0].text);
}

// A restart whose last events were not committed goes on from the last
// stored event of each alarm: a rule, or the cycle's end for a restored alarm
// that no rule names, repeats a lost event with its id.
TEST(AlarmBook, ARestartRepeatsALostEventWithItsEventId) {
  auto apply = [](AlarmBook& book, bool active, const std::string& time) {
    return book.Apply({100, 5211}, {Rule("RC_0", "text", active)}, time).at(0);
  };
  AlarmBook live("site-a");
  const AlarmEvent raise = apply(live, true, "2026-12-08 10:00:00");
  const AlarmEvent clear = apply(live, false, "2026-12-08 10:00:05");
  const AlarmEvent again = apply(live, true, "2026-12-08 10:00:10");
  EXPECT_EQ(std::set<std::string>({raise.event_id, clear.event_id, again.event_id}).size(), 3u);
  AlarmBook restored("site-a");
  restored.Restore({raise});
  const std::vector<AlarmEvent> clears = restored.ClearUnconfirmed("2026-12-08 10:09:00");
  ASSERT_EQ(clears.size(), 1u);
  EXPECT_EQ(clears[0].event_id, clear.event_id);
  AlarmBook after_clear("site-a");
  after_clear.Restore({raise, clear});
  EXPECT_EQ(apply(after_clear, true, "2026-12-08 10:09:00").event_id, again.event_id);
}

TEST(AlarmBook, RestoredOrUnconfirmedAlarmsThatNoRuleNamesAgainAreCleared) {
  auto stored = [](std::uint32_t data_id, int type, const std::string& id) {
    AlarmEvent event;
    event.raised = true;
    event.data_id = data_id;
    event.record_type = type;
    event.id = id;
    event.text = id + " text";
    return event;
  };
  AlarmBook book;
  // The model alarm (passed only while the model is wrong) and two rectifier alarms.
  book.Restore(
      {stored(100, 0, "device_model"), stored(100, 5211, "RC_0"), stored(100, 5211, "RC_1")});
  EXPECT_TRUE(book.Apply({100, 5211}, {Rule("RC_0", "RC_0 text", true)}, "t1").empty());
  const std::vector<AlarmEvent> clears = book.ClearUnconfirmed("t2");
  ASSERT_EQ(clears.size(), 2u);
  EXPECT_EQ(clears[0].id, "device_model");
  EXPECT_EQ(clears[1].id, "RC_1");
  EXPECT_FALSE(clears[0].raised);
  EXPECT_EQ(clears[0].time, "t2");
  ASSERT_EQ(book.Active().size(), 1u);
  EXPECT_EQ(book.Active()[0].id, "RC_0");
  // Once confirmed, a later cycle clears nothing by itself.
  EXPECT_TRUE(book.ClearUnconfirmed("t3").empty());
  // Devices made anew: their alarms must be named again.
  book.Apply({7, 5210}, {Rule("DC_1", "DC_1 text", true)}, "t4");
  book.Unconfirm({100});
  EXPECT_TRUE(book.Apply({7, 5210}, {Rule("DC_1", "DC_1 text", true)}, "t5").empty());
  const std::vector<AlarmEvent> after = book.ClearUnconfirmed("t6");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].id, "RC_0");
  ASSERT_EQ(book.Active().size(), 1u);
  EXPECT_EQ(book.Active()[0].id, "DC_1");
}

// ---------------------------------------------------------------------------
// Configuration files

TEST(ConfigFile, ReadsOneSystemOrSeveral) {
  const runtime::LoadedConfig one = runtime::ParseConfig(SystemJson("/dev/ttyS1"), "one.json");
  ASSERT_TRUE(one.problems.empty());
  ASSERT_EQ(one.systems.size(), 1u);
  EXPECT_EQ(one.systems[0].name, "site-a");
  EXPECT_EQ(one.systems[0].port, "/dev/ttyS1");
  EXPECT_EQ(one.systems[0].device_type, "korvan");
  EXPECT_EQ(one.systems[0].data_id, 100u);
  EXPECT_EQ(one.systems[0].settings["acSetting"][0]["data_id"].asUInt(), 11u);

  const runtime::LoadedConfig two = runtime::ParseConfig(
      "{\"systems\": [{\"port\": \"/dev/a\"}, {\"port\": \"/dev/b\", \"device_type\": \"x\"}]}",
      "two.json");
  ASSERT_EQ(two.systems.size(), 2u);
  EXPECT_EQ(two.systems[0].name, "system-1");
  EXPECT_EQ(two.systems[1].name, "system-2");
  EXPECT_EQ(two.systems[1].device_type, "x");
}

// A record names its unit by its place among its kind; the polling thread
// reads the places from a table made once.
TEST(ConfigFile, UnitsArePlacedAmongTheirKindInTheirOrder) {
  const runtime::LoadedConfig loaded = runtime::ParseConfig(
      R"({"port": "/dev/a", "data_id": 100, "acSetting": [{"data_id": 12}, {"data_id": 11}],
          "dcSetting": [{"data_id": 23}, {"data_id": 21}, {"data_id": 22}]})",
      "f.json");
  ASSERT_EQ(loaded.systems.size(), 1u) << loaded.problems.size();
  const auto lookup = runtime::UnitPlaceLookup(loaded.systems[0]);
  const std::pair<std::uint32_t, int> rows[] = {{12, 1}, {11, 2},  {23, 1}, {21, 2},
                                                {22, 3}, {100, 1}, {99, 1}};
  for (const auto& [data_id, place] : rows) {
    EXPECT_EQ(lookup(data_id), place) << data_id;
    EXPECT_EQ(runtime::UnitPlace(loaded.systems[0], data_id), place) << data_id;
  }
}

TEST(ConfigFile, NamesTheFileTheSystemAndTheReason) {
  struct Row {
    std::string text;
    std::string message;
  };
  const std::vector<Row> rows{
      {"{\"name\": \"a\", \"rcSetting\": {}}",
       "f.json: system \"a\": no serial port given (key \"port\")"},
      {"{\"port\": 5}",
       "f.json: system \"system-1\": \"port\" must be the path of a serial device"},
      // The package's file as installed: waiting for its administrator.
      {"{\"port\": \"\"}",
       "f.json: system \"system-1\": not configured: \"port\" is empty; set it to the power "
       "system's serial port (a /dev/serial/by-id/ path, or /dev/ttyUSB0)"},
      {"{\"port\": \"/dev/a\", \"data_id\": -1}",
       "f.json: system \"system-1\": \"data_id\" must be an unsigned whole number"},
      {"{\"port\": \"/dev/a\", \"device_type\": \"\"}",
       "f.json: system \"system-1\": \"device_type\" must be a non-empty text"},
      {"{\"systems\": {}}", "f.json: \"systems\" must be a non-empty array"},
      {"[1]", "f.json: must hold a JSON object"},
      {"{\"systems\": [7]}", "f.json: system \"system-1\": is not a JSON object"},
      // What the bus device would take silently as no units, or as unit id 0.
      {"{\"port\": \"/dev/a\", \"acSetting\": {\"data_id\": 11}}",
       "f.json: system \"system-1\": \"acSetting\" must be an array of unit objects"},
      {"{\"port\": \"/dev/a\", \"dcSetting\": 21}",
       "f.json: system \"system-1\": \"dcSetting\" must be an array of unit objects"},
      {"{\"port\": \"/dev/a\", \"dcSetting\": [7]}",
       "f.json: system \"system-1\": dcSetting[0] must be a JSON object"},
      {"{\"port\": \"/dev/a\", \"acSetting\": [{\"data_id\": 11}, {}]}",
       "f.json: system \"system-1\": acSetting[1] has no \"data_id\""},
      {"{\"port\": \"/dev/a\", \"acSetting\": [{\"data_id\": 0}]}",
       "f.json: system \"system-1\": acSetting[0].data_id must be a whole number from 1 to "
       "4294967295"},
      {"{\"port\": \"/dev/a\", \"acSetting\": [{\"data_id\": 11.5}]}",
       "f.json: system \"system-1\": acSetting[0].data_id must be a whole number from 1 to "
       "4294967295"},
      {"{\"port\": \"/dev/a\", \"acSetting\": [{\"data_id\": 4294967296}]}",
       "f.json: system \"system-1\": acSetting[0].data_id must be a whole number from 1 to "
       "4294967295"},
      {"{\"port\": \"/dev/a\", \"acSetting\": [{\"data_id\": \"11\"}]}",
       "f.json: system \"system-1\": acSetting[0].data_id must be a whole number from 1 to "
       "4294967295"},
      {"{\"port\": \"/dev/a\", \"acSetting\": [{\"data_id\": 11}], \"dcSetting\": "
       "[{\"data_id\": 21}, {\"data_id\": 11}]}",
       "f.json: system \"system-1\": dcSetting[1].data_id 11 is also the data id of "
       "acSetting[0]"},
      {"{\"port\": \"/dev/a\", \"data_id\": 100, \"dcSetting\": [{\"data_id\": 100}]}",
       "f.json: system \"system-1\": dcSetting[0].data_id 100 is the power system's own data "
       "id"},
      {"{\"port\": \"/dev/ttyS1\\u0000x\"}",
       "f.json: system \"system-1\": \"port\" must not hold control characters (such as NUL)"},
      {"{\"port\": \"/dev/ttyS1\\n\"}",
       "f.json: system \"system-1\": \"port\" must not hold control characters (such as NUL)"},
      {"{\"name\": \"a\\u001bb\", \"port\": \"/dev/a\"}",
       "f.json: system \"system-1\": \"name\" must not hold control characters"},
      // Below a cycle and a lost reply: communication would be lost between cycles.
      {"{\"port\": \"/dev/a\", \"comm_lost_after\": 3}",
       "f.json: system \"system-1\": \"comm_lost_after\" must be a number of seconds from 10 "
       "to 86400"},
      {"{\"port\": \"/dev/a\", \"comm_lost_after\": \"60\"}",
       "f.json: system \"system-1\": \"comm_lost_after\" must be a number of seconds from 10 "
       "to 86400"},
  };
  for (const Row& row : rows) {
    const runtime::LoadedConfig loaded = runtime::ParseConfig(row.text, "f.json");
    ASSERT_EQ(loaded.problems.size(), 1u) << row.text;
    EXPECT_EQ(loaded.problems[0].Message(), row.message);
    EXPECT_TRUE(loaded.systems.empty());
  }
  for (const std::string& text :
       {std::string("{\"port\": "), std::string("{\"port\": \"/dev/a\"} trailing"),
        std::string("{\"port\": \"/dev/a\"} {}"),
        "{\"port\": \"/dev/a\", \"x\": " + std::string(1001, '[') + std::string(1001, ']') + "}"}) {
    const runtime::LoadedConfig broken = runtime::ParseConfig(text, "f.json");
    ASSERT_EQ(broken.problems.size(), 1u) << text;
    EXPECT_EQ(broken.problems[0].Message().rfind("f.json: not valid JSON: ", 0), 0u)
        << broken.problems[0].Message();
    EXPECT_TRUE(broken.systems.empty());
  }

  // A bad system does not take its good neighbour with it.
  const runtime::LoadedConfig mixed =
      runtime::ParseConfig("{\"systems\": [{\"port\": \"/dev/a\"}, {}]}", "f.json");
  EXPECT_EQ(mixed.systems.size(), 1u);
  EXPECT_EQ(mixed.problems.size(), 1u);
}

// The runtime's settings sit beside the systems in either form of a file; one
// file gives each of them, and their keys are checked as a system's are.
TEST(ConfigFile, RuntimeSettingsBesideTheSystems) {
  const runtime::LoadedConfig single = runtime::ParseConfig(
      "{\"site\": \"north\", \"http\": {\"listen\": \"8080\"}, \"port\": \"/dev/a\"}", "f.json");
  ASSERT_TRUE(single.problems.empty()) << single.problems[0].Message();
  ASSERT_EQ(single.systems.size(), 1u);
  EXPECT_FALSE(single.systems[0].settings.isMember("site"));
  EXPECT_EQ(single.settings.site, "north");
  EXPECT_EQ(single.settings.http["listen"].asString(), "8080");
  EXPECT_TRUE(single.settings.mqtt.isNull());

  const std::pair<const char*, const char*> rows[] = {
      {"{\"http\": {\"lisen\": \"8080\"}, \"port\": \"/dev/a\"}",
       "f.json: http: unknown key \"lisen\" (did you mean \"listen\"?)"},
      {"{\"mqtt\": {\"url\": 1883}, \"systems\": [{\"port\": \"/dev/a\"}]}",
       "f.json: mqtt: \"url\" must be a text, not a number"},
      {"{\"site\": 7, \"port\": \"/dev/a\"}", "f.json: \"site\" must be a text, not a number"},
      {"{\"http\": \"8080\", \"port\": \"/dev/a\"}",
       "f.json: \"http\" must be a JSON object, not a text"},
  };
  for (const auto& [text, message] : rows) {
    const runtime::LoadedConfig loaded = runtime::ParseConfig(text, "f.json");
    ASSERT_EQ(loaded.problems.size(), 1u) << text;
    EXPECT_EQ(loaded.problems[0].Message(), message);
  }

  TempDir dir;
  const std::string a =
      dir.Write("a.json", "{\"site\": \"a\", \"port\": \"/dev/a\", \"name\": \"a\"}");
  const std::string b =
      dir.Write("b.json", "{\"site\": \"b\", \"port\": \"/dev/b\", \"name\": \"b\"}");
  const runtime::LoadedConfig both = runtime::LoadConfigFiles({a, b});
  EXPECT_EQ(both.systems.size(), 2u);
  EXPECT_EQ(both.settings.site, "a");
  ASSERT_EQ(both.problems.size(), 1u);
  EXPECT_EQ(both.problems[0].Message(),
            b + ": \"site\" is also given in " + a + "; give it in one file only");
}

TEST(ConfigFile, AnUnreadableFileIsNamedWithTheSystemsReason) {
  TempDir dir;
  const std::string huge = dir.Write("huge.json", std::string(runtime::kMaxConfigBytes + 1, ' '));
  const std::pair<std::string, std::string> rows[] = {
      {"/nonexistent/site.json", "/nonexistent/site.json: cannot read: No such file or directory"},
      {"/", "/: cannot read: is a directory"},
      {"/dev/zero", "/dev/zero: cannot read: is not a regular file"},
      {huge, huge + ": is larger than 1048576 bytes"},
  };
  for (const auto& [path, message] : rows) {
    const runtime::LoadedConfig loaded = runtime::LoadConfigFile(path);
    ASSERT_EQ(loaded.problems.size(), 1u) << path;
    EXPECT_EQ(loaded.problems[0].Message(), message);
  }
}

// One capture file and one summary name per system: a repeated name is
// refused, within a file and across files.
TEST(ConfigFile, ASystemNameMayBeUsedOnce) {
  runtime::LoadedConfig one = runtime::ParseConfig(
      "{\"systems\": [{\"name\": \"a\", \"port\": \"/dev/x\"}, "
      "{\"name\": \"a\", \"port\": \"/dev/y\"}]}",
      "one.json");
  ASSERT_EQ(one.systems.size(), 1u);
  EXPECT_EQ(one.systems[0].port, "/dev/x");
  ASSERT_EQ(one.problems.size(), 1u);
  EXPECT_EQ(one.problems[0].Message(),
            "one.json: system \"a\": another system (in one.json) has the same name; give each "
            "system a \"name\" of its own");

  // Unnamed systems of two files are both "system-1".
  runtime::LoadedConfig two = runtime::ParseConfig("{\"port\": \"/dev/z\"}", "two.json");
  runtime::LoadedConfig three = runtime::ParseConfig("{\"port\": \"/dev/w\"}", "three.json");
  std::vector<runtime::SystemConfig> systems = {two.systems[0], three.systems[0]};
  std::vector<runtime::ConfigProblem> problems;
  runtime::RefuseRepeatedNames(systems, problems);
  ASSERT_EQ(systems.size(), 1u);
  EXPECT_EQ(systems[0].file, "two.json");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].Message().rfind("three.json: system \"system-1\": another system (in "
                                        "two.json) has the same name",
                                        0),
            0u);
}

// ---------------------------------------------------------------------------
// Controller

// A device that ends a cycle the way the units do: publish, one rule, one
// deferred job that checks the rule and saves the record.
class FakeUnit : public KMXSPDevice {
 public:
  FakeUnit(int type, std::vector<std::string>* order = nullptr) : type_(type), order_(order) {}
  bool LoadFromCache(const unsigned char*, int) override { return true; }

  void EndCycle(bool alarm) {
    record_[0] = static_cast<unsigned char>(type_ & 0xFF);
    SendSP(type_, record_, sizeof record_, false);
    CheckThresholdBool(2, "X_0", "00001", "name", "text", alarm, 1);
    std::vector<rule_value> rules = TakePendingRules();
    std::shared_ptr<KMXVDevice> self = shared_from_this();
    CheckThresholdWork([self, this, rules] {
      if (order_ != nullptr) order_->push_back(std::to_string(type_));
      DoBatchCheckThreshold(rules);
      SaveDeviceHistory(record_, sizeof record_);
    });
  }

 private:
  int type_;
  std::vector<std::string>* order_;
  unsigned char record_[4] = {};
};

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_shared<runtime::RecordStore>(dir_.File("c.db"), runtime::HistoryBound());
    events_.Subscribe("store", std::make_shared<runtime::StoreWriter>(store_, events_));
    events_.Subscribe("recording", recording_);
    controller_ = std::make_shared<runtime::RuntimeController>("site", events_);
    bus_->Init(controller_, 100, Json::Value());
    controller_->BindBus(bus_.get());
  }
  std::shared_ptr<FakeUnit> Unit(unsigned int id, int type) {
    auto unit = std::make_shared<FakeUnit>(type, &order_);
    unit->Init(controller_, id, Json::Value());
    return unit;
  }

  TempDir dir_;
  runtime::EventStream events_;
  std::shared_ptr<RecordingOutput> recording_ = std::make_shared<RecordingOutput>();
  RecordingOutput& output_ = *recording_;
  std::shared_ptr<runtime::RecordStore> store_;
  std::shared_ptr<runtime::RuntimeController> controller_;
  std::shared_ptr<FakeUnit> bus_ = std::make_shared<FakeUnit>(0);
  std::vector<std::string> order_;
};

TEST_F(ControllerTest, SavesHistoryUnderTheRecordTypeOfTheDeviceThatSavedIt) {
  // The rectifier group shares the bus device's data id 100 with the AC
  // unit 100 of a careless configuration: only the order tells them apart.
  auto ac = Unit(100, 5209);
  auto dc = Unit(21, 5210);
  auto rc = Unit(100, 5211);
  ac->EndCycle(false);
  dc->EndCycle(false);
  rc->EndCycle(true);
  EXPECT_EQ(controller_->QueuedJobs(), 3u);
  events_.Flush();
  EXPECT_EQ(store_->HistoryRows(100, 5209), 0);  // jobs wait for RunJobs

  controller_->RunJobs();
  events_.Flush();
  EXPECT_EQ(order_, (std::vector<std::string>{"5209", "5210", "5211"}));
  EXPECT_EQ(store_->HistoryRows(100, 5209), 1);
  EXPECT_EQ(store_->HistoryRows(21, 5210), 1);
  EXPECT_EQ(store_->HistoryRows(100, 5211), 1);
  EXPECT_EQ(store_->CacheRows(), 3);
  ASSERT_EQ(output_.alarms.size(), 1u);
  EXPECT_EQ(output_.alarms[0].record_type, 5211);
  EXPECT_EQ(store_->ActiveAlarms().size(), 1u);
}

TEST_F(ControllerTest, CountsACycleWhenTheBusResetsAfterPublishedRecords) {
  int reported = 0;
  controller_->SetCycleListener([&] { ++reported; });
  bus_->Reset();  // an exchange ended without a cycle
  controller_->RunJobs();
  EXPECT_EQ(controller_->Cycles(), 0u);

  auto rc = Unit(100, 5211);
  rc->EndCycle(false);
  bus_->Reset();
  EXPECT_EQ(controller_->Cycles(), 0u);  // counted once its jobs have run
  controller_->RunJobs();
  EXPECT_EQ(controller_->Cycles(), 1u);
  EXPECT_EQ(reported, 1);
  EXPECT_FALSE(controller_->LastCycle().empty());
}

TEST_F(ControllerTest, ProcessesTheRulesTheBusDeviceLeavesWithItself) {
  bus_->CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                           "本驱动类型:korvan 检测型号:OTHER", true, 0);
  controller_->RunJobs();
  events_.Flush();
  ASSERT_EQ(output_.alarms.size(), 1u);
  EXPECT_EQ(output_.alarms[0].id, "device_model");
  EXPECT_EQ(output_.alarms[0].record_type, 0);
  EXPECT_EQ(output_.alarms[0].level, 3);
  EXPECT_TRUE(bus_->PendingRules().empty());
  controller_->RunJobs();
  events_.Flush();
  EXPECT_EQ(output_.alarms.size(), 1u);
  EXPECT_EQ(store_->AlarmEventRows(), 1);
}

// ---------------------------------------------------------------------------
// Published records read by the summary

TEST(SnapshotViews, ReadModulesAndChannelsOnlyFromWellFormedRecords) {
  std::vector<unsigned char> rc(101 + 12 * 2, 0);
  const float voltage = 53.5f, current = 12.25f;
  std::memcpy(&rc[89], &voltage, 4);  // output voltage
  rc[93] = 2;                         // module count
  std::memcpy(&rc[101 + 12], &current, 4);
  rc[101 + 12 + 5] = 1;   // module 2 on/off
  rc[101 + 12 + 10] = 1;  // module 2 fault
  const auto view = runtime::ReadRectifierSnapshot(rc);
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(view->output_voltage, 53.5f);
  ASSERT_EQ(view->modules.size(), 2u);
  EXPECT_EQ(view->modules[0].fault, 0);
  EXPECT_EQ(view->modules[1].output_current, 12.25f);
  EXPECT_EQ(view->modules[1].on_off, 1);
  EXPECT_EQ(view->modules[1].fault, 1);

  rc.pop_back();
  EXPECT_FALSE(runtime::ReadRectifierSnapshot(rc).has_value());
  EXPECT_FALSE(runtime::ReadRectifierSnapshot(std::vector<unsigned char>(90, 0)).has_value());

  std::vector<unsigned char> ac(33 + 25, 0);
  ac[16] = 1;
  EXPECT_EQ(runtime::AcChannelCount(ac), 1u);
  ac[16] = 2;
  EXPECT_FALSE(runtime::AcChannelCount(ac).has_value());
  EXPECT_FALSE(runtime::AcChannelCount(std::vector<unsigned char>(10, 1)).has_value());
}

// ---------------------------------------------------------------------------
// Command line: what stops a system, and with which exit code

TEST(HostCommandLine, AConfigurationWithoutRcSettingIsRefused) {
  TempDir dir;
  const std::string file = dir.Write("site.json", SystemJson("/dev/null", "", false));
  const HostRun run = RunHost({"run", "--config", file, "--db", dir.File("k.db")});
  EXPECT_EQ(run.code, 9) << "nothing for the service to try again";
  EXPECT_NE(run.err.find(file + ": system \"site-a\": the device refused its configuration: no "
                                "rcSetting (the rectifier group) given; this system does not run"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("no power system can run"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("k.db")));
}

TEST(HostCommandLine, AnUnreadableFileOrAMissingPortStopsItsSystem) {
  TempDir dir;
  const std::string no_key = dir.Write("no-key.json", "{\"name\": \"b\", \"rcSetting\": {}}");
  const std::string missing = dir.Write("missing.json", SystemJson("/dev/korvan-no-such-port"));
  const HostRun run = RunHost({"run", "--config", dir.File("absent.json"), "--config", no_key,
                               "--config", missing, "--db", dir.File("k.db")});
  EXPECT_EQ(run.code, 1);
  for (const std::string& expected :
       {dir.File("absent.json") + ": cannot read: No such file or directory",
        no_key + ": system \"b\": no serial port given (key \"port\")",
        missing + ": system \"site-a\": serial port /dev/korvan-no-such-port cannot be opened: "
                  "No such file or directory; this system does not run"}) {
    EXPECT_NE(run.err.find(expected), std::string::npos) << expected << "\n" << run.err;
  }
}

TEST(HostCommandLine, ACorruptDatabaseStopsTheHost) {
  TempDir dir;
  ServedSimulator simulator;
  const std::string file = dir.Write("site.json", SystemJson(simulator.Port()));
  const std::string db = dir.Write("k.db", std::string(2048, 'z'));
  const HostRun run = RunHost({"run", "--config", file, "--db", db, "--cycles", "1"});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("database " + db + ": corrupt or not a database"), std::string::npos)
      << run.err;
}

TEST(HostCommandLine, PollingOptionsOutOfRangeAreRefused) {
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--history-days", "230000"},
        std::vector<std::string>{"--history-days", "-1"},
        std::vector<std::string>{"--seconds", "nan"}, std::vector<std::string>{"--seconds", "inf"},
        std::vector<std::string>{"--seconds", "1e300"},
        std::vector<std::string>{"--seconds", "-0.5"}}) {
    std::vector<std::string> args = {"simulate", "--db", "/nonexistent/k.db"};
    args.insert(args.end(), options.begin(), options.end());
    const HostRun run = RunHost(args);
    EXPECT_EQ(run.code, 105) << options[0] << " " << options[1];  // the parser's validation code
    EXPECT_NE(run.err.find(options[0]), std::string::npos) << run.err;
  }
}

// A duration below a millisecond is one millisecond, not 0 (which runs on).
TEST(HostCommandLine, AShortDurationEndsPolling) {
  TempDir dir;
  std::atomic<bool> ended{false}, interrupt{false};
  std::thread guard([&] {  // ends a run that would go on for ever
    for (int i = 0; i < 100 && !ended.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    interrupt.store(true);
    runtime::WakeForInterrupt();
  });
  const auto start = std::chrono::steady_clock::now();
  const HostRun run =
      RunHost({"simulate", "--seconds", "0.0001", "--db", dir.File("k.db")}, &interrupt);
  const auto took = std::chrono::steady_clock::now() - start;
  ended.store(true);
  guard.join();
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_LT(took, std::chrono::seconds(4));
}

// The systems that run are named when polling starts, each with its port,
// address and units; a refused one is not among them.
TEST(HostCommandLine, OneRefusedSystemDoesNotStopTheOthers) {
  TempDir dir;
  ServedSimulator simulator;
  ::SystemConfig two_ac;
  two_ac.ac_channels = {1, 2};
  two_ac.dc_units = 0;
  two_ac.address = 2;
  ServedSimulator other(two_ac);
  // Names and data ids must differ across systems.
  const std::string refused =
      "{\"name\": \"site-b\", \"port\": \"/dev/null\", \"data_id\": 200, "
      "\"dcSetting\": [{\"data_id\": 221}]}";
  const std::string third = "{\"name\": \"site-c\", \"port\": \"" + other.Port() +
                            "\", \"data_id\": 300, \"address\": 2, \"acSetting\": "
                            "[{\"data_id\": 311}, {\"data_id\": 312}], \"dcSetting\": [], "
                            "\"rcSetting\": {}}";
  const std::string file =
      dir.Write("three.json", "{\"systems\": [" + refused + ", " + SystemJson(simulator.Port()) +
                                  ", " + third + "]}");
  const HostRun run = RunHost(
      {"run", "--config", file, "--db", dir.File("k.db"), "--cycles", "1", "--summary", "on"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.err.find("no rcSetting"), std::string::npos);
  EXPECT_NE(run.out.find("site-a (data id 100) cycle 1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("site-c (data id 300) cycle 1"), std::string::npos) << run.out;
  for (const std::string& line :
       {std::string("site: polling 2 systems: site-a, site-c\n"),
        "site-a: polling on " + simulator.Port() +
            " at 9600 baud, address 1: 1 AC unit (data id 11), 1 DC unit (data id 21), "
            "rectifier group (data id 100)\n",
        "site-c: polling on " + other.Port() +
            " at 9600 baud, address 2: 2 AC units (data ids 311, 312), 0 DC units, rectifier "
            "group (data id 300)\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
  }
}

// ---------------------------------------------------------------------------
// End to end: the simulator on a pseudo-terminal

TEST(HostEndToEnd, CyclesFillTheStoreAndARestartServesTheRestoredPointsAtOnce) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  const HostRun first =
      RunHost({"simulate", "--cycles", "3", "--history-every", "0", "--db", db, "--json"});
  ASSERT_EQ(first.code, 0) << first.err;
  const std::vector<Json::Value> cycles = Events(first.out, "summary");
  ASSERT_EQ(cycles.size(), 3u) << first.out;
  EXPECT_EQ(cycles.back()["line"]["cycles"].asUInt(), 3u);
  for (const auto& [id, type] :
       std::vector<std::pair<int, int>>{{11, 5209}, {21, 5210}, {100, 5211}}) {
    EXPECT_GE(Count(db, "SELECT COUNT(*) FROM history WHERE data_id = " + std::to_string(id) +
                            " AND record_type = " + std::to_string(type)),
              3)
        << id;
    EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM cache WHERE data_id = " + std::to_string(id) +
                            " AND record_type = " + std::to_string(type)),
              1)
        << id;
  }
  EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM cache"), 3);

  // A cache row that its device refuses is reported and skipped.
  {
    runtime::SqliteDb damage(db, 1000);
    damage.Exec("UPDATE cache SET record = x'0102' WHERE data_id = 21");
  }

  // The simulator stays silent: every point comes from the cache.
  const HostRun second =
      RunHost({"simulate", "--silent", "--seconds", "0.3", "--db", db, "--json"});
  ASSERT_EQ(second.code, 0) << second.err;
  const std::vector<Json::Value> summaries = Events(second.out, "summary");
  ASSERT_FALSE(summaries.empty()) << second.out;
  const Json::Value& restored = summaries.front();
  const Json::Value& last = cycles.back();
  EXPECT_EQ(restored["reason"].asString(), "restored");
  EXPECT_EQ(restored["line"]["frames_good"].asUInt(), 0u);
  EXPECT_EQ(restored["ac"][0]["points"], last["ac"][0]["points"]);
  EXPECT_TRUE(restored["ac"][0]["points"]["channel_0_a"].isDouble());
  EXPECT_EQ(restored["dc"][0]["points"]["v"].asString(), "数据未就绪");
  EXPECT_NE(second.err.find("simulated: last run's values of korvan-dc 21 (record type 5210) not "
                            "restored: its cache row (2 bytes) was refused by the device"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(restored["rectifiers"]["modules"], last["rectifiers"]["modules"]);
  EXPECT_EQ(restored["rectifiers"]["modules"].size(), 3u);
}

TEST(HostEndToEnd, ARectifierFaultIsRaisedOnceAndClearedOnce) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  const std::string scenario = dir.Write("fault.scenario", "wait 3\nrectifier-fault 2 off\n");
  const HostRun run =
      RunHost({"simulate", "--set", "rectifier-fault 2 on", "--scenario", scenario, "--cycles", "4",
               "--history-rows", "2", "--history-every", "0", "--db", db, "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::vector<Json::Value> raised = AlarmEvents(run.out, "alarm_raised", "RC_0");
  const std::vector<Json::Value> cleared = AlarmEvents(run.out, "alarm_cleared", "RC_0");
  ASSERT_EQ(raised.size(), 1u) << run.out;
  ASSERT_EQ(cleared.size(), 1u) << run.out;
  EXPECT_EQ(raised[0]["text"].asString(), "模块2整流模块故障告警");
  EXPECT_EQ(raised[0]["code"].asString(), "06024");
  EXPECT_EQ(raised[0]["data_id"].asUInt(), 100u);
  EXPECT_EQ(cleared[0]["text"].asString(), "模块2整流模块故障告警");

  const std::vector<Json::Value> summaries = Events(run.out, "summary");
  ASSERT_EQ(summaries.size(), 4u);
  EXPECT_EQ(summaries.front()["rectifiers"]["modules"][1]["fault"].asUInt(), 1u);
  EXPECT_EQ(summaries.front()["alarms"][0]["id"].asString(), "RC_0");
  EXPECT_EQ(summaries.back()["rectifiers"]["modules"][1]["fault"].asUInt(), 0u);
  EXPECT_TRUE(summaries.back()["alarms"].empty());

  EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM alarm_events WHERE alarm_id = 'RC_0'"), 2);
  EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM history WHERE data_id = 100 AND record_type = 5211"),
            2);
  EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM history WHERE data_id = 11"), 2);
}

// A runtime killed while it polls (kill -9, as a power cut would end it):
// the next start checks the file, says so, and restores from it.
TEST(HostEndToEnd, AKilledRuntimeLeavesASoundFileThatTheNextStartRestores) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RunHost({"simulate", "--db", db, "--history-every", "0", "--commit-interval", "0.2",
             "--cache-interval", "0.2", "--quiet-log"});
    _exit(0);
  }
  // Until two cycles of the three devices are committed, at most 60 s.
  std::int64_t rows = 0;
  for (int waited = 0; waited < 600 && rows < 6; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::filesystem::exists(db)) {
      try {
        rows = Count(db, "SELECT COUNT(*) FROM history");
      } catch (const runtime::StoreError&) {
        // The tables are not made yet, or a commit holds the file.
      }
    }
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GE(rows, 6);

  const HostRun next = RunHost({"simulate", "--cycles", "1", "--db", db, "--json"});
  ASSERT_EQ(next.code, 0) << next.err;
  EXPECT_NE(next.out.find("database " + db +
                          " was not closed cleanly (a crash or a power cut); its integrity "
                          "check passed"),
            std::string::npos)
      << next.out;
  const std::vector<Json::Value> summaries = Events(next.out, "summary");
  ASSERT_FALSE(summaries.empty()) << next.out;
  EXPECT_EQ(summaries.front()["reason"].asString(), "restored");
  // That run closed the file: the one after it has nothing to check.
  const HostRun third = RunHost({"simulate", "--cycles", "1", "--db", db, "--json"});
  EXPECT_EQ(third.out.find("not closed cleanly"), std::string::npos) << third.out;
}

TEST(HostEndToEnd, ARequestRejectedAgainAndAgainIsWarnedAbout) {
  TempDir dir;
  ServedSimulator simulator;  // one DC unit; the configuration says two
  const std::string file =
      dir.Write("site.json", SystemJson(simulator.Port(), ", {\"data_id\": 22}"));
  const HostRun run = RunHost({"run", "--config", file, "--db", dir.File("k.db"), "--seconds", "4",
                               "--repeat-warning", "4", "--quiet-log", "--summary", "on"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("site-a (data id 100) waiting"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("WARNING: no usable reply from the power system: request 42h/41h sent "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("last log line: PMBusPower:ProcotolError 100 read dc_number is 1, "
                         "configured dc_number is 2"),
            std::string::npos)
      << run.out;
  // A count that differs from the configuration is not mended by a restart.
  EXPECT_EQ(run.err.find("driver restarted"), std::string::npos) << run.err;

  // Without summaries (a service's log), the warning is a line of its own.
  const HostRun quiet = RunHost({"run", "--config", file, "--db", dir.File("k.db"), "--seconds",
                                 "2", "--repeat-warning", "4", "--quiet-log", "--summary", "off"});
  EXPECT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_EQ(quiet.out.find("waiting"), std::string::npos) << quiet.out;
  EXPECT_NE(quiet.err.find("site-a: no usable reply from the power system: request 42h/41h sent 4 "
                           "times in a row without a cycle completing"),
            std::string::npos)
      << quiet.err;
}

// A bus device that refuses every reply: it asks for the model and never
// takes the answer, as a device would whose fixed counts never fit.
class RefusingBus : public PMBusProtocol {
 public:
  RefusingBus() { device_type_ = "refusing"; }
  bool LoadFromCache(const unsigned char*, int) override { return true; }
  bool RefreshStatus() override {
    if (!PMBusProtocol::RefreshStatus()) return false;
    write_pmbus_cmd(0x40, 0x51);
    return true;
  }
  int process_payload() override { return 1; }
};

class RefusingProvider : public KMXSPDeviceProvider {
 public:
  KMXSPDevice* create() const override { return new RefusingBus; }
};

// One power system of device type "refusing" on a served simulator, its
// events recorded.
class RefusingSystem {
 public:
  RefusingSystem(std::shared_ptr<Provider> provider, runtime::PowerSystemOptions options) {
    events_.Subscribe("recording", recording_);
    runtime::SystemConfig config;
    config.name = "site-a";
    config.port = simulator_.Port();
    config.device_type = "refusing";
    config.data_id = 100;
    config.settings = Json::Value(Json::objectValue);
    system_ =
        runtime::PowerSystem::Create(config, {std::move(provider)}, events_, options, problem_);
    // Whether it runs is read before polling starts: a restart replaces the port.
    running_ = system_ && system_->OpenPort(problem_);
    if (running_) system_->Start();
  }
  bool Running() const { return running_; }
  // Waits up to 10 s for `holds`, which reads the recording under its lock.
  bool WaitFor(const std::function<bool(const RecordingOutput&)>& holds) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(recording_->mutex);
        if (holds(*recording_)) return true;
      }
      if (std::chrono::steady_clock::now() >= limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // Lets it poll a little longer, stops it and delivers every event.
  void StopAfter(std::chrono::milliseconds more) {
    std::this_thread::sleep_for(more);
    system_->Stop();
    events_.Flush();
  }
  runtime::PowerSystem& System() { return *system_; }
  const RecordingOutput& Output() const { return *recording_; }
  const runtime::ConfigProblem& Problem() const { return problem_; }

 private:
  ServedSimulator simulator_;
  runtime::EventStream events_;
  std::shared_ptr<RecordingOutput> recording_ = std::make_shared<RecordingOutput>();
  runtime::ConfigProblem problem_;
  std::unique_ptr<runtime::PowerSystem> system_;
  bool running_ = false;
};

TEST(PowerSystem, RefusalsThatOutlastADriverRestartRaiseAnAlarmAndBackOff) {
  runtime::PowerSystemOptions options;
  options.restart_backoff_first = std::chrono::hours(1);
  RefusingSystem refusing(std::make_shared<RefusingProvider>(), options);
  ASSERT_TRUE(refusing.Running()) << refusing.Problem().Message();
  ASSERT_TRUE(refusing.WaitFor([](const RecordingOutput& output) {
    for (const AlarmEvent& event : output.alarms) {
      if (event.id == "driver_restart_failed") return true;
    }
    return false;
  }));
  // Refused on: no second restart within the back-off.
  refusing.StopAfter(std::chrono::milliseconds(500));
  const RecordingOutput& output = refusing.Output();
  EXPECT_EQ(refusing.System().Restarts(), 1u);
  ASSERT_EQ(output.alarms.size(), 1u);
  EXPECT_TRUE(output.alarms[0].raised);
  EXPECT_EQ(output.alarms[0].code, "90001");
  EXPECT_EQ(output.alarms[0].text, "request 40h/51h still refused after the driver was restarted");
  const std::string& last = output.problems.back();
  EXPECT_EQ(
      last.rfind("the driver still does not take the power system's replies after it was "
                 "restarted; next restart in 3600 s: request 40h/51h refused 5 times in a row",
                 0),
      0u)
      << last;
}

// The polling thread sleeps through a long reply time-out without the
// system's lock: a read gets in meanwhile, and Stop ends the sleep.
TEST(PowerSystem, ReadsAndStopDoNotWaitForTheReplyTimeOut) {
  auto line = std::make_shared<PtyPort>();  // nobody answers
  std::string error;
  ASSERT_TRUE(line->Open(SerialSettings(), error)) << error;
  runtime::EventStream events;
  runtime::SystemConfig config;
  config.name = "site-a";
  config.port = line->Path();
  config.device_type = "refusing";
  config.data_id = 100;
  config.settings["timeout_ms"] = 60000;
  runtime::ConfigProblem problem;
  auto system = runtime::PowerSystem::Create(config, {std::make_shared<RefusingProvider>()}, events,
                                             runtime::PowerSystemOptions(), problem);
  ASSERT_TRUE(system && system->OpenPort(problem)) << problem.Message();
  const auto start = std::chrono::steady_clock::now();
  system->Start();
  bool waiting = false;
  while (!waiting && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    system->WithLock([&] { waiting = system->Bus()->IsProcessing(); });
  }
  EXPECT_TRUE(waiting);
  system->Summarize("test");
  system->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// A bus device that refuses every reply, made by a provider whose later
// devices throw while they are configured.
class ThrowingBus : public RefusingBus {
 public:
  bool InitSetting(const Json::Value&) override { throw std::runtime_error("broken settings"); }
};

class FirstRefusingThenThrowingProvider : public KMXSPDeviceProvider {
 public:
  KMXSPDevice* create() const override {
    return made_++ == 0 ? static_cast<KMXSPDevice*>(new RefusingBus) : new ThrowingBus;
  }

 private:
  mutable std::atomic<int> made_{0};
};

TEST(PowerSystem, ADeviceThatThrowsWhileItIsMadeAnewLeavesTheOldOneInService) {
  RefusingSystem refusing(std::make_shared<FirstRefusingThenThrowingProvider>(),
                          runtime::PowerSystemOptions());
  ASSERT_TRUE(refusing.Running()) << refusing.Problem().Message();
  ASSERT_TRUE(refusing.WaitFor([](const RecordingOutput& output) {
    for (const std::string& text : output.problems) {
      if (text.find("the driver cannot be restarted: the device failed while it was configured: "
                    "broken settings") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  // The old device goes on polling (and refusing) on its line.
  const auto frames = [&] {
    unsigned long long good = 0;
    refusing.System().WithLock([&] { good = refusing.System().Bus()->Quality().frames_good; });
    return good;
  };
  const unsigned long long before = frames();
  WaitFor([&] { return frames() >= before + 3; });
  refusing.StopAfter(std::chrono::milliseconds(0));
  EXPECT_EQ(refusing.System().Restarts(), 0u);
  EXPECT_GE(refusing.System().Bus()->Quality().frames_good, before + 3);
}

// Module counts of the cycle summaries of a --json run, in order (a system
// that repeats a request is also summarised while it waits).
std::vector<unsigned> ModuleCounts(const std::string& out) {
  std::vector<unsigned> counts;
  for (const Json::Value& summary : Events(out, "summary")) {
    if (summary["reason"] != "cycle") continue;
    counts.push_back(summary["rectifiers"]["modules"].size());
  }
  return counts;
}

TEST(HostEndToEnd, ACountChangedSinceTheCacheWasWrittenRestartsTheDriverOnce) {
  struct Row {
    const char* what;
    std::vector<std::string> before, after;
  };
  const std::vector<Row> rows = {
      {"a rectifier module more", {"--rc", "3"}, {"--rc", "4"}},
      {"an AC channel more", {"--ac", "1"}, {"--ac", "2"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string db = dir.File("c.db");
    std::vector<std::string> first = {"simulate", "--cycles", "1", "--db", db, "--quiet-log"};
    first.insert(first.end(), row.before.begin(), row.before.end());
    ASSERT_EQ(RunHost(first).code, 0);

    std::vector<std::string> second = {"simulate", "--cycles", "2",          "--db",
                                       db,         "--json",   "--quiet-log"};
    second.insert(second.end(), row.after.begin(), row.after.end());
    const HostRun run = RunHost(second);
    ASSERT_EQ(run.code, 0) << run.err;
    const std::vector<Json::Value> restarts = Events(run.out, "driver_restarted");
    ASSERT_EQ(restarts.size(), 1u) << run.out;
    const std::string reason = restarts[0]["reason"].asString();
    EXPECT_EQ(reason.rfind("the driver does not take the power system's replies: request ", 0), 0u)
        << reason;
    EXPECT_NE(reason.find(" refused 5 times in a row"), std::string::npos) << reason;
    const std::vector<Json::Value> summaries = Events(run.out, "summary");
    ASSERT_GE(summaries.size(), 2u);
    EXPECT_EQ(summaries.back()["line"]["cycles"].asUInt(), 2u);
    if (row.after[0] == "--rc") {
      EXPECT_EQ(summaries.back()["rectifiers"]["modules"].size(), 4u);
    } else {
      EXPECT_TRUE(summaries.back()["ac"][0]["points"].isMember("channel_1_a"));
    }
    // The cache rows now hold the new counts: a third run restores them and
    // needs no restart.
    const HostRun third = RunHost(second);
    ASSERT_EQ(third.code, 0) << third.err;
    EXPECT_TRUE(Events(third.out, "driver_restarted").empty()) << third.out;
  }
}

TEST(HostEndToEnd, AModulePluggedIntoARunningPowerSystemIsPolledWithinAFewCycles) {
  TempDir dir;
  const std::string scenario = dir.Write("plug.scenario", "wait 1\nrectifiers 4\n");
  const std::string capture = dir.File("session.json");
  const HostRun run = RunHost({"simulate", "--scenario", scenario, "--cycles", "3", "--db",
                               dir.File("k.db"), "--json", "--quiet-log", "--capture", capture});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::vector<unsigned> counts = ModuleCounts(run.out);
  ASSERT_EQ(counts.size(), 3u) << run.out;
  EXPECT_EQ(counts.front(), 3u);
  EXPECT_EQ(counts.back(), 4u);
  EXPECT_EQ(Events(run.out, "driver_restarted").size(), 1u);
  // The capture follows the first device and ends, complete, at the restart.
  std::ifstream file(capture);
  Json::Value script;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), file, &script, &errors)) << errors;
  EXPECT_TRUE(script["steps"].isArray());
}

TEST(HostEndToEnd, RepliesLongerThanAKilobyteAreTaken) {
  // 8 AC units of 8 channels: the AC analog reply carries 1194 INFO bytes.
  TempDir dir;
  const HostRun run = RunHost({"simulate", "--ac", "8,8,8,8,8,8,8,8", "--cycles", "1", "--db",
                               dir.File("k.db"), "--json", "--quiet-log"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::vector<Json::Value> summaries = Events(run.out, "summary");
  ASSERT_EQ(summaries.size(), 1u) << run.out;
  EXPECT_EQ(summaries[0]["ac"].size(), 8u);
  EXPECT_TRUE(summaries[0]["ac"][7]["points"]["channel_7_f"].isDouble())
      << summaries[0]["ac"][7].toStyledString();
}

TEST(HostEndToEnd, ARestoredAlarmThatNoDeviceRaisesAgainIsClearedAfterTheFirstCycle) {
  TempDir dir;
  const std::string db = dir.File("m.db");
  const HostRun wrong = RunHost(
      {"simulate", "--model", "OTHER9", "--cycles", "1", "--db", db, "--json", "--quiet-log"});
  ASSERT_EQ(wrong.code, 0) << wrong.err;
  ASSERT_EQ(Events(wrong.out, "alarm_raised").size(), 1u) << wrong.out;

  const HostRun right = RunHost({"simulate", "--cycles", "1", "--db", db, "--json", "--quiet-log"});
  ASSERT_EQ(right.code, 0) << right.err;
  const std::vector<Json::Value> cleared = Events(right.out, "alarm_cleared");
  ASSERT_EQ(cleared.size(), 1u) << right.out;
  EXPECT_EQ(cleared[0]["id"].asString(), "device_model");
  EXPECT_EQ(cleared[0]["name"].asString(), "设备配置检测");
  EXPECT_TRUE(Events(right.out, "summary").back()["alarms"].empty());
  EXPECT_EQ(Count(db,
                  "SELECT COUNT(*) FROM alarm_events WHERE alarm_id = 'device_model' AND "
                  "raised = 0"),
            1);
}

// Nothing can raise or clear again an alarm of a unit that the configuration
// no longer has: it is cleared at the start.
TEST(HostEndToEnd, AnAlarmOfAUnitTakenOutOfTheConfigurationIsCleared) {
  TempDir dir;
  const std::string db = dir.File("u.db");
  const HostRun two = RunHost({"simulate", "--dc", "2", "--set", "battery-fuse 2 1 on", "--cycles",
                               "1", "--db", db, "--json", "--quiet-log"});
  ASSERT_EQ(two.code, 0) << two.err;
  ASSERT_EQ(Events(two.out, "alarm_raised").size(), 1u) << two.out;

  const HostRun one =
      RunHost({"simulate", "--dc", "1", "--cycles", "1", "--db", db, "--json", "--quiet-log"});
  ASSERT_EQ(one.code, 0) << one.err;
  const std::vector<Json::Value> cleared = Events(one.out, "alarm_cleared");
  ASSERT_EQ(cleared.size(), 1u) << one.out;
  EXPECT_EQ(cleared[0]["data_id"].asUInt(), 22u);
  EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM alarm_events WHERE data_id = 22 AND raised = 0"), 1);
}

TEST(HostEndToEnd, TheProtocolVersionKeySetsTheVersionByteOfEveryRequest) {
  // The simulator answers a request of another version with an error reply
  // only: cycles complete when both ends speak 21h.
  TempDir dir;
  const HostRun run = RunHost({"simulate", "--protocol-version", "21h", "--cycles", "1", "--db",
                               dir.File("k.db"), "--json", "--quiet-log"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Events(run.out, "summary").size(), 1u);
  EXPECT_NE(RunHost({"simulate", "--protocol-version", "2xh", "--cycles", "1"}).code, 0);
}

TEST(HostEndToEnd, SilenceRaisesCommunicationLostAndTheNextCycleClearsIt) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  const std::string scenario =
      dir.Write("silence.scenario", "wait 0.5\nsilent on\nwait 11\nsilent off\n");
  // The first cycle at once, then silence from 0.5 s: lost at about 10 s.
  // A request cut off by the silence is repeated every 5.3 s (its time-out):
  // the one of the second cycle is answered after 11.5 s; on a machine slow
  // enough for the silence to cut the first cycle short, only at about 16 s,
  // so the run lasts long enough for either.
  const HostRun run = RunHost({"simulate", "--scenario", scenario, "--comm-lost-after", "10",
                               "--seconds", "24", "--db", db, "--json", "--quiet-log"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::vector<Json::Value> raised =
      AlarmEvents(run.out, "alarm_raised", "communication_lost");
  const std::vector<Json::Value> cleared =
      AlarmEvents(run.out, "alarm_cleared", "communication_lost");
  ASSERT_EQ(raised.size(), 1u) << run.out;
  ASSERT_EQ(cleared.size(), 1u) << run.out;
  EXPECT_EQ(raised[0]["code"].asString(), "90002");
  EXPECT_EQ(raised[0]["text"].asString(), "no polling cycle completed for 10 s");
  // Summaries while it was lost say so.
  bool shown_lost = false;
  for (const Json::Value& summary : Events(run.out, "summary")) {
    shown_lost |= summary["communication"].asString() == "lost";
  }
  EXPECT_TRUE(shown_lost) << run.out;
  EXPECT_EQ(Events(run.out, "summary").back()["communication"].asString(), "ok");
  EXPECT_EQ(Count(db, "SELECT COUNT(*) FROM alarm_events WHERE alarm_id = 'communication_lost'"),
            2);
}

TEST(HostEndToEnd, AUnitCountMismatchRaisesOneAlarmAndEndsACountedRunWithItsCode) {
  TempDir dir;
  ServedSimulator simulator;  // one DC unit; the configuration says two
  const std::string file =
      dir.Write("site.json", SystemJson(simulator.Port(), ", {\"data_id\": 22}"));
  const HostRun run = RunHost({"run", "--config", file, "--db", dir.File("k.db"), "--cycles", "1",
                               "--json", "--quiet-log"});
  EXPECT_EQ(run.code, 8) << run.err;
  const std::vector<Json::Value> raised = Events(run.out, "alarm_raised");
  ASSERT_EQ(raised.size(), 1u) << run.out;
  EXPECT_EQ(raised[0]["id"].asString(), "config_mismatch");
  EXPECT_EQ(raised[0]["text"].asString(),
            "the power system reports other unit counts than configured: dc_number is 1, "
            "configured dc_number is 2");
  EXPECT_NE(run.err.find("completed 0 of the 1 cycles asked for"), std::string::npos) << run.err;
  EXPECT_TRUE(Events(run.out, "driver_restarted").empty()) << "the configuration's error";
}

// A counted run that --seconds ends first did not do what was asked.
TEST(HostEndToEnd, ACountedRunEndedByItsDurationExitsWithItsCode) {
  TempDir dir;
  const HostRun run = RunHost(
      {"simulate", "--cycles", "100", "--seconds", "1", "--db", dir.File("k.db"), "--quiet-log"});
  EXPECT_EQ(run.code, 8) << run.err;
  EXPECT_NE(run.err.find(" of the 100 cycles asked for"), std::string::npos) << run.err;
}

TEST(SummaryText, StaleRectifiersAndLostCommunicationAreSaidSo) {
  runtime::SystemSummary summary;
  summary.system = "site-a";
  summary.reason = "waiting";
  summary.communication_lost = true;
  summary.rectifiers.present = true;
  summary.rectifiers.status = "数据已超时";
  summary.rectifiers.stale = true;
  summary.rectifiers.age_seconds = 75;
  summary.rectifiers.has_record = true;
  summary.rectifiers.record.modules.resize(2);
  const std::string text = runtime::FormatSummaryText(summary);
  EXPECT_NE(text.find("COMMUNICATION LOST"), std::string::npos) << text;
  EXPECT_NE(text.find("STALE: record 75 s old (数据已超时 (data timed out))"), std::string::npos)
      << text;
  Json::Value json;
  std::string errors;
  const std::string line = runtime::FormatSummaryJson(summary);
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &json, &errors)) << errors;
  EXPECT_EQ(json["communication"].asString(), "lost");
  EXPECT_TRUE(json["rectifiers"]["stale"].asBool());
  EXPECT_EQ(json["rectifiers"]["age_seconds"].asInt(), 75);
}

TEST(HostEndToEnd, TheDevicesTraceLinesAreLogLinesAndNeverPartOfTheSummary) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  // The second and third runs restore from the cache that the first wrote;
  // the rectifier group traces the blob it takes then.
  const HostRun first = RunHost({"simulate", "--cycles", "1", "--db", db});
  const HostRun second = RunHost({"simulate", "--cycles", "1", "--db", db});
  const HostRun quiet = RunHost({"simulate", "--cycles", "1", "--db", db, "--quiet-log"});
  for (const HostRun* run : {&first, &second, &quiet}) {
    ASSERT_EQ(run->code, 0) << run->err;
    for (const char* trace : {"parse 42 41", "rc data_len", "a:"}) {
      EXPECT_EQ(run->out.find(trace), std::string::npos) << trace << "\n" << run->out;
    }
  }
  EXPECT_NE(first.err.find("stdout: log: parse 42 41: "), std::string::npos) << first.err;
  EXPECT_NE(first.err.find("stdout: log: a:"), std::string::npos) << first.err;
  EXPECT_NE(second.err.find("stdout: log: rc data_len:"), std::string::npos) << second.err;
  for (const char* trace : {"parse 42 41", "rc data_len", "a:"}) {
    EXPECT_EQ(quiet.err.find(trace), std::string::npos) << trace << "\n" << quiet.err;
  }
}

TEST(HostEndToEnd, TheTextSummaryShowsUnitsStateWordsChannelOneAndGlossedAlarms) {
  TempDir dir;
  const HostRun run = RunHost({"simulate", "--set", "rectifier-fault 2 on", "--cycles", "1", "--db",
                               dir.File("k.db"), "--quiet-log", "--summary", "on"});
  ASSERT_EQ(run.code, 0) << run.err;
  for (const std::regex& expected : {
           std::regex(R"(\n {11}channel 1  a [0-9.]+ V  b [0-9.]+ V  c [0-9.]+ V  f [0-9.]+ Hz\n)"),
           std::regex(R"(\n  DC 21 +v [0-9.]+ V  i -?[0-9.]+ A\n)"),
           std::regex(R"(module 1: [0-9.]+ A, on, (no )?limit, (float|equalise|test), ok\n)"),
           std::regex(R"(module 2: [0-9.]+ A, off, (no )?limit, (float|equalise|test), fault\n)"),
           std::regex("alarm RAISED RC_0 06024 整流模块故障告警: 模块2整流模块故障告警 — "
                      "rectifier module 2 fault \\(level 2"),
           std::regex("RC_0 06024 整流模块故障告警: 模块2整流模块故障告警 — rectifier module 2 "
                      "fault \\(level 2, data id 100, since "),
       }) {
    EXPECT_TRUE(std::regex_search(run.out, expected)) << run.out;
  }
  EXPECT_EQ(run.out.find("channel 0"), std::string::npos) << run.out;
}

TEST(HostEndToEnd, JsonLinesHoldShortestFloatsAndTimesWithTheirOffset) {
  TempDir dir;
  const HostRun run = RunHost({"simulate", "--set", "rectifier-fault 2 on", "--cycles", "2", "--db",
                               dir.File("k.db"), "--json", "--quiet-log"});
  ASSERT_EQ(run.code, 0) << run.err;
  const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
  const std::vector<Json::Value> summaries = Events(run.out, "summary");
  ASSERT_EQ(summaries.size(), 2u) << run.out;
  for (const Json::Value& summary : summaries) {
    EXPECT_TRUE(std::regex_match(summary["time"].asString(), iso)) << summary["time"].asString();
    EXPECT_TRUE(std::regex_match(summary["line"]["last_cycle"].asString(), iso));
    ASSERT_FALSE(summary["alarms"].empty());
    EXPECT_TRUE(std::regex_match(summary["alarms"][0]["since"].asString(), iso));
    EXPECT_EQ(summary["alarms"][0]["gloss"].asString(), "rectifier module 2 fault");
  }
  const std::vector<Json::Value> raised = Events(run.out, "alarm_raised");
  ASSERT_FALSE(raised.empty());
  EXPECT_TRUE(std::regex_match(raised[0]["time"].asString(), iso)) << raised[0]["time"].asString();
  EXPECT_EQ(raised[0]["text"].asString(), "模块2整流模块故障告警");
  EXPECT_EQ(raised[0]["gloss"].asString(), "rectifier module 2 fault");

  // No number has more digits than a float needs (9 significant digits at
  // most): doubles printed in full, such as 219.99444580078125, are not.
  const std::regex number(R"([:\[,](-?\d+(\.\d+)?([eE][-+]?\d+)?)(?=[,\]}]))");
  std::size_t fractions = 0;
  for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), number);
       it != std::sregex_iterator(); ++it) {
    const std::string text = (*it)[1];
    if (text.find_first_of(".eE") == std::string::npos) continue;
    ++fractions;
    const std::string mantissa = text.substr(0, text.find_first_of("eE"));
    const std::size_t first = mantissa.find_first_not_of("-0.");
    const std::size_t digits = first == std::string::npos
                                   ? 1
                                   : std::count_if(mantissa.begin() + first, mantissa.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
    EXPECT_LE(digits, 9u) << text;
  }
  EXPECT_GT(fractions, 10u) << run.out;
}

TEST(HostEndToEnd, AnInterruptEndsPollingCleanly) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  std::atomic<bool> interrupt{false};
  std::atomic<bool> done{false};
  std::chrono::steady_clock::time_point interrupted{};
  // Interrupted once the first cycle's rows are committed, however slow the
  // machine (each cycle commits at once here).
  std::thread stopper([&] {
    WaitFor([&] {
      if (done.load()) return true;
      try {
        if (!std::filesystem::exists(db)) return false;
        runtime::SqliteDb reader(db, 1000, runtime::SqliteDb::Access::kReadOnly);
        runtime::SqliteStatement rows(reader, "SELECT COUNT(*) FROM history");
        return rows.Next() && rows.Int(0) >= 3;
      } catch (const std::exception&) {
        return false;  // not created yet
      }
    });
    interrupted = std::chrono::steady_clock::now();
    interrupt.store(true);  // as the signal handler does
    runtime::WakeForInterrupt();
  });
  const HostRun run = RunHost(
      {"simulate", "--db", db, "--summary", "on", "--commit-interval", "0", "--history-every", "0"},
      &interrupt);
  done.store(true);
  stopper.join();
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(3));
  EXPECT_NE(run.out.find("cycle 1"), std::string::npos) << run.out;
  // The database was closed: its write-ahead log is gone and it opens again.
  EXPECT_FALSE(std::filesystem::exists(dir.File("k.db-wal")));
  EXPECT_EQ(Count(dir.File("k.db"), "SELECT COUNT(*) FROM cache"), 3);
}

}  // namespace
