// End to end: the runtime's polling of a simulated power system on a
// pseudo-terminal whose replies are paced at 9600 baud, against the least
// time a cycle can take: the wire time of its frames plus the bus device's
// 20 ms pause per reply.
//
//   korvan-e2e [CYCLES]     (default 4 quiet and 4 changing cycles)
//
// The system: 4 AC units of 3 channels, 3 DC units (the simulator's most) and
// 50 rectifier modules. Quiet cycles: nothing changes, so the ready bus
// device asks for the analog values and the parameters only. Changing
// cycles: before each, an AC voltage, a rectifier and a battery fuse change
// state, so the alarm states are asked for too.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/paced_server.h"
#include "bench/quiet_stdout.h"
#include "runtime/power_system.h"
#include "sim/pty_port.h"
#include "store/record_store.h"
#include "store/store_writer.h"
#include "tools/plugin_loader.h"

namespace {

using Clock = PacedServer::Clock;

constexpr double kPauseSeconds = 0.020;
constexpr unsigned kBaud = 9600;

// Keeps the problems only.
class SilentOutput final : public runtime::EventSubscriber {
 public:
  void OnEvent(const runtime::RuntimeEvent& event) override {
    if (event.kind != runtime::RuntimeEvent::Kind::kProblem) return;
    std::lock_guard<std::mutex> lock(mutex);
    problems.push_back(event.text);
  }

