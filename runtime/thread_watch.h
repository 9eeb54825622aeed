#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/watchdog.h"

namespace runtime {

// How long a thread may owe a step before it is stalled (half of it: late).
// A polling step waits at most a request's time-out (5.3 s at 9600 baud); an
// output handles one event in milliseconds, a commit on a slow card in
// seconds.
constexpr std::chrono::milliseconds kPollingStallBound{30000};
constexpr std::chrono::milliseconds kOutputStallBound{120000};

// Runs a watchdog on a thread of its own, every 3 s (more often when
// systemd's watchdog asks for pings more often). A late thread is
// written to standard error at once (directly: the event stream may be what
// is stuck) and fails the health check (Late()); a stalled one ends the
// process with exit code 13, which the service restarts. Under systemd it
// tells READY=1 at the start, STOPPING=1 at the end and, while nothing is
// late, WATCHDOG=1 as often as WatchdogSec= asks, so that a process wedged
// as a whole is restarted too.
class ThreadWatch {
 public:
  explicit ThreadWatch(Watchdog watchdog);
  ~ThreadWatch();
  ThreadWatch(const ThreadWatch&) = delete;
  ThreadWatch& operator=(const ThreadWatch&) = delete;

  // The late threads in one line; "" while every thread makes progress.
  std::string Late() const;

 private:
  void Loop();

  Watchdog watchdog_;
  mutable std::mutex mutex_;  // a leaf: nothing is called while it is held
  std::condition_variable wake_;
  bool done_ = false;
  std::string late_;
  std::thread thread_;
};

}  // namespace runtime
