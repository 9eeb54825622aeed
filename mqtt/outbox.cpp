#include "mqtt/outbox.h"

#include <algorithm>

namespace mqtt {

Outbox::Outbox(OutboxLimits limits, std::int64_t first_seq, std::int64_t reserved,
               std::int64_t block)
    : limits_(limits), next_seq_(first_seq), reserved_(reserved), block_(block) {}

void Outbox::Restore(const Row& row, std::size_t bytes) {
  Entry entry;
  entry.record = row.record;
  entry.retained = row.retained;
  entry.bytes = bytes;
  entry.stored = true;
  entries_[row.seq] = std::move(entry);
  bytes_ += bytes;
  next_seq_ = std::max(next_seq_, row.seq + 1);
}

std::int64_t Outbox::Add(Row row, Clock::time_point now) {
  const std::int64_t seq = next_seq_++;
  Entry entry;
  entry.record = row.record;
  entry.retained = row.retained;
  entry.bytes = row.payload.size();
  entry.topic = std::move(row.topic);
  entry.payload = std::move(row.payload);
  entry.offered = now;
  bytes_ += entry.bytes;
  entries_[seq] = std::move(entry);
  unstored_.insert(seq);
  Thin();
  return seq;
}

void Outbox::Erase(std::map<std::int64_t, Entry>::iterator entry) {
  if (entry->second.stored || entry->second.storing) {
    // A row being stored is deleted by the commit after the one that stores it.
    if (to_delete_.empty()) delete_since_ = Clock::now();
    to_delete_.push_back(entry->first);
  }
  unstored_.erase(entry->first);
  bytes_ -= std::min(bytes_, static_cast<std::uint64_t>(entry->second.bytes));
  entries_.erase(entry);
}

void Outbox::Thin() {
  auto over = [this] {
    return (limits_.rows != 0 && entries_.size() > limits_.rows) ||
           (limits_.bytes != 0 && bytes_ > limits_.bytes);
  };
  if (!over()) return;
  // Down to nine tenths of the limits, so that thinning happens once in a
  // while, not at every message: every other record of the oldest part
  // goes, twice as many records as are too many. The oldest part is thinned
  // again the next time: the older the records, the sparser they become.
  std::uint64_t excess = 1;
  if (limits_.rows != 0 && entries_.size() > limits_.rows) {
    excess = std::max<std::uint64_t>(excess, entries_.size() - limits_.rows + limits_.rows / 10);
  }
  if (limits_.bytes != 0 && bytes_ > limits_.bytes && !entries_.empty()) {
    const std::uint64_t average = std::max<std::uint64_t>(1, bytes_ / entries_.size());
    const std::uint64_t target = limits_.bytes - limits_.bytes / 10;
    excess = std::max(excess, (bytes_ - target + average - 1) / average);
  }
  std::uint64_t seen = 0, removed = 0;
  for (auto entry = entries_.begin(); entry != entries_.end() && removed < excess;) {
    const bool record = entry->second.record && !entry->second.sent;
    if (record && seen++ % 2 == 1) {
      auto next = std::next(entry);
      Erase(entry);
      entry = next;
      ++removed;
    } else {
      ++entry;
    }
  }
  // Still over with few records left among events: they go too, oldest first.
  for (auto entry = entries_.begin(); over() && entry != entries_.end();) {
    auto next = std::next(entry);
    if (entry->second.record && !entry->second.sent) {
      Erase(entry);
      ++removed;
    }
    entry = next;
  }
  dropped_records_ += removed;
  if (!over()) return;
  // Events alone are over: the oldest not in flight go, down to nine tenths
  // of the limits, so that a flapping alarm does not drop at every message.
  auto above_target = [this] {
    return (limits_.rows != 0 && entries_.size() > limits_.rows - limits_.rows / 10) ||
           (limits_.bytes != 0 && bytes_ > limits_.bytes - limits_.bytes / 10);
  };
  for (auto entry = entries_.begin(); above_target() && entry != entries_.end();) {
    auto next = std::next(entry);
    if (!entry->second.sent) {
      ++(entry->second.record ? dropped_records_ : dropped_events_);
      Erase(entry);
    }
    entry = next;
  }
}

void Outbox::Sent(std::int64_t seq, int mid) {
  auto entry = entries_.find(seq);
  if (entry == entries_.end()) return;
  entry->second.sent = true;
  in_flight_[mid] = seq;
}

void Outbox::Acked(int mid) {
  auto flight = in_flight_.find(mid);
  if (flight == in_flight_.end()) return;
  auto entry = entries_.find(flight->second);
  in_flight_.erase(flight);
  if (entry != entries_.end()) Erase(entry);
}

bool Outbox::InFlight(std::int64_t seq) const {
  auto entry = entries_.find(seq);
  return entry != entries_.end() && entry->second.sent;
}

void Outbox::ConnectionLost() {
  in_flight_.clear();
  for (auto& [seq, entry] : entries_) entry.sent = false;
  cursor_ = 0;
}

std::optional<Outbox::Row> Outbox::NextBacklog() {
  for (auto entry = entries_.upper_bound(cursor_); entry != entries_.end(); ++entry) {
    cursor_ = entry->first;
    if (entry->second.sent) continue;
    Row row;
    row.seq = entry->first;
    row.record = entry->second.record;
    row.retained = entry->second.retained;
    row.topic = entry->second.topic;
    row.payload = entry->second.payload;
    return row;
  }
  return std::nullopt;
}

bool Outbox::HasBacklog() const {
  for (auto entry = entries_.upper_bound(cursor_); entry != entries_.end(); ++entry) {
    if (!entry->second.sent) return true;
  }
  return false;
}

void Outbox::Forget(std::int64_t seq) {
  auto entry = entries_.find(seq);
  if (entry == entries_.end() || !entry->second.stored) return;
  unstored_.erase(seq);
  bytes_ -= std::min(bytes_, static_cast<std::uint64_t>(entry->second.bytes));
  entries_.erase(entry);
}

Outbox::Clock::time_point Outbox::WaitingSince() const {
  Clock::time_point since = delete_since_;
  for (std::int64_t seq : unstored_) {
    auto entry = entries_.find(seq);
    if (entry != entries_.end() && !entry->second.storing) {
      since = std::min(since, entry->second.offered);
      break;  // the oldest that is not being stored
    }
  }
  if (next_seq_ + block_ / 2 > reserved_) since = Clock::time_point::min();
  return since;
}

void Outbox::Collect(Clock::time_point now, Clock::duration grace, bool everything,
                     runtime::StoreBatch& batch) {
  // A message acknowledged within a moment never touches the disk.
  for (std::int64_t seq : unstored_) {
    Entry& entry = entries_.at(seq);
    if (entry.storing) continue;
    if (!everything && entry.offered + grace > now) break;
    Row row;
    row.seq = seq;
    row.record = entry.record;
    row.retained = entry.retained;
    row.topic = entry.topic;
    row.payload = entry.payload;
    batch.outbox.push_back(std::move(row));
    entry.storing = true;
  }
  batch.outbox_acked = to_delete_;
  if (next_seq_ + block_ / 2 > reserved_) batch.seq_reserved = next_seq_ + block_;
}

void Outbox::Committed(const runtime::StoreBatch& batch) {
  to_delete_.erase(to_delete_.begin(),
                   to_delete_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                            to_delete_.size(), batch.outbox_acked.size())));
  if (to_delete_.empty()) delete_since_ = Clock::time_point::max();
  if (batch.seq_reserved != 0) reserved_ = std::max(reserved_, batch.seq_reserved);
  for (const Row& row : batch.outbox) {
    auto entry = entries_.find(row.seq);
    if (entry == entries_.end()) continue;  // acknowledged meanwhile: Erase asked to delete it
    entry->second.storing = false;
    entry->second.stored = true;
    std::string().swap(entry->second.topic);
    std::string().swap(entry->second.payload);
    unstored_.erase(row.seq);
  }
}

void Outbox::NotCommitted(const runtime::StoreBatch& batch) {
  for (const Row& row : batch.outbox) {
    auto entry = entries_.find(row.seq);
    if (entry != entries_.end()) entry->second.storing = false;
  }
}

}  // namespace mqtt
