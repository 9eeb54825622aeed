#include "tools/cli/simulate_command.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "console/console_output.h"
#include "host/pmbus_protocol.h"
#include "runtime/bounded_read.h"
#include "runtime/exit_codes.h"
#include "runtime/system_config.h"
#include "sim/pty_port.h"
#include "sim/scenario.h"
#include "sim/sim_server.h"
#include "sim/simulator.h"
#include "tools/replay/session_capture.h"

namespace cli {

namespace {

constexpr std::size_t kMaxScenarioBytes = 1024 * 1024;

bool ParseChannels(const std::string& text, std::vector<int>& channels) {
  channels.clear();
  if (text == "none") return true;
  std::stringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    std::size_t used = 0;
    try {
      channels.push_back(std::stoi(item, &used));
    } catch (const std::exception&) {
      return false;
    }
    if (used != item.size()) return false;
  }
  return !channels.empty();
}

// The runtime's configuration of the simulated system on `port`.
runtime::SystemConfig RuntimeConfigFor(const SimulateOptions& simulate, const ::SystemConfig& sim,
                                       const std::string& port) {
  return runtime::ForSimulatedSystem(sim, "simulated", port, simulate.data_id);
}

// Plays the scenario file on its own thread until it ends or polling stops.
class ScenarioPlayer {
 public:
  ScenarioPlayer(Simulator& simulator, std::string text, runtime::ConsoleOutput& output)
      : simulator_(simulator), text_(std::move(text)), output_(output) {}
  ~ScenarioPlayer() { Stop(); }

  void Start() {
    thread_ = std::thread([this] {
      std::istringstream lines(text_);
      std::string error;
      // Sleeps through the scenario's waits; Stop ends one at once.
      auto sleep = [this](double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(std::min(seconds, 1e9)));
        std::unique_lock<std::mutex> lock(mutex_);
        stopped_.wait_until(lock, end, [this] { return stop_.load(); });
      };
      if (!RunScenario(simulator_, lines, sleep, error, [this] { return stop_.load(); })) {
        output_.Problem("simulator", "scenario: " + error);
      }
    });
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_.store(true);
    }
    stopped_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  Simulator& simulator_;
  std::string text_;
  runtime::ConsoleOutput& output_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::thread thread_;
};

}  // namespace

int RunSimulated(const SimulateOptions& simulate, const PollingOptions& options, std::ostream& out,
                 std::ostream& err, const std::atomic<bool>& interrupted) {
  ::SystemConfig sim;
  if (!ParseChannels(simulate.ac, sim.ac_channels)) {
    err << "korvan-host: --ac wants channel counts such as 3,1, or none\n";
    return runtime::exit_codes::kSimulator;
  }
  sim.dc_units = simulate.dc_units;
  sim.rectifier_modules = simulate.rectifier_modules;
  sim.model = simulate.model;
  // A number or hex text, as the configuration key takes it.
  const bool numeric =
      !simulate.protocol_version.empty() &&
      simulate.protocol_version.find_first_not_of("0123456789") == std::string::npos &&
      simulate.protocol_version.size() <= 3;
  const std::optional<std::uint8_t> version =
      ParseProtocolVersion(numeric ? Json::Value(std::stoi(simulate.protocol_version))
                                   : Json::Value(simulate.protocol_version));
  if (!version) {
    err << "korvan-host: --protocol-version wants a byte as hex text such as 21h, or a number "
           "0..255\n";
    return runtime::exit_codes::kSimulator;
  }
  sim.version = *version;
  const std::string invalid = sim.Check();
  if (!invalid.empty()) {
    err << "korvan-host: simulated system: " << invalid << "\n";
    return runtime::exit_codes::kSimulator;
  }
  std::string scenario;
  if (!simulate.scenario.empty()) {
    std::string error;
    if (!runtime::ReadFileBounded(simulate.scenario, kMaxScenarioBytes, scenario, error)) {
      err << "korvan-host: scenario " << simulate.scenario << ": " << error << "\n";
      return runtime::exit_codes::kSimulator;
    }
  }

  Simulator simulator(sim);
  std::vector<std::string> settings = simulate.settings;
  if (simulate.silent) settings.push_back("silent on");
  for (const std::string& setting : settings) {
    std::string error;
    if (!simulator.Apply(setting, error)) {
      err << "korvan-host: simulator setting \"" << setting << "\": " << error << "\n";
      return runtime::exit_codes::kSimulator;
    }
  }
  auto line = std::make_shared<PtyPort>();
  std::string error;
  if (!line->Open(SerialSettings(), error)) {
    err << "korvan-host: simulator: " << error << "\n";
    return runtime::exit_codes::kSimulator;
  }
  SimServer server(simulator, line);
  server.Start();

  PollingSession session(WithFileSettings(options, {}), out, err);
  runtime::ConsoleOutput& output = session.Console();
  output.Note("simulator", "serving " + std::to_string(sim.ac_channels.size()) + " AC unit(s), " +
                               std::to_string(sim.dc_units) + " DC unit(s) and " +
                               std::to_string(sim.rectifier_modules) + " rectifier module(s) on " +
                               line->Path());
  const int prepared = session.Prepare({RuntimeConfigFor(simulate, sim, line->Path())}, {});
  if (prepared != 0) return prepared;
  runtime::Runtime& host = session.Host();
  replay::SessionCapture capture;
  std::string capture_error;
  if (!options.capture.empty() &&
      !capture.Start(host, session.Store().get(), options.capture, capture_error)) {
    output.Problem("", capture_error);
    return replay::kCaptureFailed;
  }
  ScenarioPlayer player(simulator, scenario, output);
  if (!scenario.empty()) player.Start();
  const int result = host.Run(interrupted);
  const bool captured = capture.Finish(capture_error);
  player.Stop();
  server.Stop();
  if (!captured) {
    output.Problem("", capture_error);
    return result == 0 ? replay::kCaptureFailed : result;
  }
  return result;
}

}  // namespace cli
