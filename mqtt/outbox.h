#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/record_store.h"

namespace mqtt {

// How much the outbox holds during an outage; 0 means no bound of that kind.
// The bounds cover every message. Over them, records go first (every other
// one of the oldest part); alarm and communication events go only when
// events alone exceed a bound, the oldest first.
struct OutboxLimits {
  std::uint64_t rows = 100000;
  std::uint64_t bytes = 64ull << 20;  // payload bytes
};

// The uplink's messages that the broker has not acknowledged, in seq order:
// which are in the database, which are in flight, which the replay of the
// backlog sends next. Stored messages keep only their seq and size in
// memory; their topic and payload are read back when they are sent. Not
// thread-safe: the uplink guards it.
class Outbox {
 public:
  using Clock = std::chrono::steady_clock;
  using Row = runtime::OutboxRow;

  // `first_seq`: the first message number of this run; numbers up to
  // `reserved` are known to stay unused after a restart; `block` more are
  // reserved each time half of the reserve is used.
  Outbox(OutboxLimits limits, std::int64_t first_seq, std::int64_t reserved, std::int64_t block);

  // A message the database held at the start (its payload stays there).
  void Restore(const Row& row, std::size_t bytes);
  // The seq that the next message takes.
  std::int64_t NextSeq() const { return next_seq_; }
  // A new message, which takes the next seq (returned). Over the limits,
  // every other record of the oldest part is dropped, then (events alone
  // over them) the oldest events, down to nine tenths of the limits.
  std::int64_t Add(Row row, Clock::time_point now);
  // The broker took message `seq` as `mid` in this connection.
  void Sent(std::int64_t seq, int mid);
  // The broker acknowledged `mid`.
  void Acked(int mid);
  // The connection is gone: what was in flight is sent again, in seq order.
  void ConnectionLost();
  // The next message of the backlog not yet sent in this connection, with
  // topic and payload when it holds them (empty when the database does);
  // empty when none is left.
  std::optional<Row> NextBacklog();
  // Whether NextBacklog has a message to give.
  bool HasBacklog() const;
  // A message the backlog asked for is gone from the database too.
  void Forget(std::int64_t seq);

  // The store writer's side (StoreWriter's OutboxLink).
  Clock::time_point WaitingSince() const;
  void Collect(Clock::time_point now, Clock::duration grace, bool everything,
               runtime::StoreBatch& batch);
  void Committed(const runtime::StoreBatch& batch);
  void NotCommitted(const runtime::StoreBatch& batch);

  std::uint64_t Count() const { return entries_.size(); }
  std::uint64_t Bytes() const { return bytes_; }
  // Messages dropped because the outbox was full, in all and of each kind.
  std::uint64_t Dropped() const { return dropped_records_ + dropped_events_; }
  std::uint64_t DroppedRecords() const { return dropped_records_; }
  std::uint64_t DroppedEvents() const { return dropped_events_; }
  bool InFlight(std::int64_t seq) const;

 private:
  struct Entry {
    bool record = false;
    bool retained = false;
    std::string topic;    // empty once stored
    std::string payload;  // empty once stored
    std::size_t bytes = 0;
    Clock::time_point offered;
    bool stored = false;
    bool storing = false;  // in a commit under way
    bool sent = false;     // handed to the broker in this connection
  };
  void Erase(std::map<std::int64_t, Entry>::iterator entry);
  void Thin();

  OutboxLimits limits_;
  std::int64_t next_seq_;
  std::int64_t reserved_;
  std::int64_t block_;
  std::map<std::int64_t, Entry> entries_;
  std::set<std::int64_t> unstored_;
  std::map<int, std::int64_t> in_flight_;  // mid → seq
  std::vector<std::int64_t> to_delete_;    // stored, acknowledged or dropped since
  Clock::time_point delete_since_ = Clock::time_point::max();
  std::int64_t cursor_ = 0;  // the backlog is sent up to here in this connection
  std::uint64_t bytes_ = 0;
  std::uint64_t dropped_records_ = 0;
  std::uint64_t dropped_events_ = 0;
};

}  // namespace mqtt
