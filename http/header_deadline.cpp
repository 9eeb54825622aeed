#include "http/header_deadline.h"

#include <sys/socket.h>

namespace http_output {

namespace {

constexpr std::chrono::milliseconds kSweepEvery{500};

}  // namespace

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
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[key] = Entry{fd, std::chrono::steady_clock::now(), true, false};
}

void HeaderDeadline::HeadersDone(const void* key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found != entries_.end()) found->second.waiting = false;
}

void HeaderDeadline::Answered(const void* key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return;
  found->second.waiting = true;
  found->second.start = std::chrono::steady_clock::now();
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
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kSweepEvery, [this] { return stopping_; })) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [key, entry] : entries_) {
      if (!entry.waiting || entry.shut || now - entry.start < deadline_) continue;
      shutdown(entry.fd, SHUT_RDWR);
      entry.shut = true;
      ++expired_;
    }
  }
}

}  // namespace http_output
