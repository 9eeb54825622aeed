// The NUT network server: its line parser, users file and status derivation,
// the protocol's replies without sockets, and the server against Debian's own
// NUT clients (upsc, upsrw, upscmd, upsmon) with a simulated plant.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nut/nut_line.h"
#include "nut/nut_protocol.h"
#include "nut/nut_server.h"
#include "nut/nut_users.h"
#include "nut/ups_view.h"
#include "records/vocabulary.h"
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"
#include "tests/support/pty_plant.h"
#include "tests/support/spawn_host.h"
#include "tests/support/temp_dir.h"

namespace {

// ---------------------------------------------------------------------------
// Words of a line

TEST(NutLine, SplitsQuotedAndEscapedWords) {
  struct Case {
    std::string line;
    std::vector<std::string> words;  // empty with `error` for a refused line
    std::string error;
  };
  const std::vector<Case> cases{
      {"LIST VAR ups", {"LIST", "VAR", "ups"}, ""},
      {"  GET\tVAR  ups  x \r", {"GET", "VAR", "ups", "x"}, ""},
      {R"(SET VAR ups ups.id "a b \"c\" \\d")",
       {"SET", "VAR", "ups", "ups.id", R"(a b "c" \d)"},
       ""},
      {R"(PASSWORD "")", {"PASSWORD", ""}, ""},
      {R"(PASSWORD p\ w)", {"PASSWORD", "p w"}, ""},
      {R"(USERNAME "half)", {}, "unclosed quote"},
      {"USERNAME x\\", {}, "backslash at the end of the line"},
      {std::string(nut::kMaxLineLength + 1, 'a'), {}, "line too long"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_EQ(nut::SplitWords(c.line, words, error), c.error.empty()) << c.line;
    EXPECT_EQ(error, c.error) << c.line;
    if (c.error.empty()) {
      EXPECT_EQ(words, c.words) << c.line;
    }
  }
  std::string many;
  for (std::size_t k = 0; k <= nut::kMaxWords; ++k) many += "w ";
  std::vector<std::string> words;
  std::string error;
  EXPECT_FALSE(nut::SplitWords(many, words, error));
  // What Quoted writes, SplitWords reads back; a line break cannot end a reply.
  for (const std::string value : {"plain", "a \"b\" \\c", "", "two\nlines"}) {
    ASSERT_TRUE(nut::SplitWords("VAR " + nut::Quoted(value), words, error)) << value;
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[1], value == "two\nlines" ? "two lines" : value);
  }
}

// ---------------------------------------------------------------------------
// Users file

TEST(NutUsers, ReadsUpsdUsersFormAndRefusesOthers) {
  nut::NutUsers users;
  std::string error;
  ASSERT_TRUE(
      users.Parse("# upsd.users\n"
                  "[admin]\n"
                  "  password = \"s3cret # not a comment\"\n"
                  "  actions = SET fsd\n"
                  "  instcmds = ALL\n"
                  "  upsmon master   # the old name\n"
                  "[watcher]\n"
                  "  password=pw\n"
                  "  upsmon slave\n"
                  "[reader]\n  password = r\n",
                  error))
      << error;
  const nut::NutUser* admin = users.Check("admin", "s3cret # not a comment");
  ASSERT_NE(admin, nullptr);
  EXPECT_EQ(admin->upsmon, "primary");
  EXPECT_EQ(admin->actions, (std::set<std::string>{"SET", "FSD"}));
  EXPECT_EQ(admin->instcmds, (std::set<std::string>{"ALL"}));
  ASSERT_NE(users.Check("watcher", "pw"), nullptr);
  EXPECT_EQ(users.Check("watcher", "pw")->upsmon, "secondary");
  EXPECT_EQ(users.Check("reader", "r")->upsmon, "");
  EXPECT_EQ(users.Check("admin", "s3cret"), nullptr);
  EXPECT_EQ(users.Check("admin", ""), nullptr);
  EXPECT_EQ(users.Check("nobody", "pw"), nullptr);

  const std::vector<std::pair<std::string, std::string>> refused{
      {"", "no [user] in it"},
      {"password = x\n", "line 1: \"password\" before the first [user]"},
      {"[a]\n  upsmon = primary\n", "user a has no password"},
      {"[a]\n password = x\n upsmon boss\n", "line 3: upsmon takes primary or secondary, not boss"},
      {"[a]\n password = x\n[a]\n password = y\n", "line 3: user a given twice"},
      {"[a]\n password = x\n allowfrom = all\n",
       "line 3: expected password, upsmon, actions or instcmds, not \" allowfrom = all\""},
      {"[a]\n password = \"x\n", "line 2: unclosed quote"},
  };
  for (const auto& [text, why] : refused) {
    EXPECT_FALSE(users.Parse(text, error)) << text;
    EXPECT_EQ(error, why) << text;
    EXPECT_TRUE(users.Empty()) << "a refused file leaves no user: " << text;
  }
}

