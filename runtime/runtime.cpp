#include "runtime/runtime.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <deque>
#include <mutex>

#include "host/host_clock.h"
#include "runtime/config_check.h"
#include "runtime/event_id.h"
#include "runtime/exit_codes.h"
#include "runtime/local_time_text.h"
#include "runtime/take_rhythm.h"

namespace runtime {

namespace {

// Made before main runs, so that a signal handler may write to it.
const int g_interrupt_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

void Drain(int fd) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t taken = read(fd, &count, sizeof count);
}

// Completed cycles reported by the polling threads, and pokes (a system
// needs a look), taken by the main thread.
class CycleQueue {
 public:
  using Clock = std::chrono::steady_clock;

  CycleQueue() : ready_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~CycleQueue() {
    if (ready_fd_ >= 0) close(ready_fd_);
  }
  CycleQueue(const CycleQueue&) = delete;
  CycleQueue& operator=(const CycleQueue&) = delete;

  void Push(std::size_t system) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(system);
    }
    Poke();
  }
  void Poke() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(ready_fd_, &one, sizeof one);
  }
  // Waits until a report or a poke is there, `until`, or an interrupt;
  // takes all reports that are there. Reports and pokes wait for
  // `not_before` (an interrupt does not): many systems' cycles then cost
  // one wake-up, not one each.
  std::deque<std::size_t> Take(Clock::time_point until,
                               Clock::time_point not_before = Clock::time_point::min()) {
    pollfd fds[2] = {{g_interrupt_fd, POLLIN, 0}, {ready_fd_, POLLIN, 0}};
    const bool resting = not_before > Clock::now() && not_before < until;
    if (poll(fds, resting ? 1 : 2, Timeout(resting ? not_before : until)) > 0 || resting) {
      if (resting && fds[0].revents == 0) {
        fds[1].revents = 0;
        poll(fds, 2, Timeout(until));
      }
      // Taken whether or not it was for this run: a stale one must not keep
      // every later wait from sleeping.
      if (fds[0].revents != 0) Drain(g_interrupt_fd);
      if (fds[1].revents != 0) Drain(ready_fd_);
    }
    std::deque<std::size_t> taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(pending_);
    return taken;
  }

 private:
  static int Timeout(Clock::time_point until) {
    const Clock::time_point now = Clock::now();
    if (until <= now) return 0;
    if (until - now >= std::chrono::milliseconds(INT_MAX)) return -1;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
  }

  int ready_fd_;
  std::mutex mutex_;
  std::deque<std::size_t> pending_;
};

}  // namespace

void WakeForInterrupt() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(g_interrupt_fd, &one, sizeof one);
}

Runtime::Runtime(RuntimeOptions options) : options_(std::move(options)) {}

Runtime::~Runtime() {
  for (const std::unique_ptr<PowerSystem>& system : systems_) system->Stop();
  events_.Close();
}

int Runtime::Prepare(const std::vector<SystemConfig>& systems,
                     const std::vector<ConfigProblem>& problems) {
  for (const ConfigProblem& problem : problems) events_.Problem("", problem.Message());

  std::string error;
  if (!loader_.Load(options_.plugin_path, error)) {
    events_.Problem("", error);
    return exit_codes::kPlugin;
  }
  providers_ = loader_.GetProviders();
  if (providers_.empty()) {
    events_.Problem("", "the plug-in offers no device type to poll: " + loader_.Path() +
                            " returned no providers");
    return exit_codes::kPlugin;
  }
  bool port_failed = false;
  bool not_configured = false;
  for (const ConfigProblem& problem : problems) not_configured |= problem.not_configured;
  for (const SystemConfig& config : systems) {
    for (const auto& id : DataIds(config)) configured_ids_.insert(id.first);
    ConfigProblem problem;
    std::unique_ptr<PowerSystem> system =
        PowerSystem::Create(config, providers_, events_, options_.system, problem);
    const bool made = system != nullptr;
    if (!made || !system->OpenPort(problem)) {
      events_.Problem("", problem.Message() + "; this system does not run");
      port_failed = port_failed || made;
      continue;
    }
    systems_.push_back(std::move(system));
  }
  if (systems_.empty()) {
    if (port_failed) {
      events_.Problem("", "no power system can run");
      return exit_codes::kNothingToRun;
    }
    // Only the configuration stands in the way: trying again cannot help.
    if (not_configured) {
      events_.Problem("",
                      "not configured: no power system has a serial port yet; set \"port\" "
                      "in the configuration, check it with korvan-host check, then start again");
      return exit_codes::kNotConfigured;
    }
    events_.Problem("", "no power system can run");
    return exit_codes::kConfigRefused;
  }
  restored_.assign(systems_.size(), false);
  return exit_codes::kOk;
}

