#include "tools/runtime/record_store.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/records/utf8_text.h"
#include "tools/runtime/local_time_text.h"

namespace runtime {

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS history (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id     INTEGER NOT NULL,
  record_type INTEGER NOT NULL,
  time        TEXT    NOT NULL,
  record      BLOB    NOT NULL
);
CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, record_type, id);
CREATE INDEX IF NOT EXISTS history_by_time ON history (time);
CREATE TABLE IF NOT EXISTS cache (
  data_id     INTEGER NOT NULL,
  record_type INTEGER NOT NULL,
  time        TEXT    NOT NULL,
  record      BLOB    NOT NULL,
  PRIMARY KEY (data_id, record_type)
);
CREATE TABLE IF NOT EXISTS alarm_events (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  time        TEXT    NOT NULL,
  data_id     INTEGER NOT NULL,
  record_type INTEGER NOT NULL,
  raised      INTEGER NOT NULL,
  level       INTEGER NOT NULL,
  alarm_id    TEXT    NOT NULL,
  code        TEXT    NOT NULL,
  name        TEXT    NOT NULL,
  text        TEXT    NOT NULL
);
)sql";

}  // namespace

struct RecordStore::Statements {
  explicit Statements(SqliteDb& db)
      : insert_history(db,
                       "INSERT INTO history (data_id, record_type, time, record) "
                       "VALUES (?1, ?2, ?3, ?4)"),
        // The row at offset N (newest first) and every older one fall outside.
        prune_rows(db,
                   "DELETE FROM history WHERE data_id = ?1 AND record_type = ?2 AND id <= "
                   "(SELECT id FROM history WHERE data_id = ?1 AND record_type = ?2 "
                   "ORDER BY id DESC LIMIT 1 OFFSET ?3)"),
        prune_days(db, "DELETE FROM history WHERE time < ?1"),
        put_cache(db,
                  "INSERT OR REPLACE INTO cache (data_id, record_type, time, record) "
                  "VALUES (?1, ?2, ?3, ?4)"),
        find_cache(db, "SELECT record FROM cache WHERE data_id = ?1 AND record_type = ?2"),
        cache_types(db, "SELECT record_type FROM cache WHERE data_id = ?1 ORDER BY record_type"),
        insert_alarm(db,
                     "INSERT INTO alarm_events (time, data_id, record_type, raised, level, "
                     "alarm_id, code, name, text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
        prune_alarms(db,
                     "DELETE FROM alarm_events WHERE id <= "
                     "(SELECT id FROM alarm_events ORDER BY id DESC LIMIT 1 OFFSET ?1)"),
        active_alarms(db,
                      "SELECT e.time, e.data_id, e.record_type, e.level, e.alarm_id, e.code, "
                      "e.name, e.text FROM alarm_events e JOIN "
                      "(SELECT MAX(id) AS id FROM alarm_events "
                      "GROUP BY data_id, record_type, alarm_id, text) last ON e.id = last.id "
                      "WHERE e.raised = 1 ORDER BY e.id"),
        history_rows(db, "SELECT COUNT(*) FROM history WHERE data_id = ?1 AND record_type = ?2"),
        cache_rows(db, "SELECT COUNT(*) FROM cache"),
        alarm_rows(db, "SELECT COUNT(*) FROM alarm_events") {}

  SqliteStatement insert_history;
  SqliteStatement prune_rows;
  SqliteStatement prune_days;
  SqliteStatement put_cache;
  SqliteStatement find_cache;
  SqliteStatement cache_types;
  SqliteStatement insert_alarm;
  SqliteStatement prune_alarms;
  SqliteStatement active_alarms;
  SqliteStatement history_rows;
  SqliteStatement cache_rows;
  SqliteStatement alarm_rows;
};

RecordStore::RecordStore(const std::string& path, HistoryBound bound, int busy_timeout_ms,
                         SqliteDb::Access access)
    : db_(path, busy_timeout_ms, access), bound_(bound) {
  if (access == SqliteDb::Access::kReadOnly) {
    CheckSchema();
  } else {
    CreateSchema();
  }
  statements_ = std::make_unique<Statements>(db_);
}

RecordStore::~RecordStore() = default;

void RecordStore::CheckSchema() {
  SqliteStatement version(db_, "PRAGMA user_version");
  const std::int64_t found = version.Next() ? version.Int(0) : 0;
  version.Reset();
  if (found > kSchemaVersion) {
    throw StoreError("database " + db_.Path() + ": made by a newer korvan-host (schema " +
                     std::to_string(found) + ")");
  }
  SqliteStatement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  for (const char* name : {"history", "cache", "alarm_events"}) {
    const bool present = table.Bind(1, std::string(name)).Next();
    table.Reset();
    if (!present) {
      throw StoreError("database " + db_.Path() + ": not a korvan-host database (it has no " +
                       name + " table)");
    }
  }
}

void RecordStore::CreateSchema() {
  SqliteStatement version(db_, "PRAGMA user_version");
  const std::int64_t found = version.Next() ? version.Int(0) : 0;
  version.Reset();
  if (found > kSchemaVersion) {
    throw StoreError("database " + db_.Path() + ": made by a newer korvan-host (schema " +
                     std::to_string(found) + ")");
  }
  // The write-ahead log keeps every committed transaction whole across a
  // crash or power loss, and readers never see half of one.
  db_.Exec("PRAGMA journal_mode = WAL");
  db_.Exec("PRAGMA synchronous = NORMAL");
  SqliteTransaction transaction(db_);
  db_.Exec(kSchema);
  db_.Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
  transaction.Commit();
}

void RecordStore::AppendHistory(std::uint32_t data_id, int record_type,
                                const boost::posix_time::ptime& time, const unsigned char* data,
                                std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteTransaction transaction(db_);
  statements_->insert_history.Bind(1, std::int64_t{data_id})
      .Bind(2, std::int64_t{record_type})
      .Bind(3, LocalTimeText(time))
      .BindBlob(4, data, length)
      .Run();
  if (bound_.rows_per_device != 0) {
    statements_->prune_rows.Bind(1, std::int64_t{data_id})
        .Bind(2, std::int64_t{record_type})
        .Bind(3, std::int64_t{bound_.rows_per_device})
        .Run();
  }
  if (bound_.days != 0) {
    statements_->prune_days
        .Bind(1, LocalTimeText(time - boost::posix_time::hours(24 * bound_.days)))
        .Run();
  }
  transaction.Commit();
}

void RecordStore::PutCache(std::uint32_t data_id, int record_type,
                           const boost::posix_time::ptime& time, const unsigned char* data,
                           std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteTransaction transaction(db_);
  statements_->put_cache.Bind(1, std::int64_t{data_id})
      .Bind(2, std::int64_t{record_type})
      .Bind(3, LocalTimeText(time))
      .BindBlob(4, data, length)
      .Run();
  transaction.Commit();
}

void RecordStore::DeleteCache(const std::vector<std::uint32_t>& data_ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteTransaction transaction(db_);
  for (std::uint32_t data_id : data_ids) {
    SqliteStatement remove(db_, "DELETE FROM cache WHERE data_id = ?1");
    remove.Bind(1, std::int64_t{data_id}).Run();
  }
  transaction.Commit();
}

std::optional<std::vector<unsigned char>> RecordStore::FindCache(std::uint32_t data_id,
                                                                 int record_type) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& find = statements_->find_cache;
  find.Bind(1, std::int64_t{data_id}).Bind(2, std::int64_t{record_type});
  if (!find.Next()) return std::nullopt;
  std::vector<unsigned char> record = find.Blob(0);
  find.Reset();
  return record;
}