// ---------------------------------------------------------------------------
// ups.status

std::vector<vocabulary::NamedValue> Values(const std::map<std::string, double>& values) {
  std::vector<vocabulary::NamedValue> out;
  for (const auto& [name, value] : values) out.push_back({name, value, nullptr, 0, 0});
  return out;
}

TEST(NutStatus, DerivesFromTheInputPhasesBatteriesAndAlarms) {
  const std::string l1 = "ac.1.channel.1.L1-N.voltage.alarm";
  const std::string l2 = "ac.1.channel.1.L2-N.voltage.alarm";
  const std::string other = "ac.2.channel.3.L1-N.voltage.alarm";
  struct Case {
    std::map<std::string, double> values;
    bool alarms, fsd;
    double low_battery;
    std::string status;
  };
  const std::vector<Case> cases{
      // Mains present: a phase normal or too high.
      {{{l1, 0}, {"battery.current", 3.5}, {"battery.voltage", 53.5}}, false, false, 47, "OL CHRG"},
      {{{l1, 2}, {l2, 3}}, false, false, 0, "OL"},
      // A phase missing, another too low: no input at all.
      {{{l1, 3}, {l2, 1}, {"battery.current", -14}}, false, false, 0, "OB DISCHRG"},
      // One channel of a second unit still fed.
      {{{l1, 3}, {other, 0}}, false, false, 0, "OL"},
      // Low battery: under the configured level, or the plant's own alarms.
      {{{l1, 3}, {"battery.current", -14}, {"battery.voltage", 46.9}},
       false,
       false,
       47,
       "OB DISCHRG LB"},
      {{{l1, 3}, {"battery.voltage", 46.9}}, false, false, 0, "OB"},
      {{{l1, 3}, {"dc.2.output.voltage.alarm", 1}}, false, false, 0, "OB LB"},
      {{{l1, 3}, {"dc.1.output.voltage.alarm", 2}}, false, false, 0, "OB"},
      {{{l1, 0}, {"dc.1.lvd.1.alarm", 1}}, true, false, 0, "OL LB ALARM"},
      // Forced shutdown leads; charging is not claimed on battery.
      {{{l1, 1}, {"battery.current", 1}}, false, true, 0, "FSD OB"},
      // Without AC records, neither OL nor OB.
      {{{"battery.current", -2}}, true, false, 0, "DISCHRG ALARM"},
      {{}, false, false, 0, ""},
  };
  for (const Case& c : cases) {
    nut::UpsSettings settings;
    settings.low_battery = c.low_battery;
    EXPECT_EQ(nut::UpsStatus(Values(c.values), c.alarms, c.fsd, settings), c.status)
        << ::testing::PrintToString(c.values);
  }
}

// ---------------------------------------------------------------------------
// The protocol without sockets

class FixedSource : public nut::UpsSource {
 public:
  std::vector<std::string> Names() const override { return {"plant", "lost"}; }
  std::optional<nut::UpsView> Find(const std::string& name, bool fsd) const override {
    if (name != "plant" && name != "lost") return std::nullopt;
    nut::UpsView view;
    view.name = name;
    view.description = "KORVAN DC power system " + name;
    view.stale = name == "lost";
    view.variables = {{"device.type", "ups"},
                      {"ups.status", fsd ? "FSD OL" : "OL"},
                      {"battery.voltage", "53.5"},
                      {"dc.1.battery.2.current", "-1.5"}};
    return view;
  }
};

