#include "runtime/thread_watch.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "runtime/exit_codes.h"
#include "runtime/thread_name.h"

namespace runtime {

namespace {

// One line on standard error, with the journal's priority prefix under
// systemd: written whatever the console output's state.
void WriteError(const std::string& text) {
  const std::string line = std::string(std::getenv("JOURNAL_STREAM") != nullptr ? "<3>" : "") +
                           "korvan-host: " + text + "\n";
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

ThreadWatch::ThreadWatch(Watchdog watchdog) : watchdog_(std::move(watchdog)) {
  sd_notify(0, "READY=1");
  thread_ = std::thread([this] { Loop(); });
}

ThreadWatch::~ThreadWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  sd_notify(0, "STOPPING=1");
}

std::string ThreadWatch::Late() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return late_;
}

namespace {

constexpr std::chrono::microseconds kTick = std::chrono::seconds(3);

}  // namespace

void ThreadWatch::Loop() {
  NameThisThread("thread watch");
  using Clock = Watchdog::Clock;
  std::uint64_t watchdog_usec = 0;
  const bool systemd_watchdog = sd_watchdog_enabled(0, &watchdog_usec) > 0;
  const auto ping_every = std::chrono::microseconds(watchdog_usec / 2);
  Clock::time_point pinged = Clock::now() - ping_every;  // the first tick pings
  // The bounds are tens of seconds: a look every few seconds tells a late
  // thread soon enough; systemd's watchdog may want its pings more often.
  std::chrono::microseconds tick = kTick;
  if (systemd_watchdog)
    tick = std::max(std::min(tick, ping_every / 2), std::chrono::microseconds(1000));
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, tick, [this] { return done_; })) {
    lock.unlock();
    const std::vector<Watchdog::Finding> findings = watchdog_.Check(Clock::now());
    const std::string text = DescribeFindings(findings);
    bool stalled = false;
    for (const Watchdog::Finding& finding : findings) stalled = stalled || finding.stalled;
    if (stalled) {
      WriteError("watchdog: " + text + "; ending the process (exit code 13) to be restarted");
      std::_Exit(exit_codes::kStalled);
    }
    lock.lock();
    if (!text.empty() && late_.empty()) {
      lock.unlock();
      WriteError("watchdog: " + text);
      lock.lock();
    }
    late_ = text;
    if (systemd_watchdog && late_.empty() && Clock::now() - pinged >= ping_every) {
      sd_notify(0, "WATCHDOG=1");
      pinged = Clock::now();
    }
  }
}

}  // namespace runtime