std::vector<int> RecordStore::CacheTypes(std::uint32_t data_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> types;
  SqliteStatement& select = statements_->cache_types;
  select.Bind(1, std::int64_t{data_id});
  while (select.Next()) types.push_back(static_cast<int>(select.Int(0)));
  return types;
}

void RecordStore::AppendAlarmEvent(const AlarmEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteTransaction transaction(db_);
  // The texts come from the devices; the columns hold valid UTF-8.
  using utf8_text::ValidUtf8;
  statements_->insert_alarm.Bind(1, ValidUtf8(event.time))
      .Bind(2, std::int64_t{event.data_id})
      .Bind(3, std::int64_t{event.record_type})
      .Bind(4, std::int64_t{event.raised ? 1 : 0})
      .Bind(5, std::int64_t{event.level})
      .Bind(6, ValidUtf8(event.id))
      .Bind(7, ValidUtf8(event.code))
      .Bind(8, ValidUtf8(event.name))
      .Bind(9, ValidUtf8(event.text))
      .Run();
  if (bound_.alarm_events != 0) {
    statements_->prune_alarms.Bind(1, std::int64_t{bound_.alarm_events}).Run();
  }
  transaction.Commit();
}

std::vector<AlarmEvent> RecordStore::ActiveAlarms() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<AlarmEvent> active;
  SqliteStatement& select = statements_->active_alarms;
  while (select.Next()) {
    AlarmEvent event;
    event.raised = true;
    event.time = select.Text(0);
    event.data_id = static_cast<std::uint32_t>(select.Int(1));
    event.record_type = static_cast<int>(select.Int(2));
    event.level = static_cast<int>(select.Int(3));
    event.id = select.Text(4);
    event.code = select.Text(5);
    event.name = select.Text(6);
    event.text = select.Text(7);
    active.push_back(std::move(event));
  }
  return active;
}

std::vector<HistoryRow> RecordStore::History(std::optional<std::uint32_t> data_id,
                                             unsigned int last) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement select(db_,
                         "SELECT id, data_id, record_type, time, record FROM history "
                         "WHERE ?1 < 0 OR data_id = ?1 ORDER BY id DESC LIMIT ?2");
  select.Bind(1, data_id ? std::int64_t{*data_id} : std::int64_t{-1})
      .Bind(2, last == 0 ? std::int64_t{-1} : std::int64_t{last});
  std::vector<HistoryRow> rows;
  while (select.Next()) {
    HistoryRow row;
    row.id = select.Int(0);
    row.data_id = static_cast<std::uint32_t>(select.Int(1));
    row.record_type = static_cast<int>(select.Int(2));
    row.time = select.Text(3);
    row.record = select.Blob(4);
    rows.push_back(std::move(row));
  }
  return std::vector<HistoryRow>(rows.rbegin(), rows.rend());
}

std::int64_t RecordStore::HistoryRows(std::uint32_t data_id, int record_type) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& count = statements_->history_rows;
  count.Bind(1, std::int64_t{data_id}).Bind(2, std::int64_t{record_type});
  const std::int64_t rows = count.Next() ? count.Int(0) : 0;
  count.Reset();
  return rows;
}

std::int64_t RecordStore::CacheRows() {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& count = statements_->cache_rows;
  const std::int64_t rows = count.Next() ? count.Int(0) : 0;
  count.Reset();
  return rows;
}

std::int64_t RecordStore::AlarmEventRows() {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& count = statements_->alarm_rows;
  const std::int64_t rows = count.Next() ? count.Int(0) : 0;
  count.Reset();
  return rows;
}

}  // namespace runtime
