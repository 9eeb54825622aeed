#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace http_output {

// Runs the store's queries off the server's thread, at most `limit` at a
// time: a slow query holds its worker alone, never the server's thread. The
// workers are started as needed and kept, so a query costs no thread start
// and each worker keeps its own store connection (see store_reader.h).
class QueryGate {
 public:
  explicit QueryGate(std::size_t limit) : limit_(limit) {}
  ~QueryGate() { CancelAndJoin(); }
  QueryGate(const QueryGate&) = delete;
  QueryGate& operator=(const QueryGate&) = delete;

  using Job = std::function<void(const std::atomic<bool>& cancel)>;
  // Starts `job`, and runs `then` once its place is free again; false (and
  // neither run) when `limit` jobs are running or waiting, or the gate was
  // cancelled. `then` hands the answer over: a client that sends its next
  // query as soon as it has the answer finds the place free.
  bool TryRun(Job job, std::function<void()> then);
  // Sets every job's `cancel`, refuses new jobs, runs none of those waiting
  // (each was given a worker that will see `cancel` set) and joins the workers.
  void CancelAndJoin();

 private:
  void Work();

  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  struct Task {
    Job job;
    std::function<void()> then;
  };
  std::deque<Task> waiting_;
  std::vector<std::thread> workers_;
  std::size_t busy_ = 0;  // jobs waiting or running
  std::atomic<bool> cancel_{false};
};

}  // namespace http_output
