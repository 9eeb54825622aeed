// The serial line end to end: the termios port, the line driver with its
// reopening, and the bus device polling the simulator over a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bus/korvan.h"
#include "host/line_driver.h"
#include "host/termios_port.h"
#include "sim/pty_port.h"
#include "sim/sim_server.h"
#include "sim/simulator.h"
#include "tests/support/frozen_clock.h"
#include "tests/support/recording_controller.h"
#include "tests/support/scripted_transport.h"

namespace {

using Kind = RecordingController::Kind;
using std::chrono::milliseconds;

std::string TempPath(const std::string& name) {
  return "/tmp/korvan-" + name + "-" + std::to_string(::getpid());
}

// A simulated power system served on a pseudo-terminal, optionally behind a
// fixed link so that a restarted simulator keeps the controller's path.
class SimOnPty {
 public:
  explicit SimOnPty(SystemConfig config, std::string link = std::string())
      : simulator(config), link_(std::move(link)) {
    Start();
  }
  ~SimOnPty() {
    Stop();
    if (!link_.empty()) ::unlink(link_.c_str());
  }
  void Start() {
    pty_ = std::make_shared<PtyPort>(link_);
    std::string error;
    EXPECT_TRUE(pty_->Open(SerialSettings(), error)) << error;
    server_ = std::make_unique<SimServer>(simulator, pty_);
    server_->Start();
  }
  void Stop() {
    if (server_) server_->Stop();
    server_.reset();
    if (pty_) pty_->Close();
  }
  std::string Path() const { return pty_->Path(); }
  void Apply(const std::string& line) {
    std::string error;
    ASSERT_TRUE(simulator.Apply(line, error)) << error;
  }

  Simulator simulator;

 private:
  std::string link_;
  std::shared_ptr<PtyPort> pty_;
  std::unique_ptr<SimServer> server_;
};

TEST(TermiosPort, MissingBusyAndForeignPortsFailWithTheirReasons) {
  std::string error;
  TermiosPort missing("/dev/korvan-no-such-port");
  EXPECT_FALSE(missing.Open(SerialSettings(), error));
  EXPECT_EQ(error,
            "serial port /dev/korvan-no-such-port cannot be opened: No such file or directory");

  SimOnPty sim{SystemConfig()};
  TermiosPort first(sim.Path());
  ASSERT_TRUE(first.Open(SerialSettings(), error)) << error;
  TermiosPort second(sim.Path());
  EXPECT_FALSE(second.Open(SerialSettings(), error));
  EXPECT_EQ(error, "serial port " + sim.Path() +
                       " is busy (in use by another program): Resource temporarily unavailable");
  first.Close();
  EXPECT_TRUE(second.Open(SerialSettings(), error)) << error;

  const std::string plain_file = TempPath("not-a-tty");
  std::ofstream(plain_file) << "x";
  TermiosPort file(plain_file);
  EXPECT_FALSE(file.Open(SerialSettings(), error));
  EXPECT_EQ(error,
            "serial port " + plain_file + " cannot be configured: Inappropriate ioctl for device");
  ::unlink(plain_file.c_str());

  SerialSettings odd;
  odd.baud_rate = 12345;
  EXPECT_FALSE(second.Open(odd, error));
  EXPECT_NE(error.find("baud rate 12345 is not supported"), std::string::npos);
}

// With a wait the port polls; without one (the line driver has polled) the
// read alone must still tell a quiet line from a hang-up.
TEST(TermiosPort, ReportsAPortThatDisappears) {
  for (const int wait_ms : {100, 0}) {
    SCOPED_TRACE(wait_ms);
    SimOnPty sim{SystemConfig()};
    TermiosPort port(sim.Path());
    std::string error;
    ASSERT_TRUE(port.Open(SerialSettings(), error)) << error;
    unsigned char buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer, wait_ms / 10, error), 0);  // open, quiet
    EXPECT_EQ(error, "");
    sim.Stop();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, wait_ms, error), -1);
    EXPECT_EQ(error, "serial port " + sim.Path() + " hung up");
  }
}

