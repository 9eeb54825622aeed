// Notifications: the command run for alarm and communication events, its
// environment and standard input, its time limit and failures, one command at
// a time per system, and korvan-host running it while polling the simulator.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "notify/notifier.h"
#include "runtime/event_stream.h"
#include "runtime/local_time_text.h"
#include "runtime/system_config.h"
#include "tests/support/host_run.h"
#include "tests/support/scoped_variable.h"
#include "tests/support/temp_dir.h"

namespace {

using runtime::Notifier;
using runtime::NotifierOptions;
using runtime::RuntimeEvent;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Helpers

std::string Read(const std::string& path) {
  return ReadFile(path);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// `env` output as a map; the last value of a name wins.
std::map<std::string, std::string> Variables(const std::string& text) {
  std::map<std::string, std::string> variables;
  for (const std::string& line : Lines(text)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) variables[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return variables;
}

Json::Value ParseJson(const std::string& line) {
  Json::Value value;
  std::string errors;
  EXPECT_TRUE(ParseJsonText(line, value, errors)) << line << ": " << errors;
  return value;
}

// True when this process has no child left, running or unreaped.
bool NoChildren() {
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");

// Collects the problems reported on the stream.
class ProblemLog : public runtime::EventSubscriber {
 public:
  void OnEvent(const RuntimeEvent& event) override {
    if (event.kind != RuntimeEvent::Kind::kProblem) return;
    std::lock_guard<std::mutex> lock(mutex_);
    problems_.push_back(event.system + ": " + event.text);
  }
  std::string All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& problem : problems_) all += problem + "\n";
    return all;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> problems_;
};

// An event stream with a problem log and a notifier subscribed.
struct NotifyRig {
  explicit NotifyRig(NotifierOptions options)
      : problems(std::make_shared<ProblemLog>()),
        notifier(std::make_shared<Notifier>(std::move(options), events)) {
    events.Subscribe("problems", problems);
    events.Subscribe("notify", notifier);
  }
  // Every command queued so far has run and its problems are logged.
  void Finish() {
    events.Flush();
    notifier->Finish();
    events.Flush();
  }

  runtime::EventStream events;
  std::shared_ptr<ProblemLog> problems;
  std::shared_ptr<Notifier> notifier;
};

RuntimeEvent Alarm(const std::string& system, const std::string& id, bool raised) {
  RuntimeEvent event;
  event.kind = RuntimeEvent::Kind::kAlarm;
  event.system = system;
  event.time = boost::posix_time::time_from_string("2026-12-08 10:00:05");
  event.alarm.raised = raised;
  event.alarm.time = "2026-12-08 10:00:00";
  event.alarm.data_id = 100;
  event.alarm.record_type = 5211;
  event.alarm.level = 2;
  event.alarm.id = id;
  event.alarm.code = "06024";
  event.alarm.name = "整流模块故障告警";
  event.alarm.text = "模块2整流模块故障告警";
  event.device = {100, 5211};
  return event;
}

RuntimeEvent Communication(const std::string& system, bool ok, const std::string& text) {
  RuntimeEvent event;
  event.kind = RuntimeEvent::Kind::kCommunication;
  event.system = system;
  event.time = boost::posix_time::time_from_string("2026-12-08 10:01:00");
  event.device = {100, 0};
  event.ok = ok;
  event.text = text;
  event.event_id = ok ? "0000000000000002" : "0000000000000001";
  return event;
}

// Sets an environment variable for the scope, as it was afterwards.
// The caller's own KORVAN_ variables (a CI run's settings) would reach the
// command through the runtime's environment: they are unset for a test and
// restored after it.
class WithoutCallerVariables {
 public:
  WithoutCallerVariables() {
    for (char** variable = environ; *variable != nullptr; ++variable) {
      const std::string entry = *variable;
      if (entry.rfind("KORVAN_", 0) == 0) saved_.push_back(entry);
    }
    for (const std::string& entry : saved_) unsetenv(entry.substr(0, entry.find('=')).c_str());
  }
  ~WithoutCallerVariables() {
    for (const std::string& entry : saved_) {
      const std::size_t equals = entry.find('=');
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }

 private:
  std::vector<std::string> saved_;
};

// ---------------------------------------------------------------------------
// What a command is told

TEST(NotifyContents, AnAlarmAndACommunicationLossArriveAsVariablesAndOneJsonLine) {
  TempDir dir;
  // The operator's own variables pass through; one that clashes with an
  // event variable is replaced.
  ScopedVariable mail("KORVAN_MAIL_TO", "ops@example.com");
  ScopedVariable stale("KORVAN_ID", "stale");
  NotifierOptions options;
  options.command = "env | grep ^KORVAN_ > '" + dir.Path() + "'/$KORVAN_EVENT.env; cat > '" +
                    dir.Path() + "'/$KORVAN_EVENT.json";
  NotifyRig rig(options);
  rig.events.Publish(Alarm("site-a", "RC_0", true));
  rig.events.Publish(Communication("site-a", false, "no polling cycle completed for 60 s"));
  rig.events.Publish(Communication("site-a", true, "a polling cycle completed"));
  RuntimeEvent summary;
  summary.kind = RuntimeEvent::Kind::kNote;  // not notified
  summary.system = "site-a";
  rig.events.Publish(summary);
  rig.Finish();
  EXPECT_EQ(rig.problems->All(), "");

  const auto raised = Variables(Read(dir.File("alarm_raised.env")));
  EXPECT_EQ(raised.at("KORVAN_SYSTEM"), "site-a");
  EXPECT_EQ(raised.at("KORVAN_DEVICE"), "100");
  EXPECT_EQ(raised.at("KORVAN_RECORD_TYPE"), "5211");
  EXPECT_EQ(raised.at("KORVAN_EVENT"), "alarm_raised");
  EXPECT_EQ(raised.at("KORVAN_ID"), "RC_0");
  EXPECT_EQ(raised.at("KORVAN_CODE"), "06024");
  EXPECT_EQ(raised.at("KORVAN_LEVEL"), "2");
  EXPECT_EQ(raised.at("KORVAN_NAME"), "整流模块故障告警");
  EXPECT_EQ(raised.at("KORVAN_TEXT"), "模块2整流模块故障告警");
  EXPECT_EQ(raised.at("KORVAN_STATE"), "active");
  EXPECT_EQ(raised.at("KORVAN_GLOSS"), "rectifier module 2 fault");
  EXPECT_EQ(raised.at("KORVAN_MAIL_TO"), "ops@example.com");
  // The alarm's own time, as the console and the store show it.
  EXPECT_EQ(raised.at("KORVAN_TIME"), runtime::IsoLocalTime("2026-12-08 10:00:00"));
  EXPECT_EQ(raised.at("KORVAN_TIME").substr(0, 19), "2026-12-08T10:00:00");

  const std::vector<std::string> json = Lines(Read(dir.File("alarm_raised.json")));
  ASSERT_EQ(json.size(), 1u);
  const Json::Value object = ParseJson(json[0]);
  EXPECT_EQ(object["event"].asString(), "alarm_raised");
  EXPECT_EQ(object["system"].asString(), "site-a");
  EXPECT_EQ(object["data_id"].asUInt(), 100u);
  EXPECT_EQ(object["record_type"].asInt(), 5211);
  EXPECT_EQ(object["id"].asString(), "RC_0");
  EXPECT_EQ(object["code"].asString(), "06024");
  EXPECT_EQ(object["level"].asInt(), 2);
  EXPECT_EQ(object["name"].asString(), "整流模块故障告警");
  EXPECT_EQ(object["text"].asString(), "模块2整流模块故障告警");
  EXPECT_EQ(object["state"].asString(), "active");
  EXPECT_EQ(object["gloss"].asString(), raised.at("KORVAN_GLOSS"));
  EXPECT_EQ(object["time"].asString(), raised.at("KORVAN_TIME"));

  const auto lost = Variables(Read(dir.File("communication_lost.env")));
  EXPECT_EQ(lost.at("KORVAN_EVENT"), "communication_lost");
  EXPECT_EQ(lost.at("KORVAN_ID"), "communication_lost");
  EXPECT_EQ(lost.at("KORVAN_CODE"), "90002");
  EXPECT_EQ(lost.at("KORVAN_STATE"), "lost");
  EXPECT_EQ(lost.at("KORVAN_TEXT"), "no polling cycle completed for 60 s");
  EXPECT_EQ(lost.at("KORVAN_DEVICE"), "100");
  EXPECT_EQ(lost.at("KORVAN_RECORD_TYPE"), "0");
  EXPECT_EQ(lost.at("KORVAN_TIME").substr(0, 19), "2026-12-08T10:01:00");
  EXPECT_EQ(lost.at("KORVAN_EVENT_ID"), "0000000000000001");
  const auto restored = Variables(Read(dir.File("communication_restored.env")));
  EXPECT_EQ(restored.at("KORVAN_STATE"), "restored");
  EXPECT_EQ(restored.at("KORVAN_TEXT"), "a polling cycle completed");
  const Json::Value restored_json = ParseJson(Read(dir.File("communication_restored.json")));
  EXPECT_EQ(restored_json["state"].asString(), "restored");
  EXPECT_EQ(restored_json["event_id"].asString(), "0000000000000002");
  EXPECT_FALSE(std::filesystem::exists(dir.File("note.env")));
}

TEST(NotifyContents, TimesCarryTheOffsetTheTimeZoneHadThen) {
  auto at = [](const char* zone, const char* time) {
    ScopedVariable tz("TZ", zone);
    return runtime::IsoLocalTime(time);
  };
  EXPECT_EQ(at("Europe/Berlin", "2026-12-08 10:00:00"), "2026-12-08T10:00:00+01:00");
  EXPECT_EQ(at("Europe/Berlin", "2026-07-01 23:59:59"), "2026-07-01T23:59:59+02:00");
  EXPECT_EQ(at("America/New_York", "2026-01-15 08:30:00"), "2026-01-15T08:30:00-05:00");
  EXPECT_EQ(at("Asia/Kolkata", "2026-03-01 00:00:00"), "2026-03-01T00:00:00+05:30");
  EXPECT_EQ(at("UTC", "2026-03-01 00:00:00"), "2026-03-01T00:00:00+00:00");
}

// ---------------------------------------------------------------------------
// Order, overrides and the backlog

TEST(NotifyOrder, OneSystemsCommandsRunOneAtATimeInTheOrderOfItsEvents) {
  TempDir dir;
  NotifierOptions options;
  options.command = "echo \"$KORVAN_ID start\" >> '" + dir.Path() +
                    "'/$KORVAN_SYSTEM; sleep 0.05; echo \"$KORVAN_ID end\" >> '" + dir.Path() +
                    "'/$KORVAN_SYSTEM";
  // A system's own command replaces the default; an empty one turns it off.
  options.system_commands["own"] = "echo \"$KORVAN_ID\" >> '" + dir.Path() + "'/own";
  options.system_commands["off"] = "";
  NotifyRig rig(options);
  for (int i = 0; i < 5; ++i) {
    for (const std::string system : {"a", "b", "own", "off"}) {
      rig.events.Publish(Alarm(system, system + std::to_string(i), i % 2 == 0));
    }
  }
  rig.Finish();
  EXPECT_EQ(rig.problems->All(), "");
  for (const std::string system : {"a", "b"}) {
    std::vector<std::string> expected;
    for (int i = 0; i < 5; ++i) {
      expected.push_back(system + std::to_string(i) + " start");
      expected.push_back(system + std::to_string(i) + " end");
    }
    EXPECT_EQ(Lines(Read(dir.File(system))), expected) << system;
  }
  EXPECT_EQ(Lines(Read(dir.File("own"))),
            (std::vector<std::string>{"own0", "own1", "own2", "own3", "own4"}));
  EXPECT_FALSE(std::filesystem::exists(dir.File("off")));
}

// Waits up to 3 s for a file to appear.
bool Appears(const std::string& path) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(3);
  while (!std::filesystem::exists(path) && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::filesystem::exists(path);
}

TEST(NotifyOrder, ASlowSystemDropsBeyondItsBacklogWithoutHoldingUpAnother) {
  TempDir dir;
  NotifierOptions options;
  options.command = "echo \"$KORVAN_ID\" >> '" + dir.Path() + "'/quick";
  options.system_commands["slow"] = "echo \"$KORVAN_ID\" >> '" + dir.Path() +
                                    "'/started; sleep 1; echo \"$KORVAN_ID\" >> '" + dir.Path() +
                                    "'/slow";
  options.backlog = 2;
  NotifyRig rig(options);
  rig.events.Publish(Alarm("slow", "S0", true));
  ASSERT_TRUE(Appears(dir.File("started")));
  for (int i = 1; i < 6; ++i) rig.events.Publish(Alarm("slow", "S" + std::to_string(i), true));
  rig.events.Publish(Alarm("quick", "Q", true));
  // The quick system's command runs while the slow one's first still does.
  EXPECT_TRUE(Appears(dir.File("quick")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("slow")));
  rig.Finish();
  // The first ran, two waited, three were dropped and counted.
  EXPECT_EQ(Lines(Read(dir.File("slow"))), (std::vector<std::string>{"S0", "S1", "S2"}));
  EXPECT_NE(rig.problems->All().find("slow: 3 notification(s) dropped: 2 were waiting"),
            std::string::npos)
      << rig.problems->All();
}

// ---------------------------------------------------------------------------
// Commands that fail, hang or misbehave

TEST(NotifyFailures, NonZeroExitsSignalsAndMissingCommandsAreReportedWithTheirOutput) {
  NotifierOptions options;
  options.command = "echo first line; echo 'second line' >&2; exit 3";
  options.system_commands["missing"] = "/nonexistent/korvan-notify";
  options.system_commands["signalled"] = "kill -SEGV $$";
  NotifyRig rig(options);
  rig.events.Publish(Alarm("exits", "RC_0", true));
  rig.events.Publish(Alarm("missing", "RC_1", false));
  rig.events.Publish(Alarm("signalled", "RC_2", true));
  rig.Finish();
  const std::string problems = rig.problems->All();
  EXPECT_NE(problems.find("exits: notify command for alarm_raised RC_0 exited with code 3: "
                          "first line | second line"),
            std::string::npos)
      << problems;
  EXPECT_NE(problems.find("missing: notify command for alarm_cleared RC_1 exited with code 127: "),
            std::string::npos)
      << problems;
  EXPECT_NE(problems.find("/nonexistent/korvan-notify"), std::string::npos) << problems;
  EXPECT_NE(problems.find("signalled: notify command for alarm_raised RC_2 was killed by SIGSEGV"),
            std::string::npos)
      << problems;
  EXPECT_TRUE(NoChildren());
}

TEST(NotifyFailures, ACommandIgnoringSigtermIsKilledASecondLaterAndReaped) {
  TempDir dir;
  NotifierOptions options;
  options.command = "trap '' TERM; touch '" + dir.File("started") + "'; sleep 30";
  options.timeout = std::chrono::seconds(1);  // time for a loaded machine to start it
  NotifyRig rig(options);
  const Clock::time_point start = Clock::now();
  rig.events.Publish(Alarm("site-a", "RC_0", true));
  // Finishing before the command started would end it as the runtime's end,
  // not by its own time-out.
  ASSERT_TRUE(Appears(dir.File("started")));
  rig.Finish();
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(2000));
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_NE(rig.problems->All().find("timed out after 1 s; SIGTERM did not end it, SIGKILL did"),
            std::string::npos)
      << rig.problems->All();
  EXPECT_TRUE(NoChildren());
}

TEST(NotifyFailures, ACommandThatClosesItsInputEarlyOrFloodsItsOutputHarmsNothing) {
  const std::function<bool()> never = [] { return false; };
  // More than a pipe holds, to a command that never reads: the write fails
  // with EPIPE, and SIGPIPE must not end this process.
  const std::string input(1 << 20, 'x');
  const runtime::CommandResult closed =
      runtime::RunShellCommand("exec 0<&-; sleep 0.1", {}, input, std::chrono::seconds(5),
                               std::chrono::seconds(1), 4096, never);
  EXPECT_TRUE(closed.Succeeded()) << closed.exit_code << " " << closed.signal;
  // Output beyond the bound is read and dropped, so the command is not blocked.
  const runtime::CommandResult flood =
      runtime::RunShellCommand("head -c 1000000 /dev/zero | tr '\\0' y; exit 4", {}, "",
                               std::chrono::seconds(5), std::chrono::seconds(1), 4096, never);
  EXPECT_EQ(flood.end, runtime::CommandResult::End::kExited);
  EXPECT_EQ(flood.exit_code, 4);
  EXPECT_FALSE(flood.timed_out);
  EXPECT_EQ(flood.output, std::string(4096, 'y'));
  // Asked to stop (the runtime ending): stopped, not timed out.
  const Clock::time_point start = Clock::now();
  const runtime::CommandResult stopped = runtime::RunShellCommand(
      "sleep 30", {}, "", std::chrono::seconds(30), std::chrono::seconds(1), 4096,
      [&] { return Clock::now() - start > std::chrono::milliseconds(200); });
  EXPECT_TRUE(stopped.stopped);
  EXPECT_FALSE(stopped.timed_out);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(NoChildren());
  // A job the command left running in the background ends with it.
  const runtime::CommandResult left =
      runtime::RunShellCommand("sleep 30 >/dev/null 2>&1 & echo $!", {}, "",
                               std::chrono::seconds(5), std::chrono::seconds(1), 4096, never);
  EXPECT_TRUE(left.Succeeded());
  const pid_t job = static_cast<pid_t>(std::stol(left.output));
  ASSERT_GT(job, 1);
  // Gone, or a zombie until whoever inherited it reaps it.
  std::ifstream stat("/proc/" + std::to_string(job) + "/stat");
  std::string pid, name, state;
  stat >> pid >> name >> state;
  EXPECT_TRUE(!stat || state == "Z" || name != "(sleep)") << name << " " << state;
}

TEST(NotifyConfig, ASystemsNotifyCmdIsReadAndCheckedAsText) {
  const runtime::LoadedConfig loaded = runtime::ParseConfig(
      R"({"systems": [{"name": "a", "port": "/dev/ttyS0", "notify_cmd": "logger x"},
                      {"name": "b", "port": "/dev/ttyS1", "notify_cmd": ""},
                      {"name": "c", "port": "/dev/ttyS2"},
                      {"name": "d", "port": "/dev/ttyS3", "notify_cmd": 5},
                      {"name": "e", "port": "/dev/ttyS4", "notify_cmd": "a\u0000b"}]})",
      "site.json");
  ASSERT_EQ(loaded.systems.size(), 3u);
  EXPECT_EQ(loaded.systems[0].notify_cmd, std::optional<std::string>("logger x"));
  EXPECT_EQ(loaded.systems[1].notify_cmd, std::optional<std::string>(""));
  EXPECT_FALSE(loaded.systems[2].notify_cmd.has_value());
  ASSERT_EQ(loaded.problems.size(), 2u);
  EXPECT_NE(loaded.problems[0].Message().find("system \"d\": \"notify_cmd\" must be"),
            std::string::npos);
  EXPECT_NE(loaded.problems[1].Message().find("system \"e\": \"notify_cmd\" must be"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// korvan-host end to end

// The JSON lines of a --json run whose "event" is `event`.
std::vector<Json::Value> Events(const std::string& out, const std::string& event) {
  std::vector<Json::Value> found;
  for (const std::string& line : Lines(out)) {
    const Json::Value value = ParseJson(line);
    if (value["event"].asString() == event) found.push_back(value);
  }
  return found;
}

TEST(NotifyEndToEnd, ARectifierFaultsRaiseAndClearReachTheCommand) {
  const WithoutCallerVariables clean;
  TempDir dir;
  const std::string scenario = dir.Write("fault.scenario", "wait 3\nrectifier-fault 2 off\n");
  const std::string out = "'" + dir.Path() + "'/$KORVAN_EVENT.$KORVAN_ID";
  const HostRun run =
      RunHost({"simulate", "--set", "rectifier-fault 2 on", "--scenario", scenario, "--cycles", "4",
               "--db", dir.File("k.db"), "--json", "--quiet-log", "--notify-cmd",
               "env | grep ^KORVAN_ >> " + out + ".env; cat >> " + out + ".json"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err.find("notify command"), std::string::npos) << run.err;
  std::vector<Json::Value> console;  // the console's events of RC_0, raised then cleared
  for (const std::string event : {"alarm_raised", "alarm_cleared"}) {
    for (const Json::Value& alarm : Events(run.out, event)) {
      if (alarm["id"] == "RC_0") console.push_back(alarm);
    }
  }
  ASSERT_EQ(console.size(), 2u) << run.out;

  int index = 0;
  for (const auto& [event, state] : {std::pair<std::string, std::string>{"alarm_raised", "active"},
                                     {"alarm_cleared", "cleared"}}) {
    SCOPED_TRACE(event);
    const std::string env = Read(dir.File(event + ".RC_0.env"));
    // Exactly one notification of each.
    EXPECT_EQ(Lines(env).size(), 13u) << env;
    const auto variables = Variables(env);
    EXPECT_EQ(variables.at("KORVAN_SYSTEM"), "simulated");
    EXPECT_EQ(variables.at("KORVAN_DEVICE"), "100");
    EXPECT_EQ(variables.at("KORVAN_RECORD_TYPE"), console[index]["record_type"].asString());
    EXPECT_EQ(variables.at("KORVAN_EVENT"), event);
    EXPECT_EQ(variables.at("KORVAN_ID"), "RC_0");
    EXPECT_EQ(variables.at("KORVAN_CODE"), "06024");
    EXPECT_EQ(variables.at("KORVAN_LEVEL"), console[index]["level"].asString());
    EXPECT_EQ(variables.at("KORVAN_TEXT"), "模块2整流模块故障告警");
    EXPECT_EQ(variables.at("KORVAN_STATE"), state);
    EXPECT_TRUE(std::regex_match(variables.at("KORVAN_TIME"), kIsoTime))
        << variables.at("KORVAN_TIME");
    // The same moment as the console shows.
    EXPECT_EQ(variables.at("KORVAN_TIME"), console[index]["time"].asString());

    const std::vector<std::string> json = Lines(Read(dir.File(event + ".RC_0.json")));
    ASSERT_EQ(json.size(), 1u);
    const Json::Value object = ParseJson(json[0]);
    EXPECT_EQ(object["event"].asString(), event);
    EXPECT_EQ(object["text"].asString(), "模块2整流模块故障告警");
    EXPECT_EQ(object["time"].asString(), variables.at("KORVAN_TIME"));
    // The id the console and the store show.
    EXPECT_EQ(object["event_id"].asString(), variables.at("KORVAN_EVENT_ID"));
    EXPECT_EQ(variables.at("KORVAN_EVENT_ID"), console[index]["event_id"].asString());
    ++index;
  }
  EXPECT_TRUE(NoChildren());
}

// A loss that outlasts a restart is told once, and its end is told by the run
// whose first cycle completes: alarm and communication event in pairs.
TEST(NotifyEndToEnd, ALossAcrossARestartIsToldOnceAndItsEndAfterIt) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  const std::string log = dir.File("events.log");
  const std::string command = "echo \"$KORVAN_EVENT $KORVAN_ID\" >> '" + log + "'";
  // Lost 10 s after polling starts; the run is given well more than that.
  const HostRun lost = RunHost({"simulate", "--silent", "--comm-lost-after", "10", "--seconds",
                                "16", "--db", db, "--quiet-log", "--notify-cmd", command});
  ASSERT_EQ(lost.code, 0) << lost.err;
  const HostRun still = RunHost({"simulate", "--silent", "--comm-lost-after", "10", "--seconds",
                                 "10.5", "--db", db, "--quiet-log", "--notify-cmd", command});
  ASSERT_EQ(still.code, 0) << still.err;
  const HostRun back =
      RunHost({"simulate", "--cycles", "1", "--db", db, "--quiet-log", "--notify-cmd", command});
  ASSERT_EQ(back.code, 0) << back.err;
  EXPECT_EQ(Read(log),
            "alarm_raised communication_lost\ncommunication_lost communication_lost\n"
            "alarm_cleared communication_lost\ncommunication_restored communication_lost\n");
}

TEST(NotifyEndToEnd, AHangingCommandIsStoppedAtItsLimitWhilePollingGoesOn) {
  TempDir dir;
  const Clock::time_point start = Clock::now();
  const HostRun run =
      RunHost({"simulate", "--set", "rectifier-fault 2 on", "--cycles", "3", "--db",
               dir.File("k.db"), "--json", "--quiet-log", "--notify-cmd",
               "date +%s.%N > '" + dir.Path() + "'/started; sleep 60", "--notify-timeout", "3"});
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_EQ(run.code, 0) << run.err;
  // Cycles completed while the command hung (it starts at the first raise,
  // for 3 s, and a cycle takes about 2 s), and the run did not wait for it.
  EXPECT_EQ(Events(run.out, "summary").size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(dir.File("started")));
  EXPECT_LT(took, 20.0);
  EXPECT_NE(run.err.find("korvan-host: simulated: notify command for alarm_raised RC_0 timed out "
                         "after 3 s; ended with SIGTERM"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(NoChildren());
}

TEST(NotifyEndToEnd, FailingAndMissingCommandsAreReportedAndPollingGoesOn) {
  for (const std::string& command : {std::string("exit 3"), std::string("/nonexistent/notify")}) {
    SCOPED_TRACE(command);
    TempDir dir;
    const HostRun run =
        RunHost({"simulate", "--set", "rectifier-fault 2 on", "--cycles", "2", "--db",
                 dir.File("k.db"), "--json", "--quiet-log", "--notify-cmd", command});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Events(run.out, "summary").size(), 2u);
    const std::string expected =
        command == "exit 3" ? "notify command for alarm_raised RC_0 exited with code 3\n"
                            : "notify command for alarm_raised RC_0 exited with code 127: ";
    EXPECT_NE(run.err.find("korvan-host: simulated: " + expected), std::string::npos) << run.err;
  }
}

}  // namespace
