// The power-system simulator: its replies decoded against the wire layouts
// by the small readers below (not by the plug-in's parsers), its data flags,
// injected conditions, error answers, commands and scenario files.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/pmbus_frame.h"
#include "host/termios_port.h"
#include "sim/commands.h"
#include "sim/pty_port.h"
#include "sim/scenario.h"
#include "sim/sim_server.h"
#include "sim/simulator.h"

namespace {

using pmbus_frame::Decoder;
using pmbus_frame::Frame;

// Reads an INFO field front to back; every read is checked against its end.
class Info {
 public:
  explicit Info(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::uint8_t U8() {
    if (at_ >= bytes_.size()) {
      overran_ = true;
      return 0;
    }
    return bytes_[at_++];
  }
  float Float() {
    std::uint32_t bits = 0;
    for (int shift = 0; shift < 32; shift += 8) bits |= static_cast<std::uint32_t>(U8()) << shift;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(U8());
    return out;
  }
  // All bytes read, none missing.
  bool Exhausted() const { return !overran_ && at_ == bytes_.size(); }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t at_ = 0;
  bool overran_ = false;
};

struct AcChannelValues {
  float a, b, c, f;
};
struct AcUnitValues {
  std::vector<AcChannelValues> channels;
  float ia, ib, ic;
};
// 40h/41h: flag, unit count, per unit n, per channel a b c f P, then ia ib ic.
std::vector<AcUnitValues> ReadAcAnalog(Info& info, std::uint8_t& flag) {
  flag = info.U8();
  std::vector<AcUnitValues> units(info.U8());
  for (AcUnitValues& unit : units) {
    unit.channels.resize(info.U8());
    for (AcChannelValues& channel : unit.channels) {
      channel = {info.Float(), info.Float(), info.Float(), info.Float()};
      const std::uint8_t p = info.U8();
      info.Bytes(4u * p);
    }
    unit.ia = info.Float();
    unit.ib = info.Float();
    unit.ic = info.Float();
  }
  return units;
}

struct AcUnitAlarms {
  std::vector<std::vector<std::uint8_t>> channels;  // a, b, c, f states
  std::vector<std::uint8_t> currents;               // ia, ib, ic states
};
// 40h/44h: flag, unit count, per unit n, per channel 4 states m (m bytes) P
// (P bytes), then 3 current states.
std::vector<AcUnitAlarms> ReadAcAlarms(Info& info, std::uint8_t& flag) {
  flag = info.U8();
  std::vector<AcUnitAlarms> units(info.U8());
  for (AcUnitAlarms& unit : units) {
    unit.channels.resize(info.U8());
    for (auto& states : unit.channels) {
      states = info.Bytes(4);
      info.Bytes(info.U8());
      EXPECT_EQ(info.Bytes(info.U8()).size(), 3u);
    }
    unit.currents = info.Bytes(3);
  }
  return units;
}

struct Module {
  float current = 0;
  std::uint8_t on_off = 0, fault = 0;
};

// One simulated system and a line to it at the frame level.
struct Bench {
  explicit Bench(SystemConfig config = SystemConfig()) : sim(config, false) {}

