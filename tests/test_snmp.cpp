// The SNMP agent: its objects and notifications, then korvan-host as a
// subagent of Debian's snmpd, read with net-snmp's tools and sending its
// notifications to snmptrapd, all on loopback with private configurations.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "runtime/alarm_event.h"
#include "snmp/korvan_mib.h"
#include "snmp/mib_view.h"
#include "snmp/snmp_agent.h"
#include "snmp/ups_mib.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_port.h"
#include "tests/support/pty_plant.h"
#include "tests/support/temp_dir.h"

namespace {

using snmp::MibValue;
using snmp::Oid;

// ---------------------------------------------------------------------------
// Objects and notifications

TEST(SnmpObjects, GetNextWalksInOidOrderAndAlarmRowsKeepTheirNumbers) {
  snmp::MibView view;
  for (const Oid& oid : std::vector<Oid>{{1, 3, 10}, {1, 3, 2, 1}, {1, 3, 2}, {1, 4}}) {
    view.Set(oid, MibValue::Integer(static_cast<std::int64_t>(oid.size())));
  }
  // GETNEXT of a prefix gives its first instance; of an instance, the next
  // one in OID order (2 before 10, a prefix before its children).
  const std::vector<std::pair<Oid, Oid>> next = {{{1}, {1, 3, 2}},
                                                 {{1, 3, 2}, {1, 3, 2, 1}},
                                                 {{1, 3, 2, 1}, {1, 3, 10}},
                                                 {{1, 3, 9, 9}, {1, 3, 10}}};
  for (const auto& [asked, expected] : next) {
    ASSERT_NE(view.Next(asked), view.end()) << snmp::OidText(asked);
    EXPECT_EQ(view.Next(asked)->first, expected) << snmp::OidText(asked);
  }
  EXPECT_EQ(view.Next({1, 4}), view.end());
  EXPECT_EQ(view.Get({1, 3}), nullptr);
  EXPECT_EQ(MibValue::Integer(1LL << 40).number, INT32_MAX) << "clamped to Integer32";
  EXPECT_EQ(MibValue::Counter((1ULL << 32) + 5).number, 5) << "Counter32 wraps";

  runtime::AlarmEvent fault{true,   "2026-12-10 08:00:00",   100,   5211, 2, "RC_0", "06024",
                            "name", "模块2整流模块故障告警", "ev-1"};
  runtime::AlarmEvent fuse = fault;
  fuse.id = "DC_9";
  snmp::AlarmNumbers numbers;
  const auto fault_key = snmp::AlarmNumbers::KeyOf("a", fault);
  EXPECT_EQ(numbers.Number(fault_key), 1u);
  EXPECT_EQ(numbers.Number(snmp::AlarmNumbers::KeyOf("a", fuse)), 2u);
  EXPECT_EQ(numbers.Number(fault_key), 1u) << "kept while active";
  EXPECT_EQ(numbers.Release(fault_key), 1u) << "the clear carries the raise's number";
  EXPECT_EQ(numbers.Number(fault_key), 3u) << "raised again: a new number, never one given";
  EXPECT_EQ(numbers.Number(snmp::AlarmNumbers::KeyOf("b", fault)), 4u) << "per system";

  // A notification names the alarm's row; the English gloss carries the
  // module number of the device's own text.
  const Oid root = snmp::KorvanRoot(32473);
  const snmp::VarBinds binds = snmp::AlarmNotification(root, {7, "a", fault});
  ASSERT_EQ(binds.size(), 10u);
  EXPECT_EQ(snmp::OidText(binds[0].first), "1.3.6.1.6.3.1.1.4.1.0");
  EXPECT_EQ(snmp::OidText(binds[0].second.oid), "1.3.6.1.4.1.32473.0.1");
  EXPECT_EQ(snmp::OidText(binds[1].first), "1.3.6.1.4.1.32473.1.7.1.2.7");
  EXPECT_EQ(binds[1].second.text, "a");
  EXPECT_EQ(binds[7].second.text, "rectifier module 2 fault");
  EXPECT_EQ(binds[9].second.text, "ev-1");
}

TEST(SnmpObjects, UpsAlarmRowsKeepTheirIdAndTimeAndLineFailuresAreCounted) {
  snmp::UpsHistory history;
  history.Update({snmp::kAlarmGeneralFault}, 100);
  history.Update({snmp::kAlarmGeneralFault, snmp::kAlarmOnBattery}, 500);
  ASSERT_EQ(history.Rows().size(), 2u);
  EXPECT_EQ(history.Rows()[0].id, 1u);
  EXPECT_EQ(history.Rows()[0].since, 100) << "a row keeps the time it came";
  EXPECT_EQ(history.Rows()[1].alarm, snmp::kAlarmOnBattery);
  EXPECT_EQ(history.InputLineBads(), 1u);
  EXPECT_EQ(history.SecondsOnBattery(2500), 20);
  history.Update({snmp::kAlarmOnBattery}, 3000);
  ASSERT_EQ(history.Rows().size(), 1u);
  EXPECT_EQ(history.Rows()[0].id, 2u);
  history.Update({}, 3100);
  EXPECT_EQ(history.SecondsOnBattery(3200), 0) << "on line again";
  history.Update({snmp::kAlarmOnBattery}, 4000);
  EXPECT_EQ(history.InputLineBads(), 2u);
  EXPECT_EQ(history.Rows()[0].id, 3u);
}

// ---------------------------------------------------------------------------
// Against Debian's snmpd, snmptrapd and net-snmp's tools

constexpr char kSnmpd[] = "/usr/sbin/snmpd";
constexpr char kSnmptrapd[] = "/usr/sbin/snmptrapd";
constexpr char kSnmpget[] = "/usr/bin/snmpget";
constexpr char kSnmpwalk[] = "/usr/bin/snmpwalk";
constexpr char kSnmptranslate[] = "/usr/bin/snmptranslate";

bool HaveNetSnmp() {
  for (const char* tool : {kSnmpd, kSnmptrapd, kSnmpget, kSnmpwalk, kSnmptranslate}) {
    if (access(tool, X_OK) != 0) return false;
  }
  return true;
}

// The environment of net-snmp's programs: no configuration, state or MIB of
// this machine or its user.
std::vector<std::string> SnmpEnv(const TempDir& dir) {
  // Made here, so that the tools do not report making them.
  std::filesystem::create_directories(dir.File("state/cert_indexes"));
  return {"PATH=/usr/bin:/bin", "HOME=" + dir.File("home"),
          "MIBS=", "SNMPCONFPATH=" + dir.File("conf"), "SNMP_PERSISTENT_DIR=" + dir.File("state")};
}

// snmpd with AgentX on a socket in `dir`, SNMPv2c and an SNMPv3 user for
// 127.0.0.1, and its notifications sent to snmptrapd; and that snmptrapd.
class Managers {
 public:
  explicit Managers(const TempDir& dir) : dir_(dir) {
    std::filesystem::create_directories(dir.File("conf"));
    std::filesystem::create_directories(dir.File("home"));
    dir.Write("snmptrapd.conf", "disableAuthorization yes\n");
    for (int attempt = 0; attempt < 5 && trapd_ < 0; ++attempt) {
      trap_port_ = FreeLoopbackPort(SOCK_DGRAM);
      const pid_t pid = StartProcess({kSnmptrapd, "-f", "-On", "-Lf", dir.File("traps.log"), "-C",
                                      "-c", dir.File("snmptrapd.conf"), "-p", dir.File("trapd.pid"),
                                      "udp:127.0.0.1:" + std::to_string(trap_port_)},
                                     SnmpEnv(dir), dir.File("trapd.out"));
      if (WaitFor(
              [&] {
                return ReadFile(dir.File("traps.log")).find("NET-SNMP version") !=
                           std::string::npos ||
                       Ended(pid);
              },
              30) &&
          !Ended(pid)) {
        trapd_ = pid;
      }
    }
    StartSnmpd();
  }
  ~Managers() {
    Stop(snmpd_);
    Stop(trapd_);
  }