// Sends the model query whenever it may and counts the replies.
class QueryDevice : public PMBusProtocol {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return true; }
  bool RefreshStatus() override {
    if (!PMBusProtocol::RefreshStatus()) return false;
    write_pmbus_cmd(0x40, 0x51);
    return true;
  }
  int process_payload() override {
    ++replies;
    return 1;
  }
  int replies = 0;
};

TEST(LineDriver, WaitsForAMissingPortAndReopensOneThatDisappeared) {
  const std::string link = TempPath("line");
  ::unlink(link.c_str());
  auto controller = std::make_shared<RecordingController>();
  auto device = std::make_shared<QueryDevice>();
  device->Init(controller, 5, Json::Value());
  Json::Value settings(Json::objectValue);
  settings["timeout_ms"] = 200;  // a request cut off by the pulled adapter is lost quickly
  ASSERT_TRUE(device->InitSetting(settings));
  LineDriverOptions options;
  options.refresh_interval = milliseconds(10);
  options.reopen_first = milliseconds(40);
  options.reopen_max = milliseconds(160);
  LineDriver driver(device, std::make_shared<TermiosPort>(link), options);

  // No port yet: reported with its path, retried with growing back-off.
  driver.RunUntil([] { return false; }, milliseconds(400));
  EXPECT_FALSE(driver.PortOpen());
  EXPECT_EQ(driver.LastError(),
            "serial port " + link + " cannot be opened: No such file or directory");
  const auto failures = controller->LogLines();
  ASSERT_GE(failures.size(), 3u);
  EXPECT_LE(failures.size(), 6u);  // 40, 80, 160, 160 ms apart: not a busy loop
  EXPECT_EQ(failures[0], "LineDriver: 5 serial port " + link +
                             " cannot be opened: No such file or directory; next attempt in 40 ms");
  EXPECT_NE(failures[1].find("next attempt in 80 ms"), std::string::npos);

  {
    SimOnPty sim(SystemConfig(), link);
    ASSERT_TRUE(driver.RunUntil([&] { return device->replies >= 3; }, milliseconds(3000)));
    EXPECT_EQ(driver.Opens(), 1u);

    sim.Stop();  // the adapter is pulled out
    struct stat gone {};
    EXPECT_NE(::lstat(link.c_str(), &gone), 0);  // nor names the next pseudo-terminal
    ASSERT_TRUE(driver.RunUntil([&] { return driver.PortFailures() == 1; }, milliseconds(2000)));
    EXPECT_FALSE(driver.PortOpen());
    driver.RunUntil([] { return false; }, milliseconds(150));

    const int before = device->replies;
    sim.Start();  // and plugged in again, under the same path
    ASSERT_TRUE(driver.RunUntil([&] { return device->replies >= before + 3; }, milliseconds(3000)));
    EXPECT_EQ(driver.Opens(), 2u);
  }
  const auto lines = controller->LogLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find("LineDriver: 5 serial port " + link) == 0 &&
           line.find("; closing it and opening it again") != std::string::npos;
  }));
}

// The bus device on a line to the simulator, with a frozen local clock so
// that the test decides when a new cycle may start.
struct PolledSystem {
  explicit PolledSystem(SystemConfig config = Config()) : sim(config) {
    bus->Init(controller, 100, Json::Value());
    bus->AttachTransport(observer);  // sees each request at the decoded level too
    Json::Value settings(Json::objectValue);
    settings["timeout_ms"] = 300;
    Json::Value ac(Json::objectValue);
    ac["data_id"] = 11;
    settings["acSetting"].append(ac);
    Json::Value dc(Json::objectValue);
    dc["data_id"] = 21;
    settings["dcSetting"].append(dc);
    settings["rcSetting"] = Json::Value(Json::objectValue);
    EXPECT_TRUE(bus->InitSetting(settings));
    LineDriverOptions options;
    options.refresh_interval = milliseconds(20);
    driver = std::make_unique<LineDriver>(bus, std::make_shared<TermiosPort>(sim.Path()), options,
                                          [this] { controller->RunJobs(); });
  }
  static SystemConfig Config() {
    SystemConfig config;
    config.ac_channels = {2};
    config.dc_units = 1;
    config.rectifier_modules = 3;
    return config;
  }
  // Rectifier-group records published so far.
  std::vector<RecordingController::Event> RcRecords() const {
    std::vector<RecordingController::Event> records;
    for (const auto& event : controller->Of(Kind::kPublish)) {
      if (event.type == 5211) records.push_back(event);
    }
    return records;
  }
  // Runs until `count` rectifier records have been published.
  bool RunCycles(std::size_t count, milliseconds limit = milliseconds(5000)) {
    return driver->RunUntil([&] { return RcRecords().size() >= count; }, limit);
  }

