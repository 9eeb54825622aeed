#include "http/query_gate.h"

namespace http_output {

void QueryGate::Reap() {
  for (auto slot = slots_.begin(); slot != slots_.end();) {
    if (!slot->done) {
      ++slot;
      continue;
    }
    // Its job ended: the thread only has its return left.
    slot->thread.join();
    slot = slots_.erase(slot);
  }
}

bool QueryGate::TryRun(Job job) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reap();
  if (cancel_.load() || running_ >= limit_) return false;
  ++running_;
  Slot& slot = slots_.emplace_back();
  // The thread marks its slot under the lock, so it cannot before the
  // assignment below is done.
  slot.thread = std::thread([this, &slot, job = std::move(job)] {
    job(cancel_);
    std::lock_guard<std::mutex> done(mutex_);
    --running_;
    slot.done = true;
  });
  return true;
}

void QueryGate::CancelAndJoin() {
  cancel_.store(true);
  std::list<Slot> slots;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slots.splice(slots.end(), slots_);
  }
  // The jobs still take the lock to mark their slots, which stay valid in
  // `slots` until joined.
  for (Slot& slot : slots) slot.thread.join();
}

}  // namespace http_output