struct Exchange {
  std::string request;
  std::string reply;
};

// Runs `exchanges` on one session, each request's whole reply compared.
void Converse(nut::ServerShared& shared, const std::string& title,
              const std::vector<Exchange>& exchanges, bool loopback = true, std::uint64_t id = 1) {
  nut::Session session(shared, id, loopback ? "127.0.0.1" : "192.0.2.7", loopback);
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ(session.Handle(exchange.request), exchange.reply)
        << title << ": " << exchange.request;
  }
}

class NutProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(
        users_.Parse("[admin]\n password = s3cret\n upsmon primary\n actions = SET\n"
                     " instcmds = test.battery.start\n"
                     "[mon]\n password = pw\n upsmon secondary\n"
                     "[ops]\n password = o\n actions = FSD\n",
                     error))
        << error;
    shared_.source = &source_;
    shared_.users = &users_;
    shared_.version_text = "korvan-host test";
  }
  FixedSource source_;
  nut::NutUsers users_;
  nut::ServerShared shared_;
};

TEST_F(NutProtocol, ReadsListsAndRefusesWithTheProtocolsErrors) {
  Converse(
      shared_, "reading on loopback",
      {
          {"VER", "korvan-host test\n"},
          {"NETVER", "1.3\n"},
          {"help",
           "Commands: HELP VER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD STARTTLS\n"},
          {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
          {"LIST UPS",
           "BEGIN LIST UPS\nUPS plant \"KORVAN DC power system plant\"\n"
           "UPS lost \"KORVAN DC power system lost\"\nEND LIST UPS\n"},
          {"LIST VAR plant",
           "BEGIN LIST VAR plant\nVAR plant device.type \"ups\"\nVAR plant ups.status \"OL\"\n"
           "VAR plant battery.voltage \"53.5\"\nVAR plant dc.1.battery.2.current \"-1.5\"\n"
           "END LIST VAR plant\n"},
          {"GET VAR plant battery.voltage", "VAR plant battery.voltage \"53.5\"\n"},
          {"GET VAR \"plant\" ups.status", "VAR plant ups.status \"OL\"\n"},
          {"GET VAR plant battery.charge", "ERR VAR-NOT-SUPPORTED\n"},
          {"GET VAR other battery.voltage", "ERR UNKNOWN-UPS\n"},
          {"GET VAR lost battery.voltage", "ERR DATA-STALE\n"},
          {"LIST VAR lost", "ERR DATA-STALE\n"},
          {"GET TYPE plant battery.voltage", "TYPE plant battery.voltage NUMBER\n"},
          {"GET TYPE plant device.type", "TYPE plant device.type STRING:3\n"},
          {"GET DESC plant dc.1.battery.2.current",
           "DESC plant dc.1.battery.2.current \"current of battery 2, positive while charging, "
           "negative while discharging (A)\"\n"},
          {"GET DESC plant ups.status",
           "DESC plant ups.status \"Status: OL on line, OB on battery, DISCHRG, CHRG, LB low "
           "battery, ALARM, FSD\"\n"},
          {"GET UPSDESC plant", "UPSDESC plant \"KORVAN DC power system plant\"\n"},
          {"GET NUMLOGINS plant", "NUMLOGINS plant 0\n"},
          {"GET CMDDESC plant test.battery.start", "ERR CMD-NOT-SUPPORTED\n"},
          {"LIST RW plant", "BEGIN LIST RW plant\nEND LIST RW plant\n"},
          {"LIST CMD plant", "BEGIN LIST CMD plant\nEND LIST CMD plant\n"},
          {"LIST ENUM plant ups.status",
           "BEGIN LIST ENUM plant ups.status\nEND LIST ENUM plant ups.status\n"},
          {"LIST RANGE plant battery.voltage",
           "BEGIN LIST RANGE plant battery.voltage\nEND LIST RANGE plant battery.voltage\n"},
          {"LIST RANGE plant nothing", "ERR VAR-NOT-SUPPORTED\n"},
          {"LIST CLIENT nope", "ERR UNKNOWN-UPS\n"},
          {"LIST", "ERR INVALID-ARGUMENT\n"},
          {"LIST VAR", "ERR INVALID-ARGUMENT\n"},
          {"GET VAR plant", "ERR INVALID-ARGUMENT\n"},
          {"FROB plant", "ERR UNKNOWN-COMMAND\n"},
          {"", "ERR UNKNOWN-COMMAND\n"},
          {"GET VAR \"plant", "ERR INVALID-ARGUMENT\n"},
          {std::string(nut::kMaxLineLength + 1, 'x'), "ERR TOO-LONG\n"},
          // Writing and commands need a user, and then are refused.
          {"SET VAR plant battery.voltage 50", "ERR ACCESS-DENIED\n"},
          {"INSTCMD plant test.battery.start", "ERR ACCESS-DENIED\n"},
          {"LOGIN plant", "ERR USERNAME-REQUIRED\n"},
          {"FSD plant", "ERR ACCESS-DENIED\n"},
          {"LOGOUT", "OK Goodbye\n"},
      });
  // From another host nothing is read without a user's credentials.
  Converse(shared_, "reading from another host",
           {
               {"VER", "korvan-host test\n"},
               {"LIST UPS", "ERR ACCESS-DENIED\n"},
               {"GET VAR plant battery.voltage", "ERR ACCESS-DENIED\n"},
               {"USERNAME mon", "OK\n"},
               {"PASSWORD wrong", "OK\n"},
               {"GET VAR plant battery.voltage", "ERR ACCESS-DENIED\n"},
               {"PASSWORD pw", "ERR ALREADY-SET-PASSWORD\n"},
           },
           false);
  Converse(shared_, "an authenticated remote reader",
           {
               {"USERNAME mon", "OK\n"},
               {"PASSWORD pw", "OK\n"},
               {"GET VAR plant battery.voltage", "VAR plant battery.voltage \"53.5\"\n"},
               {"SET VAR plant battery.voltage 50", "ERR ACCESS-DENIED\n"},
               {"INSTCMD plant test.battery.start", "ERR ACCESS-DENIED\n"},
               {"PRIMARY plant", "ERR ACCESS-DENIED\n"},
               {"FSD plant", "ERR ACCESS-DENIED\n"},
           },
           false);
}

TEST_F(NutProtocol, LoginsPrimaryAndForcedShutdown) {
  // Sessions that live side by side, as upsmon's connections do.
  nut::Session primary(shared_, 1, "127.0.0.1", true);
  nut::Session secondary(shared_, 2, "192.0.2.9", false);
  const std::vector<std::pair<nut::Session*, Exchange>> steps{
      {&primary, {"LOGIN plant", "ERR USERNAME-REQUIRED\n"}},
      {&primary, {"USERNAME admin", "OK\n"}},
      {&primary, {"USERNAME admin", "ERR ALREADY-SET-USERNAME\n"}},
      {&primary, {"LOGIN plant", "ERR PASSWORD-REQUIRED\n"}},
      {&primary, {"PASSWORD s3cret", "OK\n"}},
      {&primary, {"LOGIN nope", "ERR UNKNOWN-UPS\n"}},
      {&primary, {"LOGIN plant", "OK\n"}},
      {&primary, {"LOGIN plant", "ERR ALREADY-LOGGED-IN\n"}},
      {&primary, {"PRIMARY plant", "OK PRIMARY-GRANTED\n"}},
      {&primary, {"MASTER plant", "OK MASTER-GRANTED\n"}},
      {&primary, {"SET VAR plant battery.voltage 50", "ERR READONLY\n"}},
      {&primary, {"SET VAR plant battery.charge 50", "ERR VAR-NOT-SUPPORTED\n"}},
      {&primary, {"SET VAR nope battery.voltage 50", "ERR UNKNOWN-UPS\n"}},
      {&primary, {"SET TRACKING ON", "ERR INVALID-ARGUMENT\n"}},
      {&primary, {"INSTCMD plant test.battery.start", "ERR CMD-NOT-SUPPORTED\n"}},
      {&primary, {"INSTCMD plant shutdown.return", "ERR ACCESS-DENIED\n"}},
      {&secondary, {"USERNAME mon", "OK\n"}},
      {&secondary, {"PASSWORD pw", "OK\n"}},
      {&secondary, {"LOGIN plant", "OK\n"}},
      {&secondary, {"MASTER plant", "ERR ACCESS-DENIED\n"}},
      {&secondary, {"GET NUMLOGINS plant", "NUMLOGINS plant 2\n"}},
      {&secondary,
       {"LIST CLIENT plant",
        "BEGIN LIST CLIENT plant\nCLIENT plant 127.0.0.1\nCLIENT plant 192.0.2.9\n"
        "END LIST CLIENT plant\n"}},
      {&primary, {"FSD plant", "OK FSD-SET\n"}},
      // Every connection sees it, and only on that UPS.
      {&secondary, {"GET VAR plant ups.status", "VAR plant ups.status \"FSD OL\"\n"}},
      {&secondary, {"LOGOUT", "OK Goodbye\n"}},
      {&primary, {"GET NUMLOGINS plant", "NUMLOGINS plant 1\n"}},
  };
  for (const auto& [session, exchange] : steps) {
    EXPECT_EQ(session->Handle(exchange.request), exchange.reply) << exchange.request;
  }
  EXPECT_TRUE(secondary.Closing());
  EXPECT_FALSE(primary.Closing());
  EXPECT_EQ(shared_.forced_shutdown, (std::set<std::string>{"plant"}));
  // A user with the FSD action may set it too; a closed connection logs out.
  {
    nut::Session ops(shared_, 3, "127.0.0.1", true);
    for (const char* line : {"USERNAME ops", "PASSWORD o", "LOGIN lost"}) ops.Handle(line);
    EXPECT_EQ(ops.Handle("FSD lost"), "OK FSD-SET\n");
    EXPECT_EQ(ops.Handle("GET NUMLOGINS lost"), "NUMLOGINS lost 1\n");
  }
  EXPECT_EQ(primary.Handle("GET NUMLOGINS lost"), "NUMLOGINS lost 0\n");
  // Without a users file nobody logs in.
  nut::ServerShared open = shared_;
  open.users = nullptr;
  Converse(open, "no users file",
           {{"USERNAME admin", "OK\n"},
            {"PASSWORD s3cret", "OK\n"},
            {"LOGIN plant", "ERR ACCESS-DENIED\n"},
            {"PRIMARY plant", "ERR ACCESS-DENIED\n"}});
}

// ---------------------------------------------------------------------------
// Against Debian's NUT clients

constexpr char kUpsc[] = "/usr/bin/upsc";
constexpr char kUpsrw[] = "/usr/bin/upsrw";
constexpr char kUpscmd[] = "/usr/bin/upscmd";
constexpr char kUpsmon[] = "/lib/nut/upsmon";

// A simulated plant on a pseudo-terminal, polled by korvan-host with its NUT
// server on a free loopback port.
class NutPlant {
 public:
  NutPlant()
      : users_(dir_.Write("upsd.users",
                          "[admin]\n password = s3cret\n upsmon primary\n"
                          " actions = SET\n instcmds = ALL\n"
                          "[mon]\n password = \"p-w\"\n upsmon secondary\n")),
        plant_(dir_, "\"nut\": {\"low_battery\": 47}",
               {"--nut", "127.0.0.1:0", "--nut-users-file", users_}) {
    static const std::regex listening(R"(NUT server listening on 127\.0\.0\.1:(\d+))");
    WaitFor([&] {
      if (plant_.Ended()) return true;  // no server
      std::smatch match;
      const std::string out = ReadFile(dir_.File("out"));
      if (!std::regex_search(out, match, listening)) return false;
      port_ = std::stoi(match[1]);
      return true;
    });
  }

  void Apply(const std::string& command) { plant_.Apply(command); }
  std::string Ups() const { return "plant-a@127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }
  const TempDir& Dir() const { return dir_; }
  std::string Output() const { return plant_.Output(); }
  // upsc's value of `variable`, "" when it has none (or an error).
  std::string Upsc(const std::string& variable) const {
    const ToolRun run = RunTool(dir_, {kUpsc, Ups(), variable});
    std::string value = run.code == 0 ? run.output : "";
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
  }
  // One request on a connection of its own; the reply's first line.
  std::string Ask(const std::string& request) const {
    const int fd = ConnectLoopback(port_);
    if (fd < 0) return "";
    std::string reply;
    if (SendAll(fd, request + "\n")) {
      char byte;
      while (recv(fd, &byte, 1, 0) == 1 && byte != '\n') reply += byte;
    }
    close(fd);
    return reply;
  }

 private:
  TempDir dir_;
  std::string users_;
  PtyPlant plant_;
  int port_ = 0;
};

// Sends `request` on `fd` and reads the reply's first line; "" when the
// server closed the connection instead.
std::string Converse(int fd, const std::string& request) {
  std::string reply;
  if (fd < 0 || !SendAll(fd, request + "\n")) return reply;
  char byte;
  while (recv(fd, &byte, 1, 0) == 1 && byte != '\n') reply += byte;
  return reply;
}

bool HaveClients() {
  return access(kUpsc, X_OK) == 0 && access(kUpsmon, X_OK) == 0;
}

TEST(NutClients, UpscReadsThePlantAndRefusalsReachTheClients) {
  if (!HaveClients()) GTEST_SKIP() << "nut-client is not installed (scripts/setup.sh)";
  NutPlant plant;
  ASSERT_NE(plant.Port(), 0) << plant.Output();
  plant.Apply("dc-voltage 1 52.5");
  ASSERT_TRUE(WaitFor([&] { return plant.Upsc("battery.voltage") == "52.5"; }))
      << plant.Upsc("battery.voltage") << "\n"
      << plant.Output();

  const ToolRun list =
      RunTool(plant.Dir(), {kUpsc, "-l", "127.0.0.1:" + std::to_string(plant.Port())});
  EXPECT_EQ(list.code, 0);
  EXPECT_NE(list.output.find("plant-a\n"), std::string::npos) << list.output;

  const ToolRun all = RunTool(plant.Dir(), {kUpsc, plant.Ups()});
  ASSERT_EQ(all.code, 0) << all.errors;
  std::map<std::string, std::string> vars;
  std::istringstream lines(all.output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) vars[line.substr(0, colon)] = line.substr(colon + 2);
  }
  // The simulator's values: 3 rectifier modules, battery strings charging at
  // 2, 1.5 and 0 A, the bus held at 52.5 V, 50 Hz mains.
  EXPECT_EQ(vars["device.mfr"], "KORVAN");
  EXPECT_EQ(vars["device.type"], "ups");
  EXPECT_EQ(vars["driver.name"], "korvan-host");
  EXPECT_EQ(vars["ups.status"], "OL CHRG");
  EXPECT_EQ(vars["battery.voltage.low"], "47");
  EXPECT_EQ(vars["output.voltage"], "52.5");
  EXPECT_EQ(vars["battery.current"], "3.5");
  EXPECT_EQ(vars["dc.1.battery.2.current"], "1.5");
  EXPECT_EQ(vars["rectifier.count"], "3");
  EXPECT_EQ(vars.count("battery.charge"), 0u) << "not derivable, so left out";
  EXPECT_NEAR(std::stod(vars["input.frequency"]), 50, 1) << all.output;
  EXPECT_NEAR(std::stod(vars["input.L1-N.voltage"]), 220, 30) << all.output;
  EXPECT_EQ(vars["input.voltage"], vars["input.L1-N.voltage"]);
  EXPECT_EQ(vars.size(), std::size_t(std::count(all.output.begin(), all.output.end(), '\n')))
      << "every line a variable";
  // Units are in the descriptions.
  EXPECT_EQ(plant.Ask("GET DESC plant-a battery.voltage"),
            "DESC plant-a battery.voltage \"battery voltage: the DC bus voltage on which the "
            "batteries float (first DC unit) (V)\"");

  // upsrw and upscmd: refused for wrong credentials, then by the protocol.
  const ToolRun set = RunTool(plant.Dir(), {kUpsrw, "-s", "battery.voltage.low=40", "-u", "admin",
                                            "-p", "s3cret", plant.Ups()});
  EXPECT_NE(set.code, 0);
  EXPECT_NE(set.errors.find("ERR READONLY"), std::string::npos) << set.errors;
  const ToolRun wrong = RunTool(plant.Dir(), {kUpsrw, "-s", "battery.voltage.low=40", "-u", "admin",
                                              "-p", "S3cret", plant.Ups()});
  EXPECT_NE(wrong.code, 0);
  EXPECT_NE(wrong.errors.find("ERR ACCESS-DENIED"), std::string::npos) << wrong.errors;
  const ToolRun command = RunTool(
      plant.Dir(), {kUpscmd, "-u", "admin", "-p", "s3cret", plant.Ups(), "test.battery.start"});
  EXPECT_NE(command.code, 0);
  EXPECT_NE(command.errors.find("ERR CMD-NOT-SUPPORTED"), std::string::npos) << command.errors;
  const ToolRun stranger =
      RunTool(plant.Dir(), {kUpscmd, "-u", "mon", "-p", "p-w", plant.Ups(), "test.battery.start"});
  EXPECT_NE(stranger.errors.find("ERR ACCESS-DENIED"), std::string::npos) << stranger.errors;
  const ToolRun commands = RunTool(plant.Dir(), {kUpscmd, "-l", plant.Ups()});
  EXPECT_EQ(commands.code, 0) << commands.output;

  // A silent line: stale data, then values again once it answers.
  plant.Apply("silent on");
  EXPECT_TRUE(WaitFor([&] {
    return plant.Ask("GET VAR plant-a battery.voltage") == "ERR DATA-STALE";
  })) << plant.Output();
  const ToolRun stale = RunTool(plant.Dir(), {kUpsc, plant.Ups(), "ups.status"});
  EXPECT_NE(stale.code, 0);
  EXPECT_NE(stale.errors.find("Data stale"), std::string::npos) << stale.errors;
  plant.Apply("silent off");
  EXPECT_TRUE(WaitFor([&] { return plant.Upsc("battery.voltage") == "52.5"; })) << plant.Output();

  // Bounds: an over-long line is refused and its connection closed; one
  // address holds at most kMaxConnectionsPerAddress connections, and the
  // ones it holds are still answered.
  EXPECT_EQ(plant.Ask(std::string(nut::kMaxLineLength + 10, 'x')), "ERR TOO-LONG");
  std::vector<int> held;
  for (int k = 0; k < nut::kMaxConnectionsPerAddress; ++k) {
    held.push_back(ConnectLoopback(plant.Port()));
    EXPECT_EQ(Converse(held.back(), "VER").rfind("korvan-host ", 0), 0u) << k;
  }
  const int extra = ConnectLoopback(plant.Port());
  EXPECT_EQ(Converse(extra, "VER"), "") << "the server closes a connection over the bound";
  close(extra);
  EXPECT_EQ(Converse(held.front(), "NETVER"), "1.3");
  for (const int fd : held) close(fd);
  EXPECT_TRUE(WaitFor([&] { return plant.Ask("NETVER") == "1.3"; }));

  // Pipelined requests whose replies pass the point where reading pauses
  // (kReadPauseBytes) are all answered once the client reads.
  const int fd = ConnectLoopback(plant.Port());
  std::string requests;
  constexpr int kRequests = 40;  // about 4 kB of reply each
  for (int k = 0; k < kRequests; ++k) requests += "LIST VAR plant-a\n";
  ASSERT_TRUE(SendAll(fd, requests));
  std::string replies;
  int ends = 0;
  const std::string end = "END LIST VAR plant-a\n";
  pollfd ready{fd, POLLIN, 0};
  char buffer[8192];
  while (ends < kRequests && poll(&ready, 1, 60000) == 1) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    replies.append(buffer, static_cast<std::size_t>(got));
    ends = 0;
    for (std::size_t at = replies.find(end); at != std::string::npos;
         at = replies.find(end, at + 1)) {
      ++ends;
    }
  }
  close(fd);
  EXPECT_EQ(ends, kRequests) << replies.size() << " bytes";
  EXPECT_GT(replies.size(), nut::kReadPauseBytes);
}