  // Starts snmpd anew (on the same port once it had one).
  void StartSnmpd() {
    for (int attempt = 0; attempt < 5 && snmpd_ < 0; ++attempt) {
      if (port_ == 0 || attempt > 0) port_ = FreeLoopbackPort(SOCK_DGRAM);
      dir_.Write("snmpd.conf", "agentAddress udp:127.0.0.1:" + std::to_string(port_) +
                                   "\nmaster agentx\nagentXSocket " + Socket() +
                                   "\nagentXPerms 0600 0700\n"
                                   "rocommunity public 127.0.0.1\n"
                                   "createUser nms SHA \"nms-secret-1\" AES \"nms-secret-2\"\n"
                                   "rouser nms priv\n"
                                   "trap2sink 127.0.0.1:" +
                                   std::to_string(trap_port_) + " public\n");
      const std::string log = dir_.File("snmpd.log");
      std::filesystem::remove(log);
      const pid_t pid = StartProcess({kSnmpd, "-f", "-Lf", log, "-C", "-c", dir_.File("snmpd.conf"),
                                      "-p", dir_.File("snmpd.pid")},
                                     SnmpEnv(dir_), dir_.File("snmpd.out"));
      if (WaitFor(
              [&] {
                return ReadFile(log).find("NET-SNMP version") != std::string::npos || Ended(pid);
              },
              30) &&
          !Ended(pid)) {
        snmpd_ = pid;
      }
    }
  }
  void StopSnmpd() { Stop(snmpd_); }

