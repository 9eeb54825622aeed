#include "host/host_clock.h"

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <utility>

namespace host_clock {
namespace {

ClockFunction& Clock() {
  static ClockFunction clock;
  return clock;
}

PauseFunction& PauseHook() {
  static PauseFunction pause;
  return pause;
}

// The time a capture holds on this thread while it handles a reply.
thread_local bool held = false;
thread_local boost::posix_time::ptime held_time;

}  // namespace

boost::posix_time::ptime LocalNow() {
  if (held) return held_time;
  if (Clock()) return Clock()();
  return boost::posix_time::second_clock::local_time();
}

void Pause(unsigned int microseconds) {
  if (PauseHook()) {
    PauseHook()(microseconds);
    return;
  }
  usleep(microseconds);
}

void HoldOnThisThread(const boost::posix_time::ptime& time) {
  held = true;
  held_time = time;
}

void ReleaseOnThisThread() {
  held = false;
}

bool ClockInstalled() {
  return static_cast<bool>(Clock());
}

void SetClock(ClockFunction clock) {
  Clock() = std::move(clock);
}
void SetPause(PauseFunction pause) {
  PauseHook() = std::move(pause);
}

}  // namespace host_clock