// upsmon's configuration: one MONITOR line, a stub shutdown command that
// writes `mark`, and short intervals.
std::string UpsmonConf(const TempDir& dir, const std::string& name, const std::string& monitor,
                       const std::string& mark) {
  return dir.Write(name + "/upsmon.conf",
                   "MONITOR " + monitor + "\n" +
                       "MINSUPPLIES 1\n"
                       "SHUTDOWNCMD \"/bin/sh -c 'echo down > " +
                       mark + "'\"\n" + "POWERDOWNFLAG " + dir.File(name + "/killpower") + "\n" +
                       "POLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 60\nDEADTIME 600\n"
                       "FINALDELAY 0\nRBWARNTIME 43200\nNOCOMMWARNTIME 300\n");
}

// upsmon keeps its PID file at a path fixed when it was built, and refuses
// to start beside another: each one runs in a mount namespace of its own
// with a private /run, so that a primary and a secondary run side by side
// and neither touches this machine's /run.
std::vector<std::string> InOwnRun(const std::vector<std::string>& argv) {
  std::string command = "mount -t tmpfs tmpfs /run && mkdir /run/nut && exec";
  for (const std::string& arg : argv) command += " '" + arg + "'";
  std::vector<std::string> wrapped{"/usr/bin/unshare", "--mount"};
  if (geteuid() != 0) wrapped.push_back("--map-root-user");
  wrapped.insert(wrapped.end(), {"/bin/sh", "-c", command});
  return wrapped;
}