void Runtime::Restore(CacheSource& source) {
  for (std::size_t i = 0; i < systems_.size(); ++i) {
    restored_[i] = systems_[i]->Restore(source) > 0;
  }
}

void Runtime::ClearAlarmsOfUnconfiguredDevices(CacheSource& source) {
  // An alarm of a device that the configuration no longer has (a unit taken
  // out) would stay active for ever: nothing can raise or clear it again.
  const std::string now = LocalTimeText(host_clock::LocalNow());
  for (const AlarmEvent& raise : source.ActiveAlarms()) {
    if (configured_ids_.count(raise.data_id) != 0) continue;
    events_.Note("", "alarm " + raise.id + " of data id " + std::to_string(raise.data_id) +
                         " cleared: no configured system has that device");
    AlarmEvent clear = raise;
    clear.raised = false;
    clear.time = now;
    clear.event_id = ClearEventId("", clear, raise);
    events_.Alarm("", clear);
  }
}

void Runtime::PublishSummary(SystemSummary summary) {
  auto shared = std::make_shared<const SystemSummary>(std::move(summary));
  RuntimeEvent event;
  event.kind = RuntimeEvent::Kind::kSummary;
  event.system = shared->system;
  event.time = host_clock::LocalNow();
  event.summary = shared;
  RuntimeEvent health = event;
  health.kind = RuntimeEvent::Kind::kLineHealth;
  health.summary.reset();
  health.line = shared->line;
  events_.Publish(std::move(event));
  events_.Publish(std::move(health));
}

void Runtime::PublishState(std::size_t i, const std::string& reason) {
  if (options_.summaries) {
    PublishSummary(systems_[i]->Summarize(reason));
    return;
  }
  RuntimeEvent health;
  health.kind = RuntimeEvent::Kind::kLineHealth;
  health.system = systems_[i]->Name();
  health.time = host_clock::LocalNow();
  health.line = systems_[i]->Health();
  events_.Publish(std::move(health));
}

