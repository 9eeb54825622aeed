#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "runtime/event_stream.h"
#include "store/outbox_link.h"
#include "store/record_store.h"

namespace runtime {

// How the store spares a controller's flash: every write of an interval goes
// into one transaction, history is kept at a chosen resolution, and cache
// rows, which only a restart reads, are written rarely.
struct StoreWriterOptions {
  // History rows and alarm events are committed at most this long after they
  // happened: what a crash or a power cut can lose.
  std::chrono::milliseconds commit_interval{5000};
  // One history row per device at most every this long (0: every record the
  // device saves).
  std::chrono::milliseconds history_every{60000};
  // With history kept in steps, the rows of this many steps share a commit:
  // the first row of every N-th step calls for one, or at most N steps of
  // time after the first row waiting. Each commit writes a few pages and
  // their journal copies with syncs whatever it carries, so fewer commits
  // spare the flash; a power cut loses at most N rows per device. Alarm
  // events, a device's first record and driver restarts still go within the
  // commit interval and take the waiting rows along. 1: every step's rows
  // call for a commit at once.
  std::size_t history_commit_steps = 2;
  // Cache rows are written at most this long after their record changed,
  // and when the runtime stops. A device's first record of a run (a new
  // device, or one a driver restart replaced) is written at the next commit
  // instead, so that a crash soon after a start still leaves a restore. A
  // restart shows restored records only until the first cycle completes,
  // and they are old by then anyway.
  std::chrono::milliseconds cache_interval{300000};
  // While the database refuses writes, at most this many history rows and
  // alarm events wait; the oldest go first, and the loss is reported on the
  // stream. The store keeps no more alarm events than its bound anyway.
  std::size_t max_waiting_rows = 20000;
  std::size_t max_waiting_alarms = 10000;
  // What falls outside the store's bound is dropped this often, not by every
  // commit: deleting old rows rewrites their pages and the index's, which
  // costs a full database's commits more than their new rows. The first
  // commit of a run starts a pass (a store left beyond its bound by a long
  // stop or a lowered bound is brought to it at once), then one starts an
  // interval after the last ended (and korvan-host's run prunes one batch
  // when it ends, so a stopped store holds its bounds). A pass rides on the
  // commits: each drops
  // at most prune_batch rows, so that none takes long, until none is left.
  // The bound is thus exceeded by at most one interval of rows, and after a
  // long stop or a lowered bound until the excess has gone, a batch a commit.
  std::chrono::milliseconds prune_interval{3600000};
  std::size_t prune_batch = 1000;
};

// The store as an output of the event stream: a published record replaces
// its device's cache row, a saved record becomes a history row, alarm raises
// and clears become alarm events, and a driver restart discards the cache
// rows of the devices it replaced. Writes are collected and committed
// together (StoreWriterOptions); a flush of the stream commits everything.
// A failed commit is reported on the stream (once until the failure changes)
// and tried again an interval later with what came since. Rows dropped
// because too many waited are reported when dropping starts, at every flush
// while it lasts, and with their total when a commit succeeds again.
class StoreWriter : public EventSubscriber {
 public:
  StoreWriter(std::shared_ptr<RecordStore> store, EventStream& events,
              StoreWriterOptions options = StoreWriterOptions());
  // With `link`, records, alarm events and communication events are also
  // handed to it, and its outbox rows written in the same commits.
  StoreWriter(std::shared_ptr<RecordStore> store, EventStream& events, StoreWriterOptions options,
              std::shared_ptr<OutboxLink> link);

  void OnEvent(const RuntimeEvent& event) override;
  bool Wants(RuntimeEvent::Kind kind) const override {
    using Kind = RuntimeEvent::Kind;
    return kind == Kind::kRecordPublished || kind == Kind::kHistorySaved || kind == Kind::kAlarm ||
           kind == Kind::kDriverRestarted || kind == Kind::kCommunication;
  }
  // Records and history rows wait in memory for their commit anyway: taken
  // once a second while they come often; the rest at once.
  std::chrono::milliseconds Patience() const override { return std::chrono::milliseconds(1000); }
  bool Prompt(RuntimeEvent::Kind kind) const override {
    return kind != RuntimeEvent::Kind::kRecordPublished &&
           kind != RuntimeEvent::Kind::kHistorySaved;
  }
  Clock::time_point NextDeadline() override;
  void OnDeadline() override { Commit(Clock::now(), false); }
  void OnSync() override { Commit(Clock::now(), true); }

  // Commits made, and history rows and alarm events left out because too
  // many waited.
  std::uint64_t Commits() const { return commits_.load(); }
  std::uint64_t DroppedRows() const { return dropped_rows_.total.load(); }
  std::uint64_t DroppedAlarmEvents() const { return dropped_alarms_.total.load(); }

 private:
  // Writes what waits; the cache rows too when their interval is over or
  // `everything` is asked for.
  void Commit(Clock::time_point now, bool everything);
  void Waiting(Clock::time_point now);
  // How long history rows wait at most for a commit.
  std::chrono::milliseconds HistoryWait() const;
  void Report(const std::string& problem);

  // What was dropped of one kind of row while the database refused writes.
  struct Dropped {
    const char* what;  // "history rows", "alarm events"
    std::atomic<std::uint64_t> total{0};
    std::uint64_t since_refused = 0;  // since the last successful commit
    std::uint64_t reported = 0;       // of since_refused, last told
  };
  // Drops the oldest of `rows` beyond `bound` and reports when dropping starts.
  template <typename Rows>
  void Bound(Rows& rows, std::size_t bound, Dropped& dropped);
  // Tells how many were dropped so far, or in all once writes succeed again.
  void ReportDropped(Dropped& dropped, bool accepted);

  std::shared_ptr<RecordStore> store_;
  std::shared_ptr<OutboxLink> link_;
  EventStream& events_;
  StoreWriterOptions options_;
  StoreBatch waiting_;  // history, alarm events and dropped cache rows
  // The newest record of each device, and whether it is yet to be written.
  struct CacheEntry {
    StoreBatch::Row row;
    bool dirty = false;
    bool written = false;  // in this run, since the device was made
  };
  std::map<DeviceKey, CacheEntry> cache_;
  // The time and clock step of each device's last history row.
  std::map<DeviceKey, std::pair<boost::posix_time::ptime, std::int64_t>> last_history_;
  Clock::time_point waiting_since_ = Clock::time_point::max();
  // History rows that wait for more steps since then; the step whose first
  // row last called for a commit.
  Clock::time_point history_since_ = Clock::time_point::max();
  std::int64_t history_anchor_ = 0;
  bool history_anchored_ = false;
  Clock::time_point cache_dirty_since_ = Clock::time_point::max();
  Clock::time_point next_prune_ = Clock::time_point::min();  // a pass is due from then
  std::atomic<std::uint64_t> commits_{0};
  Dropped dropped_rows_{"history rows"};
  Dropped dropped_alarms_{"alarm events"};
  std::string last_error_;
};

}  // namespace runtime
