#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/host_clock.h"

// Installs a fixed local time and a pause that only counts, for the life of
// the object; tests move the time by hand instead of sleeping.
class FrozenClock {
 public:
  explicit FrozenClock(boost::posix_time::ptime start = boost::posix_time::time_from_string(
                           "2026-12-08 10:00:00"))
      : now_(start) {
    host_clock::SetClock([this] { return now_; });
    host_clock::SetPause([this](unsigned int microseconds) {
      ++pauses_;
      last_pause_ = microseconds;
    });
  }
  ~FrozenClock() {
    host_clock::SetClock(nullptr);
    host_clock::SetPause(nullptr);
  }
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;

  boost::posix_time::ptime Now() const { return now_; }
  void Advance(int seconds) { now_ += boost::posix_time::seconds(seconds); }
  int pauses() const { return pauses_; }
  unsigned int last_pause() const { return last_pause_; }

 private:
  boost::posix_time::ptime now_;
  int pauses_ = 0;
  unsigned int last_pause_ = 0;
};