  bool Running() const { return snmpd_ > 0 && trapd_ > 0; }
  std::string Socket() const { return dir_.File("agentx"); }
  std::string Traps() const { return ReadFile(dir_.File("traps.log")); }
  std::string Logs() const {
    return "snmpd:\n" + ReadFile(dir_.File("snmpd.log")) + "snmptrapd:\n" + Traps();
  }

  // OID -> value (as -Oq prints it, strings without their quotes) of a walk
  // or get; `v3` reads as the SNMPv3 user.
  std::map<std::string, std::string> Read(const char* tool, const std::vector<std::string>& oids,
                                          bool v3 = false) const {
    std::vector<std::string> argv{tool, "-On", "-Oq", "-t", "5", "-r", "2"};
    if (v3) {
      argv.insert(argv.end(), {"-v3", "-l", "authPriv", "-u", "nms", "-a", "SHA", "-A",
                               "nms-secret-1", "-x", "AES", "-X", "nms-secret-2"});
    } else {
      argv.insert(argv.end(), {"-v2c", "-c", "public"});
    }
    argv.push_back("udp:127.0.0.1:" + std::to_string(port_));
    argv.insert(argv.end(), oids.begin(), oids.end());
    const ToolRun run = RunTool(dir_, argv, SnmpEnv(dir_));
    std::map<std::string, std::string> values;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t space = line.find(' ');
      if (space == std::string::npos || line[0] != '.') continue;
      std::string value = line.substr(space + 1);
      if (value.rfind("No Such", 0) == 0) continue;
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      values[line.substr(1, space - 1)] = value;
    }
    return values;
  }
  std::string Get(const std::string& oid, bool v3 = false) const {
    const auto values = Read(kSnmpget, {oid}, v3);
    const auto found = values.find(oid);
    return found == values.end() ? "" : found->second;
  }

 private:
  static bool Ended(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
  }
  static void Stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
  }

  const TempDir& dir_;
  pid_t snmpd_ = -1;
  pid_t trapd_ = -1;
  int port_ = 0;
  int trap_port_ = 0;
};

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

const std::string kRoot = "1.3.6.1.4.1.32473";
const std::string kUps = "1.3.6.1.2.1.33.1";

