#pragma once

#include <chrono>
#include <cstdint>

#include "runtime/event.h"
#include "store/record_store.h"

namespace runtime {

// A peer that must receive some events (the uplink): the store writer hands
// it those events at once, and at each commit writes the messages it has not
// yet had acknowledged into the outbox, in the transaction of the history
// they belong to. Called on the store writer's thread only; an implementation
// guards what its own threads share.
class OutboxLink {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~OutboxLink() = default;
  // A published record, an alarm event or a loss or return of communication.
  virtual void Offer(const RuntimeEvent& event) = 0;
  // Since when something waits to be written: a message neither acknowledged
  // nor stored, or a stored one acknowledged since; max() when nothing.
  virtual Clock::time_point WaitingSince() = 0;
  // Adds to `batch` what the commit at `now` writes: unacknowledged messages
  // (only those older than a moment, unless `everything`), the acknowledged
  // stored ones to delete, and a new reserve of message numbers.
  virtual void Collect(Clock::time_point now, bool everything, StoreBatch& batch) = 0;
  // `batch` was committed.
  virtual void Committed(const StoreBatch& batch) = 0;
  // The commit of `batch` failed; what it carried waits for the next.
  virtual void NotCommitted(const StoreBatch& batch) = 0;
};

}  // namespace runtime
