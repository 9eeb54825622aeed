#include "store/store_writer.h"

#include <algorithm>
#include <boost/date_time/gregorian/gregorian_types.hpp>

namespace runtime {

namespace {

// History steps are counted from here: the minute steps are the clock's.
const boost::posix_time::ptime kEpoch(boost::gregorian::date(1970, 1, 1));

}  // namespace

StoreWriter::StoreWriter(std::shared_ptr<RecordStore> store, EventStream& events,
                         StoreWriterOptions options)
    : store_(std::move(store)), events_(events), options_(options) {}

StoreWriter::StoreWriter(std::shared_ptr<RecordStore> store, EventStream& events,
                         StoreWriterOptions options, std::shared_ptr<OutboxLink> link)
    : store_(std::move(store)), link_(std::move(link)), events_(events), options_(options) {}

void StoreWriter::Waiting(Clock::time_point now) {
  waiting_since_ = std::min(waiting_since_, now);
}

void StoreWriter::OnEvent(const RuntimeEvent& event) {
  using Kind = RuntimeEvent::Kind;
  const Clock::time_point now = Clock::now();
  if (link_ && (event.kind == Kind::kRecordPublished || event.kind == Kind::kAlarm ||
                event.kind == Kind::kCommunication)) {
    link_->Offer(event);
  }
  switch (event.kind) {
    case Kind::kCommunication:
      break;
    case Kind::kRecordPublished: {
      if (!event.record) return;
      CacheEntry& entry = cache_[event.device];
      entry.row =
          StoreBatch::Row{event.device.data_id, event.device.record_type, event.time, event.record};
      entry.dirty = true;
      cache_dirty_since_ = std::min(cache_dirty_since_, now);
      // A device's first record goes with the next commit: a crash before
      // the cache interval ends must not leave it nothing to restore.
      if (!entry.written) Waiting(now);
      break;
    }
    case Kind::kHistorySaved: {
      if (!event.record) return;
      // One row per step of the clock (a minute by default: the first record
      // of each), the same steps for every device, so that the rows of all
      // devices of a step go in one commit; a clock set back starts anew.
      const std::int64_t every = options_.history_every.count();
      const std::int64_t step = every > 0 ? (event.time - kEpoch).total_milliseconds() / every : 0;
      auto last = last_history_.find(event.device);
      if (last != last_history_.end() && every > 0) {
        const auto since = (event.time - last->second.first).total_milliseconds();
        if (since >= 0 && step == last->second.second) return;
      }
      last_history_[event.device] = {event.time, step};
      waiting_.history.push_back(StoreBatch::Row{event.device.data_id, event.device.record_type,
                                                 event.time, event.record});
      Bound(waiting_.history, options_.max_waiting_rows, dropped_rows_);
      if (every == 0 || options_.history_commit_steps <= 1) {
        Waiting(now);
        break;
      }
      // Every N steps the first row calls for a commit, which the rows of
      // that step's other devices join within the commit interval; those
      // that come later wait for the next one rather than call for their own.
      if (!history_anchored_ || step < history_anchor_) {
        history_anchor_ = step - 1;  // the first commit carries N steps too
        history_anchored_ = true;
      }
      history_since_ = std::min(history_since_, now);
      if (step >= history_anchor_ + static_cast<std::int64_t>(options_.history_commit_steps)) {
        history_anchor_ = step;
        Waiting(now);
      }
      break;
    }
    case Kind::kAlarm:
      waiting_.alarms.push_back(event.alarm);
      Bound(waiting_.alarms, options_.max_waiting_alarms, dropped_alarms_);
      Waiting(now);
      break;
    case Kind::kDriverRestarted:
      // The records of the replaced devices must not come back at a restart.
      for (std::uint32_t data_id : event.data_ids) {
        for (auto entry = cache_.begin(); entry != cache_.end();) {
          entry = entry->first.data_id == data_id ? cache_.erase(entry) : std::next(entry);
        }
        waiting_.dropped_cache.push_back(data_id);
      }
      Waiting(now);
      break;
    default:
      return;
  }
  if (now >= NextDeadline()) Commit(now, false);
}

EventSubscriber::Clock::time_point StoreWriter::NextDeadline() {
  auto after = [](Clock::time_point since, std::chrono::milliseconds interval) {
    return since == Clock::time_point::max() ? since : since + interval;
  };
  Clock::time_point since = waiting_since_;
  if (link_) since = std::min(since, link_->WaitingSince());
  return std::min({after(since, options_.commit_interval), after(history_since_, HistoryWait()),
                   after(cache_dirty_since_, options_.cache_interval)});
}

std::chrono::milliseconds StoreWriter::HistoryWait() const {
  const auto steps = static_cast<std::chrono::milliseconds::rep>(
      std::max<std::size_t>(options_.history_commit_steps, 1));
  return std::max(options_.commit_interval, options_.history_every * steps);
}

void StoreWriter::Commit(Clock::time_point now, bool everything) {
  StoreBatch& batch = waiting_;
  batch.cache.clear();
  batch.outbox.clear();
  batch.outbox_acked.clear();
  batch.seq_reserved = 0;
  batch.prune = now >= next_prune_ ? std::max<std::size_t>(options_.prune_batch, 1) : 0;
  if (link_) link_->Collect(now, everything, batch);
  // Cache rows only when their interval is over: each commit that carries
  // them writes their pages once more. They also ride along a commit made
  // anyway when their interval would be over before the history's next one,
  // so that in steady state the cache costs no commit of its own.
  const bool cache_dirty = cache_dirty_since_ != Clock::time_point::max();
  bool firsts = false;  // a device's first record goes at once
  for (const auto& [key, entry] : cache_) firsts = firsts || (entry.dirty && !entry.written);
  const bool with_cache = everything ||
                          (cache_dirty && now >= cache_dirty_since_ + options_.cache_interval) ||
                          (cache_dirty && (firsts || !batch.Empty()) &&
                           now + HistoryWait() >= cache_dirty_since_ + options_.cache_interval);
  auto goes = [with_cache](const CacheEntry& entry) {
    return entry.dirty && (with_cache || !entry.written);
  };
  for (auto& [key, entry] : cache_) {
    if (goes(entry)) batch.cache.push_back(entry.row);
  }
  if (batch.Empty()) {
    waiting_since_ = Clock::time_point::max();
    history_since_ = Clock::time_point::max();
    if (with_cache) cache_dirty_since_ = Clock::time_point::max();
    return;
  }
  std::size_t pruned = 0;
  try {
    pruned = store_->Write(batch);
  } catch (const StoreError& error) {
    // Everything waits for the next attempt, an interval from now.
    if (link_) link_->NotCommitted(batch);
    batch.cache.clear();
    batch.outbox.clear();
    batch.outbox_acked.clear();
    batch.seq_reserved = 0;
    waiting_since_ = now;
    history_since_ = Clock::time_point::max();  // the retry takes them
    if (with_cache) cache_dirty_since_ = now - options_.cache_interval + options_.commit_interval;
    Report(error.what());
    if (everything) {
      ReportDropped(dropped_rows_, false);
      ReportDropped(dropped_alarms_, false);
    }
    return;
  }
  commits_.fetch_add(1);
  // A full batch may have left more for the next commit.
  if (batch.prune != 0 && pruned < batch.prune) next_prune_ = now + options_.prune_interval;
  if (link_) link_->Committed(batch);
  batch = StoreBatch();
  waiting_since_ = Clock::time_point::max();
  history_since_ = Clock::time_point::max();
  for (auto& [key, entry] : cache_) {
    if (!goes(entry)) continue;
    entry.dirty = false;
    entry.written = true;
  }
  if (with_cache) cache_dirty_since_ = Clock::time_point::max();
  Report("");
  ReportDropped(dropped_rows_, true);
  ReportDropped(dropped_alarms_, true);
}

template <typename Rows>
void StoreWriter::Bound(Rows& rows, std::size_t bound, Dropped& dropped) {
  if (rows.size() <= bound) return;
  const std::size_t excess = rows.size() - bound;
  rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(excess));
  dropped.total.fetch_add(excess);
  const bool starts = dropped.since_refused == 0;
  dropped.since_refused += excess;
  if (!starts) return;
  dropped.reported = dropped.since_refused;
  events_.Problem("", "more than " + std::to_string(bound) + " " + dropped.what +
                          " wait for the database, which refuses writes: the oldest are dropped (" +
                          std::to_string(dropped.since_refused) + " so far)");
}

void StoreWriter::ReportDropped(Dropped& dropped, bool accepted) {
  if (dropped.since_refused == 0) return;
  if (accepted) {
    events_.Problem("", std::to_string(dropped.since_refused) + " " + dropped.what +
                            " were dropped while the database refused writes");
    dropped.since_refused = 0;
    dropped.reported = 0;
    return;
  }
  if (dropped.since_refused == dropped.reported) return;
  dropped.reported = dropped.since_refused;
  events_.Problem("", std::to_string(dropped.since_refused) + " " + dropped.what +
                          " dropped so far: the database refuses writes");
}

void StoreWriter::Report(const std::string& problem) {
  if (problem == last_error_) return;
  last_error_ = problem;
  if (!problem.empty()) events_.Problem("", problem);
}

}  // namespace runtime
