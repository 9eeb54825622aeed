#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace runtime {

// Where a thread that must not stall says how it is doing, for the watchdog:
// it touches the mark at every step, and before it sleeps it says until when
// (a wait is then not a stall). Lock-free: read from the watchdog's thread.
class ProgressMark {
 public:
  using Clock = std::chrono::steady_clock;

  ProgressMark() { Touch(); }
  // A step was made now; the thread is back at work.
  void Touch() { Store(Clock::now()); }
  // The thread sleeps until `until` at the latest (it may wake earlier).
  void SleepUntil(Clock::time_point until) { Store(std::max(until, Clock::now())); }
  // Since when the thread owes a step: its last touch or the end of its sleep.
  Clock::time_point Due() const { return Clock::time_point(Clock::duration(due_.load())); }

 private:
  void Store(Clock::time_point at) { due_.store(at.time_since_epoch().count()); }
  std::atomic<Clock::rep> due_{0};
};

}  // namespace runtime
