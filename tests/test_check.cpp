// korvan-host check: a table of good and bad configurations with their
// messages; run refuses what check refuses; logging under journald.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <json/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "snmp/snmp_agent.h"
#include "support/host_run.h"
#include "support/temp_dir.h"

namespace {

// A good system "site-a" on /dev/null, changed by `edit`.
std::string Site(const std::function<void(Json::Value&)>& edit = nullptr) {
  Json::Value site(Json::objectValue);
  site["name"] = "site-a";
  site["port"] = "/dev/null";
  site["data_id"] = 100;
  site["acSetting"][0]["data_id"] = 11;
  site["acSetting"][0]["appSetting"]["diff_v"] = 5;
  site["dcSetting"][0]["data_id"] = 21;
  site["dcSetting"][0]["appSetting"]["diff_i"] = "2";
  site["rcSetting"] = Json::Value(Json::objectValue);
  if (edit) edit(site);
  return Json::writeString(Json::StreamWriterBuilder(), site);
}

TEST(Check, AGoodConfigurationPrintsItsPlan) {
  TempDir dir;
  const std::string file = dir.Write("site.json", Site([](Json::Value& site) {
                                       site["dcSetting"][1]["data_id"] = 22;
                                       site["address"] = 3;
                                     }));
  const HostRun run = RunHost({"check", "--config", file});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "site-a: port /dev/null, address 3, data id 100: 1 AC unit (11), 2 DC units (21, 22), "
            "the rectifier group (100)\n1 system ready, 0 problems\n");
  EXPECT_EQ(run.err, "");
}

TEST(Check, RefusesEachBadConfigurationWithItsReason) {
  TempDir dir;
  const std::string regular = dir.Write("not-a-port", "");
  struct Case {
    std::string text;
    std::string reason;  // after "FILE: system "site-a": "; a whole-file reason after "FILE: "
    bool whole_file = false;
  };
  const std::vector<Case> cases{
      {Site([](Json::Value& s) {
         s["dcSettings"] = s["dcSetting"];
         s.removeMember("dcSetting");
       }),
       "unknown key \"dcSettings\" (did you mean \"dcSetting\"?)"},
      {Site([](Json::Value& s) { s["baud"] = 9600; }),
       "unknown key \"baud\"; the known keys are name, port, device_type, data_id, "
       "comm_lost_after, notify_cmd, address, protocol_version, timeout_ms, acSetting, "
       "dcSetting, rcSetting, site, http, mqtt, nut, snmp"},
      {Site([](Json::Value& s) { s["htp"]["listen"] = "8080"; }),
       "unknown key \"htp\" (did you mean \"http\"?)"},
      {Site([](Json::Value& s) { s["acSetting"][0]["appSetting"]["diff_u"] = 1; }),
       "acSetting[0].appSetting: unknown key \"diff_u\" (did you mean \"diff_v\"?)"},
      {Site([](Json::Value& s) { s["rcSetting"]["appSetting"] = 1; }),
       "rcSetting: unknown key \"appSetting\" (it takes no keys)"},
      {Site([](Json::Value& s) { s["address"] = "1"; }),
       "\"address\" must be a whole number, not a text"},
      {Site([](Json::Value& s) { s["rcSetting"] = Json::Value(Json::arrayValue); }),
       "\"rcSetting\" must be a JSON object, not an array"},
      {Site([](Json::Value& s) { s["dcSetting"][0]["appSetting"]["diff_v"] = true; }),
       "dcSetting[0].appSetting: \"diff_v\" must be a number (or a text holding one), not true "
       "or false"},
      {Site([](Json::Value& s) { s["dcSetting"][0]["data_id"] = 11; }),
       "dcSetting[0].data_id 11 is also the data id of acSetting[0]"},
      {Site([](Json::Value& s) { s.removeMember("rcSetting"); }),
       "the device refused its configuration: no rcSetting (the rectifier group) given"},
      {Site([](Json::Value& s) { s["device_type"] = "korvan-x"; }),
       "the plug-in has no provider for device type \"korvan-x\""},
      {Site([](Json::Value& s) { s["port"] = "/dev/korvan-no-such-port"; }),
       "serial port /dev/korvan-no-such-port does not exist"},
      {Site([&](Json::Value& s) { s["port"] = regular; }),
       "serial port " + regular + " is not a character device (it is a regular file)"},
      {"{\"systems\": [" + Site() + "], \"system\": 1}",
       "unknown key \"system\" (did you mean \"systems\"?) (a file with \"systems\" holds nothing "
       "else but \"site\", \"http\", \"mqtt\", \"nut\" and \"snmp\")",
       true},
  };
  for (const Case& row : cases) {
    const std::string file = dir.Write("f.json", row.text);
    const HostRun run = RunHost({"check", "--config", file});
    EXPECT_EQ(run.code, 9) << row.text;
    const std::string where = row.whole_file ? file + ": " : file + ": system \"site-a\": ";
    EXPECT_EQ(run.err, "korvan-host: check: " + where + row.reason + "\n") << row.text;
    EXPECT_EQ(run.out, "0 systems ready, 1 problem\n") << row.text;
  }
}

