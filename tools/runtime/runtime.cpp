#include "tools/runtime/runtime.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "tools/runtime/exit_codes.h"

namespace runtime {

namespace {

// Completed cycles reported by the polling threads, taken by the main thread.
class CycleQueue {
 public:
  void Push(std::size_t system) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(system);
    }
    ready_.notify_one();
  }
  // Waits up to `timeout` for reports; takes all that are there.
  std::deque<std::size_t> Take(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [this] { return !pending_.empty(); });
    std::deque<std::size_t> taken;
    taken.swap(pending_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::size_t> pending_;
};

}  // namespace

Runtime::Runtime(RuntimeOptions options, RuntimeOutput& output)
    : options_(std::move(options)), output_(output) {}

Runtime::~Runtime() {
  for (const std::unique_ptr<PowerSystem>& system : systems_) system->Stop();
}

int Runtime::Prepare(const std::vector<SystemConfig>& systems,
                     const std::vector<ConfigProblem>& problems) {
  for (const ConfigProblem& problem : problems) output_.Problem("", problem.Message());

  std::string error;
  if (!loader_.Load(options_.plugin_path, error)) {
    output_.Problem("", error);
    return exit_codes::kPlugin;
  }
  providers_ = loader_.GetProviders();
  if (providers_.empty()) {
    output_.Problem("", "plug-in " + loader_.Path() + " returned no providers");
    return exit_codes::kPlugin;
  }
  for (const SystemConfig& config : systems) {
    ConfigProblem problem;
    std::unique_ptr<PowerSystem> system =
        PowerSystem::Create(config, providers_, output_, options_.system, problem);
    if (!system || !system->OpenPort(problem)) {
      output_.Problem("", problem.Message() + "; this system does not run");
      continue;
    }
    systems_.push_back(std::move(system));
  }
  if (systems_.empty()) {
    output_.Problem("", "no power system can run");
    return exit_codes::kNothingToRun;
  }
  try {
    store_ = std::make_shared<RecordStore>(options_.db_path, options_.history);
    for (const std::unique_ptr<PowerSystem>& system : systems_) {
      system->UseStore(store_);
      restored_.push_back(system->Restore(*store_) > 0);
    }
  } catch (const StoreError& failure) {
    output_.Problem("", failure.what());
    return exit_codes::kDatabase;
  }
  return exit_codes::kOk;
}

int Runtime::Run(const std::atomic<bool>& interrupted) {
  using Clock = std::chrono::steady_clock;
  CycleQueue cycles;
  const std::size_t count = systems_.size();
  std::vector<std::uint64_t> summarised(count, 0);
  std::vector<Clock::time_point> last_summary(count, Clock::now());
  std::vector<bool> warned(count, false);

  for (std::size_t i = 0; i < count; ++i) {
    // Restored points are readable before the first cycle.
    if (restored_[i]) output_.Summary(systems_[i]->Summarize("restored"));
    systems_[i]->SetCycleListener([&cycles, i] { cycles.Push(i); });
  }
  for (const std::unique_ptr<PowerSystem>& system : systems_) system->Start();

  const Clock::time_point start = Clock::now();
  auto all_done = [&] {
    if (options_.cycles == 0) return false;
    for (std::uint64_t done : summarised) {
      if (done < options_.cycles) return false;
    }
    return true;
  };
  while (!interrupted.load() && !all_done()) {
    if (options_.duration.count() > 0 && Clock::now() - start >= options_.duration) break;
    for (std::size_t i : cycles.Take(std::chrono::milliseconds(100))) {
      output_.Summary(systems_[i]->Summarize("cycle"));
      ++summarised[i];
      last_summary[i] = Clock::now();
      warned[i] = false;
    }
    // A system that completes no cycle is shown now and then, and at once
    // when it starts repeating a request.
    for (std::size_t i = 0; i < count; ++i) {
      const bool repeating = systems_[i]->Repeating();
      const bool show =
          Clock::now() - last_summary[i] >= options_.waiting_summary || (repeating && !warned[i]);
      warned[i] = warned[i] || repeating;
      if (!show) continue;
      output_.Summary(systems_[i]->Summarize("waiting"));
      last_summary[i] = Clock::now();
    }
  }
  for (const std::unique_ptr<PowerSystem>& system : systems_) system->Stop();
  return exit_codes::kOk;
}

}  // namespace runtime
