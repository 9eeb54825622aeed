#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/alarm_event.h"
#include "runtime/cache_source.h"
#include "store/device_info.h"
#include "store/sqlite_db.h"

namespace runtime {

// One stored history row.
struct HistoryRow {
  std::int64_t id = 0;  // grows with every row appended
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::string time;  // "YYYY-MM-DD HH:MM:SS", local time of the save
  std::vector<unsigned char> record;
};

// Which rows a query returns. Times are "YYYY-MM-DD HH:MM:SS" local time as
// stored; the bounds are inclusive and an empty one is open.
struct RowFilter {
  std::optional<std::uint32_t> data_id;  // empty: every device
  std::string since;
  std::string until;
  unsigned int last = 0;  // only the newest N that pass (0: all)
};

// How much the store keeps, so that a controller's flash never fills.
// 0 means no bound of that kind.
struct HistoryBound {
  // Newest history rows per (data id, record type). No bound by default: the
  // day bound governs, and counting rows back from the newest costs each
  // device at every pruning a walk over them (about 17 ms at 302400 rows, a
  // week at one cycle every 2 s, against 0.6 ms at 10000).
  unsigned int rows_per_device = 0;
  unsigned int days = 7;              // history rows younger than this
  unsigned int alarm_events = 10000;  // newest alarm events
};

// A message that must reach the uplink's broker, waiting in the outbox until
// the broker acknowledges it.
struct OutboxRow {
  std::int64_t seq = 0;  // grows with every message, also across restarts
  bool record = false;   // a device's record (may be thinned), else an event (never)
  bool retained = false;
  std::string topic;
  std::string payload;
};

// Writes for one transaction: what StoreWriter collected over a commit
// interval.
struct StoreBatch {
  struct Row {
    std::uint32_t data_id = 0;
    int record_type = 0;
    boost::posix_time::ptime time;
    std::shared_ptr<const std::vector<unsigned char>> record;
  };
  // Cache rows of these data ids are removed first (records that no longer
  // fit their devices); the cache rows below replace their keys' rows after.
  std::vector<std::uint32_t> dropped_cache;
  std::vector<Row> history;
  std::vector<Row> cache;
  std::vector<AlarmEvent> alarms;
  // Messages not yet acknowledged, and stored ones acknowledged (or dropped
  // from a full outbox) since.
  std::vector<OutboxRow> outbox;
  std::vector<std::int64_t> outbox_acked;
  // The message numbers given out stay below this after a restart; 0: as it is.
  std::int64_t seq_reserved = 0;
  // At most this many history rows and alarm events outside the store's
  // bound are dropped in the same transaction, oldest first (0: none).
  std::size_t prune = 0;

  bool Empty() const {
    return dropped_cache.empty() && history.empty() && cache.empty() && alarms.empty() &&
           outbox.empty() && outbox_acked.empty() && seq_reserved == 0;
  }
};

// The runtime's SQLite file: history rows, one cache row per device record,
// and alarm events. Every write is one transaction. Safe to use from several
// polling threads. Failures throw StoreError.
//
// The file remembers whether its last writer closed it: only after an
// unclean end (a crash, kill -9, a power cut) does opening it for writing
// read the whole file to check its integrity.
class RecordStore : public CacheSource {
 public:
  // Opens or creates the file; a file that cannot be opened, is not a
  // database or is damaged throws with a message that says so. Read-only
  // access changes nothing in the file (no journal mode, no tables) and
  // refuses a database without the store's tables; only reads may be used.
  RecordStore(const std::string& path, HistoryBound bound, int busy_timeout_ms = 2000,
              SqliteDb::Access access = SqliteDb::Access::kReadWrite);
  ~RecordStore() override;