// One port for two systems: each opens it for itself alone, so the second is
// refused by check and run alike, also when it names the port by a link.
TEST(Check, TwoSystemsCannotShareAPort) {
  TempDir dir;
  const std::string link = dir.File("tty-link");
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  const std::string file =
      dir.Write("f.json", "{\"systems\": [" + Site() + ", " + Site([&](Json::Value& s) {
                            s["name"] = "site-b";
                            s["data_id"] = 200;
                            s["acSetting"][0]["data_id"] = 211;
                            s["dcSetting"][0]["data_id"] = 221;
                            s["port"] = link;
                          }) + "]}");
  const std::string reason = file + ": system \"site-b\": serial port " + link +
                             " is the port of system \"site-a\" (in " + file +
                             ") too; each system needs a port of its own";
  const HostRun check = RunHost({"check", "--config", file});
  EXPECT_EQ(check.code, 9);
  EXPECT_EQ(check.err, "korvan-host: check: " + reason + "\n");
  const HostRun run = RunHost(
      {"run", "--config", file, "--db", dir.File("k.db"), "--cycles", "1", "--seconds", "0.5"});
  EXPECT_NE(run.err.find("korvan-host: " + reason), std::string::npos) << run.err;
}

// A word that names no command is named back, with the parser's code of
// unexpected arguments.
TEST(Check, AnUnknownCommandOrOptionIsNamed) {
  const HostRun command = RunHost({"chek", "--config", "x.json"});
  EXPECT_EQ(command.code, 109);
  EXPECT_EQ(
      command.err.rfind("korvan-host: unknown command \"chek\" (commands: providers, run,", 0), 0u)
      << command.err;
  const HostRun option = RunHost({"--verbose"});
  EXPECT_EQ(option.code, 109);
  EXPECT_EQ(option.err.rfind("korvan-host: unknown option --verbose before the command", 0), 0u)
      << option.err;
  EXPECT_EQ(RunHost({}).code, 106) << "no command at all";
}

TEST(Check, DataIdsAndNamesDifferAcrossFilesAndPortsCanBeLeftAlone) {
  TempDir dir;
  const std::string one =
      dir.Write("one.json", Site([](Json::Value& s) { s["port"] = "/dev/korvan-no-such-port"; }));
  const std::string two = dir.Write("two.json", Site([](Json::Value& s) {
                                      s["name"] = "site-b";
                                      s["acSetting"][0]["data_id"] = 12;
                                    }));
  const HostRun run = RunHost({"check", "--no-ports", "--config", one, "--config", two});
  EXPECT_EQ(run.code, 9);
  EXPECT_EQ(run.err, "korvan-host: check: " + two +
                         ": system \"site-b\": the power system has data id 100, which the power "
                         "system of system \"site-a\" (in " +
                         one + ") has; data ids must differ across all systems\n");
  EXPECT_EQ(run.out.rfind("site-a: port /dev/korvan-no-such-port", 0), 0u) << run.out;
}

// The package's configuration as installed names no port: check says what is
// missing; run polls nothing and ends with the code the unit does not retry.
TEST(Check, ThePackagesConfigurationWaitsForItsPort) {
  TempDir dir;
  const std::string file = std::string(KORVAN_SOURCE_DIR) + "/packaging/korvan.json";
  const HostRun check = RunHost({"check", "--config", file});
  EXPECT_EQ(check.code, 9);
  EXPECT_NE(check.err.find("system \"power-1\": not configured: \"port\" is empty; set it"),
            std::string::npos)
      << check.err;
  const HostRun run = RunHost({"run", "--config", file, "--db", dir.File("k.db")});
  EXPECT_EQ(run.code, 12);
  EXPECT_NE(run.err.find("not configured: no power system has a serial port yet"),
            std::string::npos)
      << run.err;
}

