#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "host/pmbus_frame.h"

// Line-quality figures of one serial device, as the runtime shows them.
struct LineQuality {
  std::uint64_t frames_good = 0;  // valid frames that reached the device
  std::array<std::uint64_t, pmbus_frame::kDropReasons> dropped{};  // by pmbus_frame::Drop
  std::uint64_t error_replies = 0;  // replies with a return code other than 0
  std::uint64_t lost_replies = 0;   // requests whose reply did not come in time
  std::uint64_t send_failures = 0;  // requests the line did not take
  // Requests sent again as soon as the line went quiet after a damaged reply,
  // instead of after the time-out.
  std::uint64_t early_repeats = 0;

  std::uint64_t Dropped(pmbus_frame::Drop reason) const {
    return dropped[static_cast<std::size_t>(reason)];
  }
  std::uint64_t DroppedTotal() const {
    std::uint64_t total = 0;
    for (std::uint64_t count : dropped) total += count;
    return total;
  }
};

// The counters behind LineQuality. The line's thread counts; any thread may
// take a snapshot.
class LineCounters {
 public:
  void CountGood() { Bump(frames_good_); }
  void CountDropped(pmbus_frame::Drop reason) { Bump(dropped_[static_cast<std::size_t>(reason)]); }
  void CountErrorReply() { Bump(error_replies_); }
  void CountLost() { Bump(lost_replies_); }
  void CountSendFailure() { Bump(send_failures_); }
  void CountEarlyRepeat() { Bump(early_repeats_); }
  std::uint64_t Lost() const { return lost_replies_.load(std::memory_order_relaxed); }

  LineQuality Snapshot() const {
    LineQuality quality;
    quality.frames_good = frames_good_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < dropped_.size(); ++i) {
      quality.dropped[i] = dropped_[i].load(std::memory_order_relaxed);
    }
    quality.error_replies = error_replies_.load(std::memory_order_relaxed);
    quality.lost_replies = lost_replies_.load(std::memory_order_relaxed);
    quality.send_failures = send_failures_.load(std::memory_order_relaxed);
    quality.early_repeats = early_repeats_.load(std::memory_order_relaxed);
    return quality;
  }

 private:
  using Counter = std::atomic<std::uint64_t>;
  static void Bump(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

  Counter frames_good_{0};
  std::array<Counter, pmbus_frame::kDropReasons> dropped_{};
  Counter error_replies_{0};
  Counter lost_replies_{0};
  Counter send_failures_{0};
  Counter early_repeats_{0};
};
