#include "http/query_gate.h"

#include "runtime/thread_name.h"

namespace http_output {

bool QueryGate::TryRun(Job job, std::function<void()> then) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancel_.load() || busy_ >= limit_) return false;
  ++busy_;
  waiting_.push_back({std::move(job), std::move(then)});
  // A worker per job at most: one more only when every worker has a job.
  if (workers_.size() < busy_) {
    workers_.emplace_back([this] { Work(); });
  } else {
    wake_.notify_one();
  }
  return true;
}

void QueryGate::Work() {
  runtime::NameThisThread("http query");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !waiting_.empty() || cancel_.load(); });
    if (waiting_.empty()) return;  // cancelled and nothing left to answer
    Task task = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    // A job waiting when the gate was cancelled still runs: it sees `cancel`
    // set and answers its connection, which the server must resume.
    task.job(cancel_);
    task.job = nullptr;
    lock.lock();
    --busy_;
    lock.unlock();
    task.then();
    task.then = nullptr;
    lock.lock();
  }
}

void QueryGate::CancelAndJoin() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_.store(true);
    workers.swap(workers_);
  }
  wake_.notify_all();
  for (std::thread& worker : workers) worker.join();
}

}  // namespace http_output