  std::mutex mutex;
  std::vector<std::string> problems;
};

runtime::SystemConfig RuntimeConfig(const SystemConfig& sim, const std::string& port) {
  return runtime::ForSimulatedSystem(sim, "measured", port, 100);
}

// One cycle as the line and the runtime saw it.
struct Cycle {
  bool changing = false;
  std::size_t requests = 0, replies = 0, characters = 0;
  double measured = 0;  // first request on the line to the end of the cycle's jobs
  double Minimum() const {
    return static_cast<double>(characters) * 10.0 / kBaud + kPauseSeconds * replies;
  }
};

// The frames between two cycle ends belong to the later; the model query
// does not belong to any cycle.
Cycle Measure(const std::vector<PacedServer::Frame>& frames, Clock::time_point after,
              Clock::time_point end) {
  Cycle cycle;
  bool started = false;
  Clock::time_point start{};
  for (const PacedServer::Frame& frame : frames) {
    if (frame.first < after || frame.first > end) continue;
    if (frame.head.size() == 9 && frame.head.compare(5, 4, "4051") == 0) continue;
    if (frame.request && !started) {
      started = true;
      start = frame.first;
    }
    if (!started) continue;
    ++(frame.request ? cycle.requests : cycle.replies);
    cycle.characters += frame.characters;
  }
  cycle.measured = std::chrono::duration<double>(end - start).count();
  return cycle;
}

void Print(FILE* out, const char* kind, const std::vector<Cycle>& cycles, bool changing) {
  double measured = 0, minimum = 0;
  std::size_t count = 0;
  for (const Cycle& cycle : cycles) {
    if (cycle.changing != changing) continue;
    std::fprintf(out,
                 "  %-8s %2zu requests %2zu replies %5zu characters: %7.1f ms, minimum %7.1f ms, "
                 "ratio %.3f\n",
                 kind, cycle.requests, cycle.replies, cycle.characters, cycle.measured * 1000,
                 cycle.Minimum() * 1000, cycle.measured / cycle.Minimum());
    measured += cycle.measured;
    minimum += cycle.Minimum();
    ++count;
  }
  if (count != 0) {
    std::fprintf(out, "  %-8s mean ratio %.3f (%.1f ms over the minimum per cycle)\n", kind,
                 measured / minimum, (measured - minimum) * 1000 / count);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int per_kind = argc > 1 ? std::atoi(argv[1]) : 4;
  if (per_kind <= 0) {
    std::fprintf(stderr, "usage: korvan-e2e [CYCLES of each kind]\n");
    return 2;
  }
  const int report_fd = QuietStdout();
  FILE* report = report_fd < 0 ? stderr : fdopen(report_fd, "w");

  PluginLoader plugin;
  std::string error;
  if (!plugin.Load(KORVAN_PLUGIN_PATH, error)) {
    std::fprintf(stderr, "korvan-e2e: %s\n", error.c_str());
    return 3;
  }
  SystemConfig sim;
  sim.ac_channels = {3, 3, 3, 3};
  sim.dc_units = 3;
  sim.rectifier_modules = 50;
  Simulator simulator(sim, false);
  auto line = std::make_shared<PtyPort>();
  if (!line->Open(SerialSettings(), error)) {
    std::fprintf(stderr, "korvan-e2e: %s\n", error.c_str());
    return 4;
  }
  PacedServer server(simulator, line, kBaud);
  server.Start();

  runtime::EventStream events;
  auto output = std::make_shared<SilentOutput>();
  events.Subscribe("problems", output);
  runtime::ConfigProblem problem;
  const std::string directory =
      std::filesystem::temp_directory_path() / ("korvan-e2e-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  auto store =
      std::make_shared<runtime::RecordStore>(directory + "/korvan.db", runtime::HistoryBound());
  events.Subscribe("store", std::make_shared<runtime::StoreWriter>(store, events));
  auto system =
      runtime::PowerSystem::Create(RuntimeConfig(sim, line->Path()), plugin.GetProviders(), events,
                                   runtime::PowerSystemOptions(), problem);
  if (!system || !system->OpenPort(problem)) {
    std::fprintf(stderr, "korvan-e2e: %s\n", problem.Message().c_str());
    return 1;
  }

  // The first cycle (everything asked for) and then quiet and changing ones.
  const int total = 1 + 2 * per_kind;
  std::mutex mutex;
  std::vector<Clock::time_point> ends;
  std::vector<bool> changing;
  auto changes = [&](bool on) {
    std::string ignored;
    const char* state = on ? " on" : " off";
    simulator.Apply(std::string("ac-undervoltage 1 1") + state, ignored);
    simulator.Apply(std::string("rectifier-fault 2") + state, ignored);
    simulator.Apply(std::string("battery-fuse 1 2") + state, ignored);
  };
  system->SetCycleListener([&] {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    ends.push_back(now);
    const bool next_changing = ends.size() > static_cast<std::size_t>(per_kind);
    changing.push_back(next_changing);
    if (next_changing) changes(ends.size() % 2 == 1);
  });
  const Clock::time_point started = Clock::now();
  system->Start();
  const auto limit = std::chrono::seconds(10 * total + 10);
  while (Clock::now() - started < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> lock(mutex);
    if (ends.size() >= static_cast<std::size_t>(total)) break;
  }
  system->Stop();
  server.Stop();
  system.reset();
  store.reset();
  std::filesystem::remove_all(directory);

  const std::vector<PacedServer::Frame> frames = server.Frames();
  std::vector<Cycle> cycles;
  for (std::size_t i = 1; i < ends.size(); ++i) {  // the first cycle also carries the model query
    Cycle cycle = Measure(frames, ends[i - 1], ends[i]);
    cycle.changing = changing[i - 1];
    cycles.push_back(cycle);
  }
  std::fprintf(report,
               "end to end, 4 AC units of 3 channels, 3 DC units, 50 modules, replies paced at %u "
               "baud; minimum = wire time + 20 ms per reply\n",
               kBaud);
  Print(report, "quiet", cycles, false);
  Print(report, "changing", cycles, true);
  std::fflush(report);
  events.Flush();
  {
    std::lock_guard<std::mutex> lock(output->mutex);
    for (const std::string& text : output->problems)
      std::fprintf(stderr, "problem: %s\n", text.c_str());
  }
  if (!server.Error().empty()) std::fprintf(stderr, "line: %s\n", server.Error().c_str());
  return ends.size() >= static_cast<std::size_t>(total) ? 0 : 1;
}
