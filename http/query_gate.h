#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace http_output {

// Runs the store's queries off the server's thread, at most `limit` at a
// time, each on a thread of its own: a slow query holds its thread alone,
// never the server's.
class QueryGate {
 public:
  explicit QueryGate(std::size_t limit) : limit_(limit) {}
  ~QueryGate() { CancelAndJoin(); }
  QueryGate(const QueryGate&) = delete;
  QueryGate& operator=(const QueryGate&) = delete;

  using Job = std::function<void(const std::atomic<bool>& cancel)>;
  // Starts `job`; false (and `job` not run) when `limit` jobs are running or
  // the gate was cancelled.
  bool TryRun(Job job);
  // Sets every job's `cancel`, refuses new jobs and waits for those running.
  void CancelAndJoin();

 private:
  struct Slot {
    std::thread thread;
    bool done = false;
  };
  // Joins the threads whose jobs ended. Under mutex_.
  void Reap();

  const std::size_t limit_;
  std::mutex mutex_;
  std::list<Slot> slots_;
  std::size_t running_ = 0;
  std::atomic<bool> cancel_{false};
};

}  // namespace http_output
