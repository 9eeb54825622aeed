#include "http/header_deadline.h"

#include <sys/socket.h>

#include <algorithm>

#include "runtime/thread_name.h"

namespace http_output {

HeaderDeadline::HeaderDeadline(std::chrono::milliseconds deadline)
    : deadline_(deadline), thread_([this] { Sweep(); }) {}

HeaderDeadline::~HeaderDeadline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HeaderDeadline::Opened(const void* key, int fd) {
  std::unique_lock<std::mutex> lock(mutex_);
  entries_[key] = Entry{fd, std::chrono::steady_clock::now(), true, false};
  WakeSweepFor(entries_[key], lock);
}

void HeaderDeadline::WakeSweepFor(const Entry& entry, std::unique_lock<std::mutex>& lock) {
  // Deadlines come in the order they start: the sweep is woken only when
  // it sleeps without one.
  if (entry.start + deadline_ >= sweep_at_) return;
  sweep_at_ = entry.start + deadline_;
  lock.unlock();
  wake_.notify_all();
}

void HeaderDeadline::HeadersDone(const void* key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found != entries_.end()) found->second.waiting = false;
}

void HeaderDeadline::Answered(const void* key) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return;
  found->second.waiting = true;
  found->second.start = std::chrono::steady_clock::now();
  WakeSweepFor(found->second, lock);
}

void HeaderDeadline::Closed(const void* key) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(key);
}

std::size_t HeaderDeadline::Expired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return expired_;
}

void HeaderDeadline::Sweep() {
  runtime::NameThisThread("http deadline");
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const auto now = Clock::now();
    sweep_at_ = Clock::time_point::max();
    for (auto& [key, entry] : entries_) {
      if (!entry.waiting || entry.shut) continue;
      if (now < entry.start + deadline_) {
        sweep_at_ = std::min(sweep_at_, entry.start + deadline_);
        continue;
      }
      shutdown(entry.fd, SHUT_RDWR);
      entry.shut = true;
      ++expired_;
    }
    // Until the next deadline, or until a connection waits when none did.
    if (sweep_at_ == Clock::time_point::max()) {
      wake_.wait(lock);
    } else {
      wake_.wait_until(lock, sweep_at_);
    }
  }
}

}  // namespace http_output