TEST(SnmpManagers, TablesUpsMibAndTrapsThroughSnmpdAndItsRestart) {
  if (!HaveNetSnmp())
    GTEST_SKIP() << "snmpd, snmptrapd or snmp is not installed (scripts/setup.sh)";
  if (!snmp::SnmpBuilt()) GTEST_SKIP() << "built without net-snmp's agent library";
  TempDir dir;
  Managers managers(dir);
  ASSERT_TRUE(managers.Running()) << managers.Logs();
  // The agent is set in the configuration file.
  PtyPlant plant(dir, "\"snmp\": {\"agentx\": \"" + managers.Socket() + "\"}", {});
  plant.Apply("dc-voltage 1 52.5");
  ASSERT_TRUE(WaitFor([&] { return managers.Get(kRoot + ".1.4.1.2.1.1") == "525"; }))
      << plant.Output() << managers.Logs();

  // A walk of the plant's tables: the simulator's 3 modules, battery strings
  // charging at 2, 1.5 and 0 A, the bus held at 52.5 V, 50 Hz mains.
  const auto walk = managers.Read(kSnmpwalk, {kRoot});
  const std::map<std::string, std::string> expected = {
      {".1.1.1.2.1", "plant-a"},  // korvanSystemName
      {".1.1.1.3.1", "2"},        // korvanSystemCommState: ok
      {".1.1.1.5.1", "0"},        // korvanSystemActiveAlarms
      {".1.1.1.7.1", "3"},        // korvanSystemRectifierCount
      {".1.4.1.2.1.1", "525"},    // korvanDcVoltage, decivolts
      {".1.4.1.5.1.1", "3"},      // korvanDcBatteryCount
      {".1.5.1.2.1.1.1", "20"},   // korvanBatteryCurrent, deciamperes
      {".1.5.1.2.1.1.2", "15"},  {".1.5.1.2.1.1.3", "0"},
      {".1.6.1.3.1.1", "1"},    // korvanRectifierOn of module 1
      {".1.6.1.6.1.3", "0"},    // korvanRectifierFault of module 3
      {".1.3.1.9.1.1.1", "0"},  // korvanAcChannelFrequencyAlarm
  };
  for (const auto& [oid, value] : expected) {
    const auto found = walk.find(kRoot + oid);
    ASSERT_NE(found, walk.end()) << oid << " missing from the walk of " << walk.size();
    EXPECT_EQ(found->second, value) << oid;
  }
  EXPECT_NEAR(std::stoi(walk.at(kRoot + ".1.3.1.5.1.1.1")), 5000, 100) << "centihertz";
  EXPECT_NEAR(std::stoi(walk.at(kRoot + ".1.3.1.2.1.1.1")), 2200, 300) << "decivolts";
  EXPECT_EQ(walk.count(kRoot + ".1.6.1.2.1.4"), 0u) << "no fourth module";

  // The UPS MIB as a stock template reads it, through the SNMPv3 user.
  const auto ups = managers.Read(
      kSnmpget,
      {kUps + ".1.1.0", kUps + ".1.5.0", kUps + ".2.1.0", kUps + ".2.5.0", kUps + ".2.6.0",
       kUps + ".3.2.0", kUps + ".3.3.1.2.1", kUps + ".4.1.0", kUps + ".4.4.1.2.1", kUps + ".6.1.0"},
      true);
  EXPECT_EQ(ups.at(kUps + ".1.1.0"), "KORVAN");   // upsIdentManufacturer
  EXPECT_EQ(ups.at(kUps + ".1.5.0"), "plant-a");  // upsIdentName
  EXPECT_EQ(ups.at(kUps + ".2.1.0"), "2");        // upsBatteryStatus: batteryNormal
  EXPECT_EQ(ups.at(kUps + ".2.5.0"), "525");      // upsBatteryVoltage, 0.1 V
  EXPECT_EQ(ups.at(kUps + ".2.6.0"), "35");       // upsBatteryCurrent, 0.1 A
  EXPECT_EQ(ups.at(kUps + ".3.2.0"), "3");        // upsInputNumLines
  EXPECT_NEAR(std::stoi(ups.at(kUps + ".3.3.1.2.1")), 500, 10) << "upsInputFrequency, 0.1 Hz";
  EXPECT_EQ(ups.at(kUps + ".4.1.0"), "3");       // upsOutputSource: normal
  EXPECT_EQ(ups.at(kUps + ".4.4.1.2.1"), "53");  // upsOutputVoltage, V
  EXPECT_EQ(ups.at(kUps + ".6.1.0"), "0");       // upsAlarmsPresent

  // A rectifier fault: a trap with its row's objects, the row in the table,
  // the UPS MIB's general fault; its clear, another trap and no row.
  plant.Apply("rectifier-fault 2 on");
  ASSERT_TRUE(WaitFor([&] { return Count(managers.Traps(), kRoot + ".0.1") >= 1; }))
      << managers.Logs() << plant.Output();
  const std::string raised = managers.Traps();
  EXPECT_NE(raised.find("\"rectifier module 2 fault\""), std::string::npos) << raised;
  EXPECT_NE(raised.find("\"plant-a\""), std::string::npos) << raised;
  EXPECT_TRUE(WaitFor([&] { return managers.Get(kUps + ".6.1.0") == "1"; }));
  EXPECT_EQ(managers.Get(kUps + ".6.2.1.2.1"), "." + kUps + ".6.3.18") << "upsAlarmGeneralFault";
  const auto alarms = managers.Read(kSnmpwalk, {kRoot + ".1.7"});
  EXPECT_EQ(alarms.count(kRoot + ".1.7.1.2.1"), 1u) << "korvanAlarmSystem";
  plant.Apply("rectifier-fault 2 off");
  ASSERT_TRUE(WaitFor([&] { return Count(managers.Traps(), kRoot + ".0.2") >= 1; }))
      << managers.Logs();
  EXPECT_TRUE(WaitFor([&] { return managers.Read(kSnmpwalk, {kRoot + ".1.7"}).empty(); }));

  EXPECT_TRUE(WaitFor([&] { return managers.Get(kUps + ".6.1.0") == "0"; }));

  // snmpd restarts while polling goes on: the agent says so, a fault raised
  // meanwhile is sent once snmpd is back, and the tables answer again.
  managers.StopSnmpd();
  ASSERT_TRUE(WaitFor([&] {
    return plant.Output().find("SNMP agent lost snmpd") != std::string::npos;
  })) << plant.Output();
  plant.Apply("rectifier-fault 3 on");
  managers.StartSnmpd();
  ASSERT_TRUE(managers.Running()) << managers.Logs();
  EXPECT_TRUE(WaitFor([&] { return Count(managers.Traps(), kRoot + ".0.1") >= 2; }))
      << managers.Logs() << plant.Output();
  EXPECT_NE(managers.Traps().find("\"rectifier module 3 fault\""), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return managers.Get(kRoot + ".1.1.1.5.1") == "1"; })) << plant.Output();
  EXPECT_EQ(Count(plant.Output(), "SNMP agent registered with snmpd"), 2u) << plant.Output();

  // A silent line: communication lost, then restored, each a notification;
  // the UPS MIB says so meanwhile.
  plant.Apply("silent on");
  ASSERT_TRUE(WaitFor([&] { return Count(managers.Traps(), kRoot + ".0.3") == 1; }))
      << plant.Output();
  EXPECT_EQ(managers.Get(kRoot + ".1.1.1.3.1"), "3") << "korvanSystemCommState: lost";
  EXPECT_EQ(managers.Get(kUps + ".2.1.0"), "1") << "upsBatteryStatus: unknown";
  EXPECT_EQ(managers.Get(kUps + ".2.5.0"), "") << "no stale voltage";
  plant.Apply("silent off");
  EXPECT_TRUE(WaitFor([&] { return Count(managers.Traps(), kRoot + ".0.4") == 1; }))
      << plant.Output();
  EXPECT_TRUE(WaitFor([&] { return managers.Get(kRoot + ".1.1.1.3.1") == "2"; }));
}