int Runtime::Run(const std::atomic<bool>& interrupted) {
  using Clock = std::chrono::steady_clock;
  CycleQueue cycles;
  const std::size_t count = systems_.size();
  std::vector<std::uint64_t> summarised(count, 0);
  std::vector<Clock::time_point> last_summary(count, Clock::now());
  std::vector<bool> warned(count, false);

  // What is polled, for the operator: the systems, then one line each.
  std::string names;
  for (const std::unique_ptr<PowerSystem>& system : systems_) {
    names += (names.empty() ? "" : ", ") + system->Name();
  }
  events_.Note(
      "", "polling " + std::to_string(count) + (count == 1 ? " system: " : " systems: ") + names);
  for (const std::unique_ptr<PowerSystem>& system : systems_) {
    events_.Note(system->Name(), system->Plan());
  }
  for (std::size_t i = 0; i < count; ++i) {
    // Restored points are readable before the first cycle.
    if (restored_[i] && options_.summaries) PublishSummary(systems_[i]->Summarize("restored"));
    systems_[i]->SetCycleListener([&cycles, i] { cycles.Push(i); });
    systems_[i]->SetAttentionListener([&cycles] { cycles.Poke(); });
  }
  // The listeners point at `cycles`: every system stops before it goes, also
  // when this function ends by an exception.
  struct StopAll {
    std::vector<std::unique_ptr<PowerSystem>>& systems;
    ~StopAll() {
      for (const std::unique_ptr<PowerSystem>& system : systems) system->Stop();
    }
  } stop_all{systems_};
  for (const std::unique_ptr<PowerSystem>& system : systems_) system->Start();
  StartWatch();
  struct WatchStopper {
    Runtime& runtime;
    ~WatchStopper() { runtime.StopWatch(); }
  } watch_stopper{*this};

  const Clock::time_point start = Clock::now();
  constexpr std::chrono::milliseconds kRest(1000);
  TakeRhythm rhythm(kRest);
  bool resting = false;
  // A system whose communication is lost or whose configuration does not
  // fit will complete no cycle: it ends a run that waits for cycles too.
  auto all_done = [&] {
    if (options_.cycles == 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (summarised[i] < options_.cycles && !systems_[i]->Failing()) return false;
    }
    return true;
  };
  while (!interrupted.load() && !all_done()) {
    if (options_.duration.count() > 0 && Clock::now() - start >= options_.duration) break;
    // Until the run's end or the next waiting summary, unless a cycle,
    // a poke or an interrupt comes first.
    Clock::time_point until = Clock::time_point::max();
    if (options_.duration.count() > 0) until = start + options_.duration;
    for (std::size_t i = 0; i < count; ++i) {
      until = std::min(until, last_summary[i] + options_.waiting_summary);
    }
    main_progress_.SleepUntil(until);
    const auto completed =
        cycles.Take(until, resting ? rhythm.Last() + kRest : Clock::time_point::min());
    main_progress_.Touch();
    // Cycles that complete often (many systems) are taken once per kRest:
    // from the third in a row less than that apart, while they keep coming.
    if (!completed.empty()) {
      resting = rhythm.Take(Clock::now()) || resting;
    } else {
      resting = false;
    }
    // What this wake-up publishes reaches the outputs as one batch.
    EventBatch batch(events_);
    for (std::size_t i : completed) {
      PublishState(i, "cycle");
      ++summarised[i];
      last_summary[i] = Clock::now();
      warned[i] = false;
    }
    // A system that completes no cycle is shown now and then, and at once
    // when it starts repeating a request.
    for (std::size_t i = 0; i < count; ++i) {
      // Repeating a request, or failing (communication lost, counts that do
      // not fit): shown at once, then now and then.
      const bool repeating = systems_[i]->Repeating() || systems_[i]->Failing();
      const bool show =
          Clock::now() - last_summary[i] >= options_.waiting_summary || (repeating && !warned[i]);
      if (repeating && !warned[i] && !options_.summaries && systems_[i]->Repeating()) {
        // Without summaries, the warning they carry is a line of its own.
        const LineHealth line = systems_[i]->Health();
        events_.Problem(systems_[i]->Name(), "no usable reply from the power system: request " +
                                                 line.repeated_request + " sent " +
                                                 std::to_string(line.repeated_times) +
                                                 " times in a row without a cycle completing");
      }
      warned[i] = warned[i] || repeating;
      if (!show) continue;
      PublishState(i, "waiting");
      last_summary[i] = Clock::now();
    }
  }
  // The end's waits (the threads stopping, the outputs flushing) are no stall.
  StopWatch();
  for (const std::unique_ptr<PowerSystem>& system : systems_) system->Stop();
  int result = exit_codes::kOk;
  for (std::size_t i = 0; i < count && options_.cycles != 0; ++i) {
    if (summarised[i] >= options_.cycles) continue;
    events_.Problem(systems_[i]->Name(), "completed " + std::to_string(summarised[i]) + " of the " +
                                             std::to_string(options_.cycles) + " cycles asked for");
    result = exit_codes::kCyclesIncomplete;
  }
  // Every output has what happened before the run ends.
  events_.Flush();
  return result;
}

void Runtime::StartWatch() {
  Watchdog watchdog;
  watchdog.Watch(
      {"the runtime's main thread", [this] { return main_progress_.Due(); }, kPollingStallBound});
  for (const std::unique_ptr<PowerSystem>& system : systems_) {
    const PowerSystem* raw = system.get();
    watchdog.Watch({"the polling thread of system \"" + raw->Name() + "\"",
                    [raw] { return raw->Progress().Due(); }, kPollingStallBound});
  }
  for (auto& [name, busy_since] : events_.BusyProbes()) {
    watchdog.Watch({"output \"" + name + "\"", std::move(busy_since), kOutputStallBound});
  }
  main_progress_.Touch();
  auto watch = std::make_unique<ThreadWatch>(std::move(watchdog));
  std::lock_guard<std::mutex> lock(watch_mutex_);
  watch_ = std::move(watch);
}

void Runtime::StopWatch() {
  std::unique_ptr<ThreadWatch> watch;
  std::lock_guard<std::mutex> lock(watch_mutex_);
  watch.swap(watch_);
  // (the watch stops when `watch` goes, after the lock is released)
}

std::string Runtime::LateThreads() const {
  std::lock_guard<std::mutex> lock(watch_mutex_);
  return watch_ ? watch_->Late() : std::string();
}

}  // namespace runtime