  FrozenClock clock;  // also makes the 20 ms reply pause a no-op
  SimOnPty sim;
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<KORVAN> bus = std::make_shared<KORVAN>();
  std::shared_ptr<ScriptedTransport> observer = std::make_shared<ScriptedTransport>();
  std::unique_ptr<LineDriver> driver;
};

TEST(EndToEnd, BusDevicePollsTheSimulatorThroughTheFraming) {
  PolledSystem system;
  ASSERT_TRUE(system.RunCycles(1)) << system.observer->requests().size() << " requests";
  // The first exchange of the device's life, then a full cycle (data not yet ready).
  EXPECT_EQ(
      system.observer->TakeSent(),
      (std::vector<std::string>{"40h/51h", "40h/41h:FF", "40h/43h:FF", "40h/44h:FF", "41h/41h",
                                "41h/43h", "41h/44h", "42h/41h", "42h/44h", "40h/46h", "42h/46h"}));
  system.clock.Advance(2);
  ASSERT_TRUE(system.RunCycles(2));

  const LineQuality quality = system.bus->Quality();
  EXPECT_EQ(quality.frames_good, system.observer->requests().size());
  EXPECT_EQ(quality.DroppedTotal(), 0u);
  EXPECT_EQ(quality.error_replies, 0u);
  EXPECT_EQ(quality.lost_replies, 0u);
  // Every unit published its record in each cycle, with the simulator's sizes.
  std::vector<std::size_t> sizes;
  for (const auto& event : system.controller->Of(Kind::kPublish))
    sizes.push_back(event.bytes.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{33 + 25 * 2, 92, 101 + 12 * 3, 33 + 25 * 2, 92,
                                             101 + 12 * 3}));
  // The model matched: no model alarm.
  for (const rule_value& rule : system.bus->PendingRules()) EXPECT_NE(rule.id, "device_model");
}

TEST(EndToEnd, InjectedRectifierFaultReachesTheRecordAndItsRule) {
  PolledSystem system;
  ASSERT_TRUE(system.RunCycles(1));
  system.sim.Apply("rectifier-fault 2 on");
  system.clock.Advance(2);
  ASSERT_TRUE(system.RunCycles(2));
  system.controller->RunJobs();

  // Rectifier snapshot: 101-byte system record, then 12 bytes per module with
  // the fault state at offset 10 of each module.
  const std::vector<unsigned char> snapshot = system.RcRecords().back().bytes;
  ASSERT_EQ(snapshot.size(), 101u + 12 * 3);
  EXPECT_EQ(snapshot[93], 3);
  EXPECT_EQ(snapshot[101 + 12 * 0 + 10], 0);
  EXPECT_EQ(snapshot[101 + 12 * 1 + 10], 1);
  EXPECT_EQ(snapshot[101 + 12 * 2 + 10], 0);

  std::vector<rule_value> rc_rules;
  for (const auto& batch : system.controller->Of(Kind::kBatch)) {
    if (!batch.rules.empty() && batch.rules[0].id == "RC_0") rc_rules = batch.rules;
  }
  ASSERT_EQ(rc_rules.size(), 3u);
  EXPECT_FALSE(rc_rules[0].active);
  EXPECT_TRUE(rc_rules[1].active);
  EXPECT_EQ(rc_rules[1].text, "模块2整流模块故障告警");
  EXPECT_EQ(rc_rules[1].code, "06024");
  EXPECT_FALSE(rc_rules[2].active);
}