// Root opens any port, the service only what its groups may: check looks at
// the port as the service will (a pseudo-terminal, mode 0660, stands in).
TEST(Check, APortThatTheServicesGroupsCannotOpenIsRefused) {
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  const std::string port = ptsname(pty);
  ASSERT_EQ(chmod(port.c_str(), 0660), 0);
  struct stat status {};
  ASSERT_EQ(stat(port.c_str(), &status), 0);
  const group* owner = getgrgid(status.st_gid);
  const std::string group = owner ? owner->gr_name : std::to_string(status.st_gid);
  TempDir dir;
  const std::string file = dir.Write("f.json", Site([&](Json::Value& s) { s["port"] = port; }));
  const HostRun refused =
      RunHost({"check", "--config", file, "--service-groups", "korvan-none,dialout-x"});
  EXPECT_EQ(refused.code, 9);
  EXPECT_EQ(refused.err, "korvan-host: check: " + file + ": system \"site-a\": serial port " +
                             port + " (group " + group +
                             ", mode 660) cannot be opened by the service, which is in the groups "
                             "korvan-none,dialout-x only: add " +
                             group +
                             " to SupplementaryGroups= (systemctl edit korvan), or give the port "
                             "to korvan-none with a udev rule (see "
                             "/usr/share/doc/korvan/examples/udev/)\n");
  const HostRun allowed = RunHost({"check", "--config", file, "--service-groups", group});
  EXPECT_EQ(allowed.code, 0) << allowed.err;
  close(pty);
}