TEST(NutClients, UpsmonShutsDownSecondaryThenPrimaryOnLowBattery) {
  if (!HaveClients()) GTEST_SKIP() << "nut-client is not installed (scripts/setup.sh)";
  {
    TempDir probe;
    const ToolRun own_run = RunTool(probe, InOwnRun({"/bin/true"}));
    if (own_run.code != 0) GTEST_SKIP() << "no mount namespace for upsmon: " << own_run.errors;
  }
  NutPlant plant;
  ASSERT_NE(plant.Port(), 0) << plant.Output();
  ASSERT_TRUE(WaitFor([&] { return plant.Upsc("ups.status") == "OL CHRG"; })) << plant.Output();

  const TempDir& dir = plant.Dir();
  Children monitors;
  std::map<std::string, std::string> marks;
  for (const auto& [name, login] : std::vector<std::pair<std::string, std::string>>{
           {"secondary", "mon p-w secondary"}, {"primary", "admin s3cret primary"}}) {
    std::filesystem::create_directories(dir.File(name));
    marks[name] = dir.File(name + "/shutdown");
    UpsmonConf(dir, name, plant.Ups() + " 1 " + login, marks[name]);
    const std::string here = dir.File(name);
    // -p: one privileged process; -D: in the foreground, with its log.
    monitors.pids.push_back(StartProcess(InOwnRun({kUpsmon, "-p", "-D"}),
                                  {"PATH=/usr/bin:/bin", "NUT_CONFPATH=" + here},
                                  dir.File(name + "/log")));
  }
  const auto logs = [&] {
    return "primary:\n" + ReadFile(dir.File("primary/log")) + "secondary:\n" +
           ReadFile(dir.File("secondary/log"));
  };
  ASSERT_TRUE(WaitFor([&] { return plant.Ask("GET NUMLOGINS plant-a") == "NUMLOGINS plant-a 2"; }))
      << logs();

  plant.Apply("mains-failure on");
  // The AC units' alarms add ALARM.
  EXPECT_TRUE(WaitFor([&] { return plant.Upsc("ups.status") == "OB DISCHRG ALARM"; }))
      << plant.Upsc("ups.status");
  EXPECT_NE(access(marks["primary"].c_str(), F_OK), 0) << "no shutdown on battery alone";
  EXPECT_NE(access(marks["secondary"].c_str(), F_OK), 0) << "no shutdown on battery alone";
  // The bus voltage falls under the low-battery level of 47 V.
  plant.Apply("dc-voltage 1 46.5");
  EXPECT_TRUE(WaitFor([&] {
    return access(marks["secondary"].c_str(), F_OK) == 0 &&
           access(marks["primary"].c_str(), F_OK) == 0;
  })) << logs();
  EXPECT_EQ(plant.Upsc("ups.status"), "FSD OB DISCHRG LB ALARM");
  // The secondary saw FSD set by the primary, which waited for it to log out.
  EXPECT_NE(ReadFile(dir.File("secondary/log")).find("forced shutdown in progress"),
            std::string::npos)
      << logs();
}

}  // namespace