TEST(EndToEnd, SilentSimulatorLosesRepliesAndPollingResumes) {
  PolledSystem system;
  ASSERT_TRUE(system.RunCycles(1));
  system.observer->TakeSent();
  system.sim.Apply("silent on");
  system.clock.Advance(2);
  ASSERT_TRUE(
      system.driver->RunUntil([&] { return system.bus->LostReplies() >= 2; }, milliseconds(3000)));
  // The request of the step whose reply was lost goes out again.
  const auto repeated = system.observer->TakeSent();
  ASSERT_GE(repeated.size(), 2u);
  EXPECT_EQ(repeated[0], "40h/41h:FF");
  EXPECT_EQ(repeated[1], "40h/41h:FF");
  EXPECT_EQ(system.RcRecords().size(), 1u);

  system.sim.Apply("silent off");
  ASSERT_TRUE(system.RunCycles(2));
  EXPECT_GE(system.bus->Quality().lost_replies, 2u);
}

TEST(EndToEnd, CorruptedFramesAreDroppedAndRepeated) {
  PolledSystem system;
  system.sim.Apply("corrupt 0.3");
  ASSERT_TRUE(system.RunCycles(1, milliseconds(20000)));
  const LineQuality quality = system.bus->Quality();
  EXPECT_GT(quality.DroppedTotal(), 0u);
  EXPECT_EQ(system.sim.simulator.Statistics().corrupted, quality.DroppedTotal());
  // A damaged reply is followed by its request as soon as the line is quiet,
  // not after the time-out; only a damage that names another address (the
  // ADR characters) leaves the request to its time-out.
  EXPECT_GT(quality.early_repeats, 0u);
  EXPECT_EQ(quality.early_repeats + quality.lost_replies, quality.DroppedTotal());
}

// Between cycles the driver sleeps until the bus device's next cycle is due
// (its last update 2 s old on the local clock), not in slices; Wake ends a
// wait at once.
TEST(LineDriver, SleepsUntilTheNextCycleIsDue) {
  PolledSystem system;
  host_clock::SetClock(nullptr);  // the system's own clock and pause
  host_clock::SetPause(nullptr);
  ASSERT_TRUE(system.RunCycles(1));
  const std::size_t sent = system.observer->requests().size();
  ASSERT_FALSE(system.bus->IsProcessing());

  system.driver->Wake();
  EXPECT_FALSE(system.driver->Wait(LineDriver::Clock::time_point::max()));

  // The cycle ended with the refresh that the device declined; the next one
  // is offered when the device's own clock (whole seconds of time(), a
  // coarse clock) has turned, never before, when it would be declined again.
  const std::uint64_t declined = system.driver->Declined();
  ASSERT_GE(declined, 1u);
  const auto ended = LineDriver::Clock::now();
  while (system.observer->requests().size() == sent &&
         LineDriver::Clock::now() - ended < milliseconds(4000)) {
    system.driver->Step();
  }
  EXPECT_EQ(system.driver->Declined(), declined);
  EXPECT_LT(LineDriver::Clock::now() - ended, milliseconds(3000));  // not later than due
  ASSERT_EQ(system.observer->requests().size(), sent + 1);
  EXPECT_EQ(system.observer->TakeSent().back(), "40h/41h:FF");
}

TEST(LineDriver, AMissingPortIsRetriedAtLeastEveryTwoSecondsByDefault) {
  // A replugged USB adapter must be picked up within seconds, however long
  // it was gone: the back-off stops growing at 2 s.
  const std::string link = TempPath("backoff");
  ::unlink(link.c_str());
  auto controller = std::make_shared<RecordingController>();
  auto device = std::make_shared<QueryDevice>();
  device->Init(controller, 5, Json::Value());
  LineDriver driver(device, std::make_shared<TermiosPort>(link));
  driver.RunUntil([&] { return controller->LogLines().size() >= 4; }, milliseconds(6000));
  std::vector<std::string> waits;
  for (const std::string& line : controller->LogLines()) {
    waits.push_back(line.substr(line.rfind("next attempt in ")));
  }
  EXPECT_EQ(waits,
            (std::vector<std::string>{"next attempt in 500 ms", "next attempt in 1000 ms",
                                      "next attempt in 2000 ms", "next attempt in 2000 ms"}));
}

}  // namespace