// check refuses every runtime setting that would end run, with run's own
// reason: such a file is found before the service starts, not by a unit
// that restarts for ever.
TEST(Check, RefusesTheHttpMqttNutAndSnmpSettingsThatRunRefuses) {
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);  // a port that run can open
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  const std::string port = ptsname(pty);
  TempDir dir;
  const struct Row {
    const char* settings;  // the file's "http", "mqtt", "nut" or "snmp" key
    int run_code;
    const char* fragment;  // of the reason both give
  } rows[] = {
      {R"("http": {"listen": "127.0.0.1:0", "auth_file": "no-such-auth"})", 10, "no-such-auth"},
      {R"("http": {"listen": "0.0.0.0:0"})", 10, "is not a loopback address"},
      {R"("http": {"listen": "127.0.0.1:70000"})", 10, "70000"},
      {R"("nut": {"listen": "0.0.0.0:0"})", 18, "it needs a users file"},
      {R"("nut": {"listen": "127.0.0.1:0", "users_file": "no-such-users"})", 18, "no-such-users"},
      {R"("nut": {"listen": "127.0.0.1:0", "low_battery": -1})", 18, "low-battery level"},
      // A build without net-snmp's agent library refuses every SNMP setting.
      {R"("snmp": {"agentx": "/run/no-such-agentx", "ups_system": "plant-b"})", 19,
       snmp::SnmpBuilt() ? "no system is named \"plant-b\"" : "without net-snmp's agent library"},
      {R"("snmp": {"agentx": "/run/no-such-agentx", "enterprise": 0})", 19,
       snmp::SnmpBuilt() ? "enterprise number" : "without net-snmp's agent library"},
      {R"("mqtt": {"url": "mqtt://127.0.0.1:1", "replay_rate": 0})", 11, "MQTT replay rate 0"},
      {R"("mqtt": {"url": "mqtt://127.0.0.1:1", "keepalive": 1e10})", 11, "MQTT keepalive"},
      {R"("mqtt": {"url": "ftp://127.0.0.1"})", 11, "ftp://127.0.0.1"},
      {R"("mqtt": {"url": "mqtt://127.0.0.1:1", "credentials_file": "none"})", 11, "none"},
      {R"("mqtt": {"url": "mqtts://127.0.0.1:1"})", 11, "CA file"},
  };
  for (const Row& row : rows) {
    std::string text = Site([&](Json::Value& s) { s["port"] = port; });
    text = text.substr(0, text.rfind('}')) + ", " + row.settings + "}";
    const std::string file = dir.Write("f.json", text);
    const HostRun check = RunHost({"check", "--no-ports", "--config", file});
    EXPECT_EQ(check.code, 9) << row.settings << "\n" << check.err;
    const std::string prefix = "korvan-host: check: " + file + ": ";
    ASSERT_EQ(check.err.rfind(prefix, 0), 0u) << row.settings << "\n" << check.err;
    const std::string reason =
        check.err.substr(prefix.size(), check.err.find('\n') - prefix.size());
    EXPECT_NE(reason.find(row.fragment), std::string::npos) << reason;
    const HostRun run = RunHost(
        {"run", "--config", file, "--db", dir.File("k.db"), "--cycles", "1", "--seconds", "5"});
    EXPECT_EQ(run.code, row.run_code) << row.settings << "\n" << run.err;
    EXPECT_NE(run.err.find(reason), std::string::npos) << reason << "\n" << run.err;
  }
  close(pty);
}

// What a person may write by mistake is refused, not read silently: a key
// given twice (the last would win), a trailing comma, and a FIFO in place
// of the file (which would block check until someone writes to it).
TEST(Check, DuplicateKeysTrailingCommasAndFifosAreRefused) {
  TempDir dir;
  const std::string fifo = dir.File("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct Row {
    std::string file;
    std::string reason;  // the start of the reason after "FILE: "
  } rows[] = {
      {dir.Write("twice.json", R"({"name": "a", "data_id": 100, "data_id": 200})"),
       "not valid JSON: * Line 1, Column 31\n  Duplicate key: 'data_id'"},
      {dir.Write("comma.json", R"({"name": "a", "port": "/dev/null",})"), "not valid JSON: "},
      {fifo, "cannot read: is not a regular file"},
  };
  for (const Row& row : rows) {
    const HostRun run = RunHost({"check", "--config", row.file});
    EXPECT_EQ(run.code, 9) << row.file;
    EXPECT_EQ(run.err.rfind("korvan-host: check: " + row.file + ": " + row.reason, 0), 0u)
        << run.err;
  }
}

// A range check that every comparison passes would let NaN through: every
// numeric option refuses NaN and the infinities, before anything runs.
TEST(Check, NumericOptionsRefuseNanAndInfinities) {
  TempDir dir;
  for (const char* option :
       {"--seconds", "--history-every", "--commit-interval", "--cache-interval", "--prune-interval",
        "--comm-lost-after", "--mqtt-replay-rate", "--notify-timeout"}) {
    for (const char* value : {"nan", "inf", "-inf", "NaN"}) {
      const HostRun run =
          RunHost({"simulate", "--cycles", "1", "--db", dir.File("k.db"), option, value});
      EXPECT_EQ(run.code, 105) << option << " " << value << "\n" << run.err;
      EXPECT_NE(run.err.find(option), std::string::npos) << run.err;
    }
  }
  EXPECT_FALSE(std::ifstream(dir.File("k.db")).good()) << "nothing ran";
}

// run refuses a system for what check refuses it for, with the same reason.
TEST(Check, RunRefusesWhatCheckRefuses) {
  TempDir dir;
  const std::string regular = dir.Write("not-a-port", "");
  const std::string file =
      dir.Write("f.json", "{\"systems\": [" + Site([](Json::Value& s) { s["timeout_ms"] = -5; }) +
                              ", " + Site([&](Json::Value& s) {
                                s["name"] = "site-b";
                                s["data_id"] = 200;
                                s["acSetting"][0]["data_id"] = 211;
                                s["dcSetting"][0]["data_id"] = 221;
                                s["port"] = regular;
                              }) +
                              "]}");
  const HostRun run = RunHost({"run", "--config", file, "--db", dir.File("k.db")});
  EXPECT_EQ(run.code, 9);
  for (const std::string& reason :
       {std::string("system \"site-a\": \"timeout_ms\" must be a whole number, not a number"),
        "system \"site-b\": serial port " + regular + " is not a character device"}) {
    EXPECT_NE(run.err.find("korvan-host: " + file + ": " + reason), std::string::npos) << run.err;
  }
}

// Under journald (JOURNAL_STREAM names standard error) every line carries its
// priority and the summaries are off unless asked for.
TEST(Logging, UnderJournaldLinesCarryPrioritiesAndSummariesAreOff) {
  TempDir dir;
  struct stat status {};
  ASSERT_EQ(fstat(STDERR_FILENO, &status), 0);
  setenv("JOURNAL_STREAM",
         (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
  const HostRun quiet = RunHost({"simulate", "--cycles", "1", "--db", dir.File("a.db")});
  const HostRun summary = RunHost({"simulate", "--cycles", "1", "--db", dir.File("b.db"),
                                   "--summary", "on", "--log-level", "debug"});
  unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_EQ(quiet.out.find("cycle 1"), std::string::npos) << quiet.out;
  EXPECT_NE(quiet.out.find("<5>simulator: serving"), std::string::npos) << quiet.out;
  EXPECT_EQ(quiet.err.find("<7>"), std::string::npos) << "trace lines are debug, off at info";
  EXPECT_NE(summary.out.find("<6>simulated (data id 100) cycle 1"), std::string::npos);
  EXPECT_NE(summary.err.find("<7>stdout: log: "), std::string::npos) << summary.err;
  for (const std::string& text : {quiet.out, quiet.err, summary.out, summary.err}) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(line.size() > 3 && line[0] == '<' && line[2] == '>') << line;
    }
  }
}

}  // namespace
