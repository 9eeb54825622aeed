#pragma once

#include <chrono>

namespace runtime {

// Whether a thread's takes (wake-ups that found work) come often: the third
// in a row less than `interval` after the one before. Two takes close
// together, such as the two batches of one system's cycle, are not yet often.
class TakeRhythm {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TakeRhythm(Clock::duration interval) : interval_(interval) {}

  // Notes a take at `now`; true when takes come often.
  bool Take(Clock::time_point now) {
    const bool short_now = taken_ && now - last_ < interval_;
    const bool often = short_now && short_gap_;
    short_gap_ = short_now;
    last_ = now;
    taken_ = true;
    return often;
  }
  // The last take's time.
  Clock::time_point Last() const { return last_; }

 private:
  Clock::duration interval_;
  Clock::time_point last_{};
  bool taken_ = false;
  bool short_gap_ = false;
};

}  // namespace runtime
