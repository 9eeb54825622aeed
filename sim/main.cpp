// korvan-sim: one simulated power system on a pseudo-terminal or a serial device.
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "host/termios_port.h"
#include "sim/commands.h"
#include "sim/pty_port.h"
#include "sim/scenario.h"
#include "sim/sim_server.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

bool ParseChannels(const std::string& text, std::vector<int>& channels) {
  channels.clear();
  if (text.empty() || text == "none") return true;
  std::stringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    try {
      std::size_t used = 0;
      channels.push_back(std::stoi(item, &used));
      if (used != item.size()) return false;
    } catch (const std::exception&) {
      return false;
    }
  }
  return true;
}

// Commands typed on standard input, one per line, until end of input or a
// signal; "help" lists them.
void ReadCommands(Simulator& simulator) {
  std::string pending;
  char buffer[256];
  while (!g_stop) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 200) <= 0) continue;
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(count));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      std::string error;
      std::istringstream words(line);
      std::string first, more;
      if (words >> first && first == "help" && !(words >> more)) {
        std::cerr << CommandHelp();
      } else if (simulator.Apply(line, error)) {
        std::cerr << "korvan-sim: ok\n";
      } else {
        const bool unknown = error.rfind("unknown command", 0) == 0;
        std::cerr << "korvan-sim: " << error << (unknown ? "; \"help\" lists the commands" : "")
                  << "\n";
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"korvan-sim: a KORVAN power system on a serial line"};
  std::string ac = "1";
  SystemConfig config;
  std::string device, link, scenario_path;
  unsigned int baud = 9600;
  unsigned int address = 1;
  unsigned int version = 0x20;
  std::vector<std::string> settings;
  app.add_option("--ac", ac, "channels of each AC unit, comma-separated (\"none\": no AC unit)")
      ->capture_default_str();
  app.add_option("--dc", config.dc_units, "DC units (0 to 3)")->capture_default_str();
  app.add_option("--rc", config.rectifier_modules, "rectifier modules")->capture_default_str();
  app.add_option("--model", config.model, "model name reported")->capture_default_str();
  app.add_option("--address", address, "device address")
      ->check(CLI::Range(0, 255))
      ->capture_default_str();
  app.add_option("--protocol-version", version, "protocol version byte")
      ->check(CLI::Range(0, 255))
      ->capture_default_str();
  app.add_option("--seed", config.seed, "seed of the drifting values")->capture_default_str();
  app.add_option("--device", device, "serve on this serial device instead of a pseudo-terminal");
  app.add_option("--baud", baud, "baud rate of --device")->capture_default_str();
  app.add_option("--link", link, "symbolic link to the pseudo-terminal's slave");
  app.add_option("--scenario", scenario_path, "scenario file played while serving");
  app.add_option("--set", settings,
                 "state change applied at start (repeatable), as on standard input");
  app.set_version_flag("--version", "korvan-sim " KORVAN_VERSION);
  app.footer(
      "State changes, one a line on standard input (where \"help\" lists them), in a "
      "--scenario file or with --set; units, channels, modules and fuses count from 1.\n\n"
      "Commands:\n" +
      CommandHelp() +
      "\nExit codes: 0 served until SIGINT or SIGTERM; 1 the line cannot be opened; 2 a wrong "
      "--ac, settings the simulator refuses or a --set it refuses; 100 and above: wrong command "
      "line (CLI11's codes: 104 a value of the wrong type, 105 a value out of range, 109 "
      "unexpected arguments).");
  CLI11_PARSE(app, argc, argv);

  if (!ParseChannels(ac, config.ac_channels)) {
    std::cerr << "korvan-sim: --ac wants channel counts such as 3,1\n";
    return 2;
  }
  config.address = static_cast<std::uint8_t>(address);
  config.version = static_cast<std::uint8_t>(version);
  const std::string problem = config.Check();
  if (!problem.empty()) {
    std::cerr << "korvan-sim: " << problem << "\n";
    return 2;
  }
  Simulator simulator(config);
  for (const std::string& setting : settings) {
    std::string error;
    if (!simulator.Apply(setting, error)) {
      std::cerr << "korvan-sim: --set \"" << setting << "\": " << error << "\n";
      return 2;
    }
  }

  std::shared_ptr<SerialPort> line;
  if (device.empty()) {
    line = std::make_shared<PtyPort>(link);
  } else {
    line = std::make_shared<TermiosPort>(device);
  }
  SerialSettings line_settings;
  line_settings.baud_rate = baud;
  std::string error;
  if (!line->Open(line_settings, error)) {
    std::cerr << "korvan-sim: " << error << "\n";
    return 1;
  }
  std::cout << line->Path() << std::endl;
  std::cerr << "korvan-sim: serving " << config.ac_channels.size() << " AC, " << config.dc_units
            << " DC unit(s) and " << config.rectifier_modules << " rectifier module(s) on "
            << line->Path() << "; commands on standard input\n";

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  SimServer server(simulator, line);
  server.Start();

  std::thread scenario;
  if (!scenario_path.empty()) {
    scenario = std::thread([&] {
      std::ifstream file(scenario_path);
      std::string why;
      if (!file) {
        std::cerr << "korvan-sim: cannot read scenario " << scenario_path << "\n";
        return;
      }
      auto sleep = [](double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!g_stop && std::chrono::steady_clock::now() < end) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      };
      if (!RunScenario(simulator, file, sleep, why, [] { return g_stop.load(); })) {
        std::cerr << "korvan-sim: scenario " << scenario_path << ": " << why << "\n";
      }
    });
  }
  ReadCommands(simulator);
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (scenario.joinable()) scenario.join();
  server.Stop();
  const Simulator::Stats stats = simulator.Statistics();
  std::cerr << "korvan-sim: " << stats.requests << " requests, " << stats.answered << " replies ("
            << stats.errors << " with an error code, " << stats.corrupted << " corrupted), "
            << stats.silenced << " left unanswered\n";
  return 0;
}