  // Sends one request and decodes what comes back.
  std::vector<Decoder::Result> Ask(const std::string& wire) {
    std::string out;
    sim.Receive(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), out);
    std::vector<Decoder::Result> results;
    const auto* data = reinterpret_cast<const unsigned char*>(out.data());
    std::size_t left = out.size();
    Decoder::Result result;
    while (decoder.Next(data, left, result)) results.push_back(result);
    return results;
  }
  std::vector<Decoder::Result> Ask(std::uint8_t cid1, std::uint8_t cid2,
                                   std::vector<std::uint8_t> info = {}, std::uint8_t version = 0x20,
                                   std::uint8_t address = 1) {
    Frame frame;
    frame.version = version;
    frame.address = address;
    frame.cid1 = cid1;
    frame.cid2 = cid2;
    frame.info = std::move(info);
    return Ask(pmbus_frame::Encode(frame));
  }
  // The INFO of a normal reply to (cid1, cid2).
  Info Reply(std::uint8_t cid1, std::uint8_t cid2, std::vector<std::uint8_t> request = {}) {
    const auto results = Ask(cid1, cid2, std::move(request));
    EXPECT_EQ(results.size(), 1u);
    if (results.size() != 1 || !results[0].ok) return Info({});
    EXPECT_EQ(results[0].frame.cid1, cid1);
    EXPECT_EQ(results[0].frame.cid2, 0x00);
    EXPECT_EQ(results[0].frame.address, 1);
    EXPECT_EQ(results[0].frame.version, 0x20);
    return Info(results[0].frame.info);
  }
  std::uint8_t Flag(std::uint8_t cid1) { return Reply(cid1, 0x41, {0xFF}).U8(); }
  std::vector<Module> Modules() {
    Info analog = Reply(0x41, 0x41);
    analog.U8();
    analog.Float();
    std::vector<Module> modules(analog.U8());
    for (Module& module : modules) {
      module.current = analog.Float();
      analog.Bytes(4u * analog.U8());
    }
    Info switches = Reply(0x41, 0x43);
    switches.U8();
    EXPECT_EQ(switches.U8(), modules.size());
    for (Module& module : modules) {
      module.on_off = switches.U8();
      switches.Bytes(2);
      switches.Bytes(switches.U8());
    }
    Info alarms = Reply(0x41, 0x44);
    alarms.U8();
    EXPECT_EQ(alarms.U8(), modules.size());
    for (Module& module : modules) {
      module.fault = alarms.U8();
      alarms.Bytes(alarms.U8());
    }
    EXPECT_TRUE(analog.Exhausted() && switches.Exhausted() && alarms.Exhausted());
    return modules;
  }
  void Apply(const std::string& line) {
    std::string error;
    ASSERT_TRUE(sim.Apply(line, error)) << line << ": " << error;
  }

