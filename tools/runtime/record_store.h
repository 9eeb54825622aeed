#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/runtime/alarm_event.h"
#include "tools/runtime/sqlite_db.h"

namespace runtime {

// One stored history row.
struct HistoryRow {
  std::int64_t id = 0;  // grows with every row appended
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::string time;  // "YYYY-MM-DD HH:MM:SS", local time of the save
  std::vector<unsigned char> record;
};

// How much the store keeps, so that a controller's flash never fills.
// 0 means no bound of that kind.
struct HistoryBound {
  unsigned int rows_per_device = 10000;  // newest history rows per (data id, record type)
  unsigned int days = 7;                 // history rows younger than this
  unsigned int alarm_events = 10000;     // newest alarm events
};

// The runtime's SQLite file: history rows, one cache row per device record,
// and alarm events. Every write is one transaction. Safe to use from several
// polling threads. Failures throw StoreError.
class RecordStore {
 public:
  // Opens or creates the file; a file that cannot be opened, is not a
  // database or is damaged throws with a message that says so. Read-only
  // access changes nothing in the file (no journal mode, no tables) and
  // refuses a database without the store's tables; only reads may be used.
  RecordStore(const std::string& path, HistoryBound bound, int busy_timeout_ms = 2000,
              SqliteDb::Access access = SqliteDb::Access::kReadWrite);
  ~RecordStore();

  // Appends a history row and drops what falls outside the bound.
  void AppendHistory(std::uint32_t data_id, int record_type, const boost::posix_time::ptime& time,
                     const unsigned char* data, std::size_t length);
  // Replaces the cache row of (data id, record type).
  void PutCache(std::uint32_t data_id, int record_type, const boost::posix_time::ptime& time,
                const unsigned char* data, std::size_t length);
  // Removes every cache row of these data ids (records that no longer fit
  // their devices).
  void DeleteCache(const std::vector<std::uint32_t>& data_ids);
  std::optional<std::vector<unsigned char>> FindCache(std::uint32_t data_id, int record_type);
  // Record types with a cache row under `data_id`, in ascending order.
  std::vector<int> CacheTypes(std::uint32_t data_id);
  void AppendAlarmEvent(const AlarmEvent& event);
  // Alarms whose last stored event is a raise, oldest first.
  std::vector<AlarmEvent> ActiveAlarms();

  // The newest `last` history rows (0: all) of one data id, or of every
  // device when `data_id` is empty; oldest first.
  std::vector<HistoryRow> History(std::optional<std::uint32_t> data_id, unsigned int last);
  std::int64_t HistoryRows(std::uint32_t data_id, int record_type);
  std::int64_t CacheRows();
  std::int64_t AlarmEventRows();
  const std::string& Path() const { return db_.Path(); }
  const HistoryBound& Bound() const { return bound_; }

 private:
  struct Statements;

  void CreateSchema();
  void CheckSchema();

  std::mutex mutex_;
  SqliteDb db_;
  HistoryBound bound_;
  std::unique_ptr<Statements> statements_;
};

}  // namespace runtime