TEST(SnmpManagers, TheMibLoadsInNetSnmpsParser) {
  if (!HaveNetSnmp()) GTEST_SKIP() << "snmp is not installed (scripts/setup.sh)";
  TempDir dir;
  // The IETF's base modules are not in Debian's main archive: stand-ins of
  // what the module imports, unless the real ones are installed.
  std::string path =
      std::string(KORVAN_SOURCE_DIR) + "/snmp/mibs:" + KORVAN_SOURCE_DIR + "/tests/data/snmp-base";
  const bool ietf = access("/usr/share/snmp/mibs/ietf/SNMPv2-SMI", R_OK) == 0;
  if (ietf) path = std::string(KORVAN_SOURCE_DIR) + "/snmp/mibs:/usr/share/snmp/mibs/ietf";
  const ToolRun run =
      RunTool(dir,
              {kSnmptranslate, "-M", path, "-m", "KORVAN-POWER-MIB", "-Pw", "-On",
               "KORVAN-POWER-MIB::korvanBatteryCurrent", "KORVAN-POWER-MIB::korvanAlarmCleared"},
              SnmpEnv(dir));
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.errors, "") << "no warning";
  EXPECT_EQ(run.output, "." + kRoot + ".1.5.1.2\n\n." + kRoot + ".0.2\n");
  if (ietf && access("/usr/bin/smilint", X_OK) == 0) {
    const ToolRun lint =
        RunTool(dir,
                {"/usr/bin/smilint", "-l", "3", "-p", "/usr/share/snmp/mibs/ietf/SNMPv2-SMI",
                 std::string(KORVAN_SOURCE_DIR) + "/snmp/mibs/KORVAN-POWER-MIB.txt"},
                SnmpEnv(dir));
    EXPECT_EQ(lint.output + lint.errors, "");
  }
}

}  // namespace