  Simulator sim;
  Decoder decoder;
};

SystemConfig TwoAcUnits() {
  SystemConfig config;
  config.ac_channels = {2, 1};
  config.dc_units = 2;
  config.rectifier_modules = 3;
  return config;
}

TEST(SimReplies, ModelFieldIsTwentyBlankPaddedBytes) {
  Bench bench;
  Info info = bench.Reply(0x40, 0x51);
  const std::vector<std::uint8_t> field = info.Bytes(20);
  EXPECT_TRUE(info.Exhausted());
  EXPECT_EQ(std::string(field.begin(), field.end()), "KORVAN3             ");
  bench.Apply("model KORVAN9X");
  const std::vector<std::uint8_t> renamed = bench.Reply(0x40, 0x51).Bytes(14);
  EXPECT_EQ(std::string(renamed.begin(), renamed.end()), "KORVAN9X      ");
}

TEST(SimReplies, AcRepliesFollowTheUnitLayouts) {
  Bench bench(TwoAcUnits());
  std::uint8_t flag = 0;
  Info analog = bench.Reply(0x40, 0x41, {0xFF});
  const auto units = ReadAcAnalog(analog, flag);
  EXPECT_TRUE(analog.Exhausted());
  EXPECT_EQ(analog.size(), 2u + (13 + 17 * 2) + (13 + 17 * 1));
  EXPECT_EQ(flag, 0x11);  // after power-up both kinds of state count as changed
  ASSERT_EQ(units.size(), 2u);
  ASSERT_EQ(units[0].channels.size(), 2u);
  ASSERT_EQ(units[1].channels.size(), 1u);
  for (const AcUnitValues& unit : units) {
    for (const AcChannelValues& channel : unit.channels) {
      for (float voltage : {channel.a, channel.b, channel.c}) {
        EXPECT_NEAR(voltage, 220.0f, 10.0f);
      }
      EXPECT_NEAR(channel.f, 50.0f, 0.5f);
    }
    EXPECT_NEAR(unit.ia, 12.0f, 2.0f);
  }

  // 40h/43h: flag, count, per unit m = 0, P = 4, four states.
  Info switches = bench.Reply(0x40, 0x43, {0xFF});
  EXPECT_EQ(switches.U8(), 0x11);
  EXPECT_EQ(switches.U8(), 2);
  for (int unit = 0; unit < 2; ++unit) {
    EXPECT_EQ(switches.U8(), 0);
    EXPECT_EQ(switches.U8(), 4);
    switches.Bytes(4);
  }
  EXPECT_TRUE(switches.Exhausted());

  Info alarms = bench.Reply(0x40, 0x44, {0xFF});
  const auto states = ReadAcAlarms(alarms, flag);
  EXPECT_TRUE(alarms.Exhausted());
  EXPECT_EQ(alarms.size(), 2u + (4 + 9 * 2) + (4 + 9 * 1));
  EXPECT_EQ(flag, 0x01);  // switch states were sent, alarm states not yet
  EXPECT_EQ(states.at(0).channels.at(1), (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(bench.Flag(0x40), 0x00);  // both sent
}

TEST(SimReplies, RectifierDcAndParameterRepliesFollowTheirLayouts) {
  Bench bench(TwoAcUnits());
  // 41h/41h: flag, voltage, M, per module current and P.
  Info analog = bench.Reply(0x41, 0x41);
  EXPECT_EQ(analog.size(), 6u + 5 * 3);
  const auto modules = bench.Modules();
  ASSERT_EQ(modules.size(), 3u);
  float total = 0;
  for (const Module& module : modules) total += module.current;
  EXPECT_NEAR(total, 42.0f, 6.0f);  // the modules share the load

  // 42h/41h: flag, count, per unit v i M (3) values N (0) P (6) values.
  Info dc = bench.Reply(0x42, 0x41);
  dc.U8();
  ASSERT_EQ(dc.U8(), 2);
  for (int unit = 0; unit < 2; ++unit) {
    EXPECT_NEAR(dc.Float(), 53.5f, 1.0f);
    EXPECT_NEAR(dc.Float(), 42.0f, 5.0f);
    ASSERT_EQ(dc.U8(), 3);
    dc.Bytes(12);
    EXPECT_EQ(dc.U8(), 0);
    ASSERT_EQ(dc.U8(), 6);
    dc.Bytes(24);
  }
  EXPECT_TRUE(dc.Exhausted());

  // 42h/44h: flag, count, per unit state, 20 fuse states, 11 user states.
  Info dc_alarms = bench.Reply(0x42, 0x44);
  EXPECT_EQ(dc_alarms.U8(), 0x01);
  ASSERT_EQ(dc_alarms.U8(), 2);
  for (int unit = 0; unit < 2; ++unit) {
    EXPECT_EQ(dc_alarms.U8(), 0);
    ASSERT_EQ(dc_alarms.U8(), 20);
    dc_alarms.Bytes(20);
    ASSERT_EQ(dc_alarms.U8(), 11);
    dc_alarms.Bytes(11);
  }
  EXPECT_TRUE(dc_alarms.Exhausted());

  Info ac_params = bench.Reply(0x40, 0x46);
  EXPECT_EQ(ac_params.size(), 21u);
  const float upper = ac_params.Float(), lower = ac_params.Float();
  EXPECT_GT(upper, lower);
  ac_params.Bytes(12);
  EXPECT_EQ(ac_params.U8(), 0);
  EXPECT_TRUE(ac_params.Exhausted());

  Info dc_params = bench.Reply(0x42, 0x46);
  EXPECT_EQ(dc_params.size(), 65u);
  dc_params.Bytes(8);
  EXPECT_EQ(dc_params.U8(), 14);
}

TEST(SimConditions, AcUnderVoltageAndMissingPhase) {
  Bench bench(TwoAcUnits());
  bench.Reply(0x40, 0x43, {0xFF});
  bench.Reply(0x40, 0x44, {0xFF});
  bench.Apply("ac-undervoltage 1 2 on");
  bench.Apply("missing-phase 2 1 B on");
  std::uint8_t flag = 0;
  Info analog = bench.Reply(0x40, 0x41, {0xFF});
  const auto values = ReadAcAnalog(analog, flag);
  EXPECT_EQ(flag, 0x01);  // alarm states changed, switch states did not
  EXPECT_LE(values[0].channels[1].a, 175.0f);
  EXPECT_NEAR(values[0].channels[0].a, 220.0f, 10.0f);
  EXPECT_EQ(values[1].channels[0].b, 0.0f);
  EXPECT_EQ(values[1].ib, 0.0f);

  Info alarms = bench.Reply(0x40, 0x44, {0xFF});
  const auto states = ReadAcAlarms(alarms, flag);
  EXPECT_EQ(states[0].channels[0], (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(states[0].channels[1], (std::vector<std::uint8_t>{1, 1, 1, 0}));
  EXPECT_EQ(states[1].channels[0], (std::vector<std::uint8_t>{0, 3, 0, 0}));
  EXPECT_EQ(states[1].currents, (std::vector<std::uint8_t>{0, 3, 0}));

  bench.Apply("missing-phase 2 1 B off");
  EXPECT_EQ(bench.Flag(0x40), 0x01);
  Info cleared = bench.Reply(0x40, 0x44, {0xFF});
  EXPECT_EQ(ReadAcAlarms(cleared, flag)[1].channels[0], (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(SimConditions, RectifierFaultRaisesBothFlagBitsAndTheFaultState) {
  Bench bench;
  bench.Modules();  // switch and alarm states sent
  EXPECT_EQ(bench.Flag(0x41), 0x00);
  bench.Apply("rectifier-fault 2 on");
  EXPECT_EQ(bench.Flag(0x41), 0x11);
  const auto modules = bench.Modules();
  EXPECT_EQ(modules[1].fault, 1);
  EXPECT_EQ(modules[1].on_off, 1);
  EXPECT_EQ(modules[1].current, 0.0f);
  EXPECT_EQ(modules[0].fault, 0);
  EXPECT_GT(modules[0].current, 10.0f);  // the others carry the load
  EXPECT_EQ(bench.Flag(0x41), 0x00);
  bench.Apply("rectifier-fault 2 off");
  EXPECT_EQ(bench.Flag(0x41), 0x11);
  EXPECT_EQ(bench.Modules()[1].fault, 0);
}

TEST(SimConditions, BatteryFuseAndFirstStageDisconnection) {
  Bench bench;
  bench.Reply(0x42, 0x44);
  EXPECT_EQ(bench.Flag(0x42), 0x00);
  bench.Apply("battery-fuse 1 5 on");
  bench.Apply("lvd1 1 on");
  EXPECT_EQ(bench.Flag(0x42), 0x01);
  Info alarms = bench.Reply(0x42, 0x44);
  alarms.Bytes(2);
  EXPECT_EQ(alarms.U8(), 0);
  alarms.U8();
  const auto fuses = alarms.Bytes(20);
  alarms.U8();
  const auto user = alarms.Bytes(11);
  for (std::size_t n = 0; n < fuses.size(); ++n) EXPECT_EQ(fuses[n], n == 4 ? 3 : 0) << n;
  EXPECT_EQ(user[0], 0xF0);
  EXPECT_EQ(user[1], 0);
}

TEST(SimConditions, ValuesDriftSlowlyWithinBounds) {
  Bench bench;
  std::uint8_t flag = 0;
  Info first = bench.Reply(0x40, 0x41, {0xFF});
  float previous = ReadAcAnalog(first, flag)[0].channels[0].a;
  bool moved = false;
  for (int second = 0; second < 600; ++second) {
    bench.sim.Advance(1.0);
    Info next = bench.Reply(0x40, 0x41, {0xFF});
    const float now = ReadAcAnalog(next, flag)[0].channels[0].a;
    EXPECT_LT(std::abs(now - previous), 3.0f);
    EXPECT_NEAR(now, 220.0f, 6.0f);
    moved |= now != previous;
    previous = now;
  }
  EXPECT_TRUE(moved);
  EXPECT_EQ(flag, 0x11);  // drifting values alone change no state
}

TEST(SimAnswers, ErrorCodesAndSilence) {
  Bench bench;
  struct Row {
    const char* what;
    std::vector<Decoder::Result> results;
    std::uint8_t rtn;
  };
  const std::string good = pmbus_frame::Encode(Frame{0x20, 1, 0x40, 0x41, {0xFF}});
  std::string bad_sum = good;
  bad_sum[good.size() - 2] = bad_sum[good.size() - 2] == '1' ? '2' : '1';
  std::string bad_length = good;
  bad_length[9] = bad_length[9] == 'E' ? 'F' : 'E';  // LCHKSUM nibble
  const std::vector<Row> rows = {
      {"unknown command", bench.Ask(0x40, 0x47), 0x04},
      {"unknown group", bench.Ask(0x43, 0x41), 0x04},
      {"other protocol version", bench.Ask(0x40, 0x41, {0xFF}, 0x21), 0x01},
      {"bad check sum", bench.Ask(bad_sum), 0x02},
      {"bad length check sum", bench.Ask(bad_length), 0x03},
      {"two INFO bytes", bench.Ask(0x40, 0x41, {0xFF, 0xFF}), 0x05},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(row.results.size(), 1u) << row.what;
    EXPECT_TRUE(row.results[0].ok) << row.what;
    EXPECT_EQ(row.results[0].frame.cid2, row.rtn) << row.what;
    EXPECT_TRUE(row.results[0].frame.info.empty()) << row.what;
  }
  EXPECT_TRUE(bench.Ask(0x40, 0x41, {0xFF}, 0x20, 2).empty());  // another address
  EXPECT_TRUE(bench.Ask("~20XX\r").empty());                    // unreadable

  bench.Apply("silent on");
  EXPECT_TRUE(bench.Ask(0x40, 0x51).empty());
  bench.Apply("silent off");
  EXPECT_EQ(bench.Ask(0x40, 0x51).size(), 1u);
  const Simulator::Stats stats = bench.sim.Statistics();
  EXPECT_EQ(stats.silenced, 1u);
  EXPECT_EQ(stats.errors, 6u);
}

TEST(SimAnswers, CorruptionRateDamagesThatShareOfReplies) {
  Bench bench;
  bench.Apply("corrupt 1");
  for (int i = 0; i < 50; ++i) {
    const auto results = bench.Ask(0x42, 0x46);
    ASSERT_EQ(results.size(), 1u);  // one character changed, never SOI or EOI
    EXPECT_FALSE(results[0].ok);
  }
  bench.Apply("corrupt 0.5");
  int damaged = 0;
  for (int i = 0; i < 400; ++i) damaged += bench.Ask(0x42, 0x46).at(0).ok ? 0 : 1;
  EXPECT_GT(damaged, 140);
  EXPECT_LT(damaged, 260);
  bench.Apply("corrupt 0");
  EXPECT_TRUE(bench.Ask(0x42, 0x46).at(0).ok);
}

TEST(SimCommands, RefusesMalformedOrMissingTargets) {
  Bench bench;
  const char* malformed[] = {"rectifier-fault",
                             "rectifier-fault 0 on",
                             "rectifier-fault 2 maybe",
                             "missing-phase 1 1 D on",
                             "corrupt 1.5",
                             "wait -1",
                             "explode 1",
                             "model ABCDEFGHIJKLMNOPQRSTU"};
  for (const char* line : malformed) {
    Command command;
    std::string error;
    EXPECT_FALSE(ParseCommand(line, command, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
  std::string error;
  EXPECT_FALSE(bench.sim.Apply("rectifier-fault 4 on", error));    // three modules
  EXPECT_FALSE(bench.sim.Apply("ac-undervoltage 1 2 on", error));  // one channel
  EXPECT_FALSE(bench.sim.Apply("battery-fuse 1 21 on", error));
  EXPECT_TRUE(bench.sim.Apply("  # only a comment", error));
}

// The help (korvan-sim's --help and its "help" command) names each command in
// the form of the parser's usage text, and every kind of command the parser
// makes has its line.
TEST(SimCommands, HelpListsEveryCommandTheParserAccepts) {
  std::istringstream help(CommandHelp());
  std::set<Command::Kind> kinds;
  std::size_t lines = 0;
  for (std::string line; std::getline(help, line); ++lines) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    Command command;
    std::string error;
    // The verb alone lacks its arguments: the usage tells the form.
    EXPECT_FALSE(ParseCommand(verb, command, error)) << line;
    ASSERT_EQ(error.rfind("usage: " + verb, 0), 0u) << line << ": " << error;
    const std::string usage = error.substr(7);
    const std::size_t limits = usage.find(" (");
    const std::string form = usage.substr(0, limits);
    EXPECT_EQ(line.rfind("  " + form + "  ", 0), 0u) << line;
    if (limits != std::string::npos) {
      const std::string bounds = usage.substr(limits);
      ASSERT_GT(line.size(), bounds.size()) << line;
      EXPECT_EQ(line.substr(line.size() - bounds.size()), bounds) << line;
    }
    EXPECT_GT(line.size(), form.size() + 8) << "a meaning after the form: " << line;
    EXPECT_NE(command.kind, Command::Kind::kNone) << line;
    kinds.insert(command.kind);
  }
  EXPECT_EQ(kinds.size(), lines);
  EXPECT_EQ(kinds.size(), static_cast<std::size_t>(Command::Kind::kLast));
}

// Modules plugged in or out and AC channels changed in service: the replies
// carry the new counts and announce changed states, as a hot swap does.
TEST(SimCommands, UnitCountsChangeInService) {
  Bench bench(TwoAcUnits());
  bench.Modules();  // the states of power-up are announced
  bench.Apply("rectifiers 5");
  EXPECT_EQ(bench.Flag(0x41), 0x11);
  EXPECT_EQ(bench.Modules().size(), 5u);
  bench.Apply("rectifiers 0");
  EXPECT_EQ(bench.Modules().size(), 0u);

  std::uint8_t flag = 0;
  Info before = bench.Reply(0x40, 0x41, {0xFF});
  ReadAcAnalog(before, flag);
  bench.Apply("ac-channels 2 3");
  Info after = bench.Reply(0x40, 0x41, {0xFF});
  const auto units = ReadAcAnalog(after, flag);
  EXPECT_TRUE(after.Exhausted());
  EXPECT_EQ(flag, 0x11);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].channels.size(), 2u);
  ASSERT_EQ(units[1].channels.size(), 3u);
  EXPECT_NEAR(units[1].channels[2].a, 220.0f, 10.0f);  // a new channel carries a live voltage

  std::string error;
  for (const char* refused : {"ac-channels 3 1", "ac-channels 1 9", "rectifiers 61"}) {
    EXPECT_FALSE(bench.sim.Apply(refused, error)) << refused;
  }
}

TEST(SimScenario, PlaysLinesWithPausesAndNamesTheFailingLine) {
  Bench bench;
  std::vector<double> pauses;
  std::istringstream good("rectifier-fault 1 on\nwait 2.5\n\nrectifier-fault 1 off # back\n");
  std::string error;
  ASSERT_TRUE(RunScenario(
      bench.sim, good, [&](double s) { pauses.push_back(s); }, error));
  EXPECT_EQ(pauses, std::vector<double>{2.5});
  EXPECT_EQ(bench.Modules()[0].fault, 0);

  std::istringstream bad("rectifier-fault 1 on\nwait 1\nlvd1 on\nrectifier-fault 1 off\n");
  EXPECT_FALSE(RunScenario(
      bench.sim, bad, [](double) {}, error));
  EXPECT_EQ(error, "line 3: usage: lvd1 DC-UNIT on|off");
  EXPECT_EQ(bench.Modules()[0].fault, 1);  // stopped before line 4
}

TEST(SimServer, AnswersOverAPseudoTerminal) {
  Simulator sim(SystemConfig(), false);
  auto pty = std::make_shared<PtyPort>();
  std::string error;
  ASSERT_TRUE(pty->Open(SerialSettings(), error)) << error;
  SimServer server(sim, pty);
  server.Start();
  TermiosPort client(pty->Path());
  ASSERT_TRUE(client.Open(SerialSettings(), error)) << error;
  const std::string request = pmbus_frame::Encode(Frame{0x20, 1, 0x40, 0x51, {}});
  ASSERT_TRUE(client.Write(reinterpret_cast<const unsigned char*>(request.data()), request.size()));
  std::string received;
  unsigned char buffer[256];
  for (int i = 0; i < 50 && received.find('\r') == std::string::npos; ++i) {
    const long count = client.Read(buffer, sizeof buffer, 20, error);
    ASSERT_GE(count, 0) << error;
    received.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
  }
  server.Stop();
  Decoder decoder;
  const auto* data = reinterpret_cast<const unsigned char*>(received.data());
  std::size_t left = received.size();
  Decoder::Result reply;
  ASSERT_TRUE(decoder.Next(data, left, reply));
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.frame.info.size(), 20u);
}

}  // namespace