  // Writes `batch` in one transaction; nothing of it when it fails. What
  // falls outside the bound stays until a batch asks to prune: a commit that
  // does not writes only its own rows (deleting old ones rewrites their pages
  // and the index's). Pruning drops history rows older than the bound's days
  // before the time of the newest history row, the rows of each device
  // written since the store was opened beyond its newest rows_per_device,
  // and alarm events beyond the newest alarm_events. Returns how many rows
  // it dropped: fewer than `batch.prune` when none is left outside.
  std::size_t Write(const StoreBatch& batch);
  // Single writes, each its own transaction.
  // Appends a history row and drops what falls outside the bound.
  void AppendHistory(std::uint32_t data_id, int record_type, const boost::posix_time::ptime& time,
                     const unsigned char* data, std::size_t length);
  // Replaces the cache row of (data id, record type).
  void PutCache(std::uint32_t data_id, int record_type, const boost::posix_time::ptime& time,
                const unsigned char* data, std::size_t length);
  // Removes every cache row of these data ids (records that no longer fit
  // their devices).
  void DeleteCache(const std::vector<std::uint32_t>& data_ids);
  std::optional<std::vector<unsigned char>> FindCache(std::uint32_t data_id,
                                                      int record_type) override;
  // Record types with a cache row under `data_id`, in ascending order.
  std::vector<int> CacheTypes(std::uint32_t data_id) override;
  // Appends an alarm event and drops what falls outside the bound.
  void AppendAlarmEvent(const AlarmEvent& event);
  // Alarms whose last stored event is a raise, oldest first.
  std::vector<AlarmEvent> ActiveAlarms() override;
  std::vector<AlarmEvent> LastAlarmEvents() override;

  // The newest `last` history rows (0: all) of one data id, or of every
  // device when `data_id` is empty; oldest first.
  std::vector<HistoryRow> History(std::optional<std::uint32_t> data_id, unsigned int last);
  // Calls `each` with every history row that passes `filter`, oldest first,
  // without holding them all in memory.
  void ForEachHistoryRow(const RowFilter& filter,
                         const std::function<void(const HistoryRow&)>& each);
  // The record types of the rows that pass `filter`, in ascending order.
  std::vector<int> HistoryTypes(const RowFilter& filter);
  // How SQLite reads the rows of ForEachHistoryRow and HistoryTypes for
  // `filter`: the detail lines of EXPLAIN QUERY PLAN of each statement they
  // run, so that a check can see that a query searches an index.
  std::vector<std::string> HistoryPlan(const RowFilter& filter);
  // The alarm events that pass `filter`, oldest first; with `active_only`
  // only the raises that are the last event of their alarm.
  std::vector<AlarmEvent> AlarmEvents(const RowFilter& filter, bool active_only);
  std::int64_t HistoryRows(std::uint32_t data_id, int record_type);
  std::int64_t CacheRows();
  std::int64_t AlarmEventRows();

  // The devices table: which system and unit each data id is. Replaces, in
  // one transaction, the rows of every system named in `devices` (and any
  // row of their data ids) with them; the other systems' rows stay.
  void WriteDevices(const std::vector<DeviceInfo>& devices);
  // Every stored device by data id; empty for a file made before the table.
  std::map<std::uint32_t, DeviceInfo> ReadDevices();

  // The outbox: messages for the uplink that its broker has not acknowledged.
  // Calls `each` with every message in seq order, its payload left empty and
  // its length in `bytes`.
  void ForEachOutboxRow(const std::function<void(const OutboxRow& row, std::size_t bytes)>& each);
  // The message `seq`, if the outbox holds it.
  std::optional<OutboxRow> FindOutboxRow(std::int64_t seq);
  // The first message number of this run, above every one given out before
  // (and above every seq in the outbox); `block` more are reserved for it in
  // one transaction.
  std::int64_t ReserveSeq(std::int64_t block);
  const std::string& Path() const { return db_.Path(); }
  const HistoryBound& Bound() const { return bound_; }
  // Whether opening found the file left by an unclean end (or made by a
  // version without the mark) and read it whole to check it.
  bool CheckedAfterUncleanEnd() const { return checked_; }

 private:
  struct Statements;

  void CreateSchema();
  bool CheckOwner();
  void CheckSchema();
  void SetState(const std::string& state);
  void WriteLocked(const StoreBatch& batch);
  void WriteOutboxLocked(const StoreBatch& batch);
  std::size_t PruneLocked(std::size_t max_rows);
  bool PrepareHistory(SqliteStatement& select, const RowFilter& filter);
  // The statements, prepared at the first call of a read-only store.
  Statements& Prepared();
  std::int64_t StateNumber(const std::string& key);

  std::mutex mutex_;
  SqliteDb db_;
  HistoryBound bound_;
  bool writable_ = false;
  bool checked_ = false;
  bool event_ids_ = false;  // alarm_events has the event_id column
  // (data id, record type) of the history rows written since opening: the
  // devices whose rows the row bound may have to drop.
  std::set<std::pair<std::uint32_t, int>> written_devices_;
  std::unique_ptr<Statements> statements_;
};

}  // namespace runtime
