#include "store/record_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <limits>
#include <set>

#include "records/utf8_text.h"
#include "runtime/local_time_text.h"

namespace runtime {

namespace {

constexpr int kSchemaVersion = 1;
// A batch's prune that drops everything outside the bound.
constexpr std::size_t kEverything = std::numeric_limits<std::int64_t>::max();
// PRAGMA application_id of this program's files: "KRVN".
constexpr std::int64_t kApplicationId = 0x4B52564E;
// The tables of this program's files, also those of earlier versions.
const char* const kOwnTables[] = {"history", "cache",       "alarm_events",
                                  "outbox",  "store_state", "devices"};

// History ids grow without AUTOINCREMENT (whose counter would cost every
// commit a page): a new row takes the largest id plus one, and only the
// oldest rows are ever deleted, so no id comes back. Files of earlier
// versions keep their AUTOINCREMENT.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS history (
  id          INTEGER PRIMARY KEY,
  data_id     INTEGER NOT NULL,
  record_type INTEGER NOT NULL,
  time        TEXT    NOT NULL,
  record      BLOB    NOT NULL
);
CREATE INDEX IF NOT EXISTS history_by_time ON history (time);
CREATE TABLE IF NOT EXISTS cache (
  data_id     INTEGER NOT NULL,
  record_type INTEGER NOT NULL,
  time        TEXT    NOT NULL,
  record      BLOB    NOT NULL,
  PRIMARY KEY (data_id, record_type)
) WITHOUT ROWID;
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
  text        TEXT    NOT NULL,
  event_id    TEXT
);
CREATE TABLE IF NOT EXISTS outbox (
  seq         INTEGER PRIMARY KEY,
  record      INTEGER NOT NULL,
  retained    INTEGER NOT NULL,
  topic       TEXT    NOT NULL,
  payload     TEXT    NOT NULL
);
CREATE TABLE IF NOT EXISTS store_state (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS devices (
  data_id     INTEGER PRIMARY KEY,
  system      TEXT    NOT NULL,
  kind        TEXT    NOT NULL,
  unit        INTEGER NOT NULL,
  record_type INTEGER NOT NULL
);
)sql";

// Indexes of earlier versions. Every index takes a page or more of each
// commit (one per device for one keyed by device); the rows of a time range,
// of one device or all, are found through history_by_time.
constexpr const char* kDroppedIndexes = R"sql(
DROP INDEX IF EXISTS history_by_device;
DROP INDEX IF EXISTS history_by_device_time;
)sql";

// store_state "writer": "open" while a writer has the file, "closed" after it
// closed it.
constexpr const char* kWriterOpen = "open";
constexpr const char* kWriterClosed = "closed";

// Whether alarm_events has the event_id column: files of earlier versions
// lack it until a writer opens them.
bool HasEventIdColumn(SqliteDb& db) {
  SqliteStatement columns(db, "PRAGMA table_info(alarm_events)");
  bool found = false;
  while (columns.Next()) found = found || columns.Text(1) == "event_id";
  return found;
}

// The event_id column as read: NULL for a file that has none (read-only).
std::string EventIdColumn(bool present) {
  return present ? "e.event_id" : "NULL";
}

}  // namespace

struct RecordStore::Statements {
  Statements(SqliteDb& db, bool event_ids)
      : insert_history(db,
                       "INSERT INTO history (data_id, record_type, time, record) "
                       "VALUES (?1, ?2, ?3, ?4)"),
        // Pruning deletes the oldest rows outside the bound, at most ?N at a
        // time. The row at offset N (newest first) and every older one of a
        // device fall outside; without an index by device this walks the
        // newest rows of every device.
        prune_rows(db,
                   "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE data_id = ?1 "
                   "AND record_type = ?2 AND id <= (SELECT id FROM history WHERE data_id = ?1 "
                   "AND record_type = ?2 ORDER BY id DESC LIMIT 1 OFFSET ?3) ORDER BY id "
                   "LIMIT ?4)"),
        newest_time(db, "SELECT time FROM history ORDER BY id DESC LIMIT 1"),
        prune_days(db,
                   "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE time < ?1 "
                   "ORDER BY time LIMIT ?2)"),
        put_cache(db,
                  "INSERT OR REPLACE INTO cache (data_id, record_type, time, record) "
                  "VALUES (?1, ?2, ?3, ?4)"),
        find_cache(db, "SELECT record FROM cache WHERE data_id = ?1 AND record_type = ?2"),
        cache_types(db, "SELECT record_type FROM cache WHERE data_id = ?1 ORDER BY record_type"),
        // A file without the column is open read-only: never written.
        insert_alarm(db, std::string("INSERT INTO alarm_events (time, data_id, record_type, "
                                     "raised, level, alarm_id, code, name, text") +
                             (event_ids ? ", event_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                                          "?9, NULLIF(?10, ''))"
                                        : ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)")),
        prune_alarms(db,
                     "DELETE FROM alarm_events WHERE id IN (SELECT id FROM alarm_events WHERE "
                     "id <= (SELECT id FROM alarm_events ORDER BY id DESC LIMIT 1 OFFSET ?1) "
                     "ORDER BY id LIMIT ?2)"),
        last_alarms(db,
                    "SELECT e.time, e.data_id, e.record_type, e.level, e.alarm_id, e.code, "
                    "e.name, e.text, e.raised, " +
                        EventIdColumn(event_ids) +
                        " FROM alarm_events e JOIN "
                        "(SELECT MAX(id) AS id FROM alarm_events "
                        "GROUP BY data_id, record_type, alarm_id, text) last ON e.id = last.id "
                        "ORDER BY e.id"),
        history_rows(db, "SELECT COUNT(*) FROM history WHERE data_id = ?1 AND record_type = ?2"),
        cache_rows(db, "SELECT COUNT(*) FROM cache"),
        alarm_rows(db, "SELECT COUNT(*) FROM alarm_events") {}

  SqliteStatement insert_history;
  SqliteStatement prune_rows;
  SqliteStatement newest_time;
  SqliteStatement prune_days;
  SqliteStatement put_cache;
  SqliteStatement find_cache;
  SqliteStatement cache_types;
  SqliteStatement insert_alarm;
  SqliteStatement prune_alarms;
  SqliteStatement last_alarms;
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
    writable_ = true;
  }
  event_ids_ = HasEventIdColumn(db_);
  // A reader (the HTTP server opens one per request) prepares them when a
  // method first needs them: a history query needs none of them.
  if (writable_) statements_ = std::make_unique<Statements>(db_, event_ids_);
}

RecordStore::Statements& RecordStore::Prepared() {
  if (!statements_) statements_ = std::make_unique<Statements>(db_, event_ids_);
  return *statements_;
}

RecordStore::~RecordStore() {
  if (!writable_) return;
  try {
    statements_.reset();
    SetState(kWriterClosed);
  } catch (const StoreError&) {
    // The next writer checks the file, as after a crash.
  }
}

void RecordStore::SetState(const std::string& state) {
  SqliteStatement put(db_, "INSERT OR REPLACE INTO store_state (key, value) VALUES ('writer', ?1)");
  put.Bind(1, state).Run();
}

// Refuses a file that another program made: a foreign application id, or
// (files from before the id) tables that are not this program's. True when
// the file is this program's without the id yet (new, or of an earlier
// version), which the writer then sets.
bool RecordStore::CheckOwner() {
  SqliteStatement application(db_, "PRAGMA application_id");
  const std::int64_t id = application.Next() ? application.Int(0) : 0;
  application.Reset();
  if (id == kApplicationId) return false;
  if (id != 0) {
    throw StoreError("database " + db_.Path() + ": not a korvan-host database (application id " +
                     std::to_string(id) + " belongs to another program)");
  }
  SqliteStatement tables(
      db_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
  std::string foreign;
  std::size_t count = 0;
  while (tables.Next()) {
    const std::string name = tables.Text(0);
    if (std::find(std::begin(kOwnTables), std::end(kOwnTables), name) != std::end(kOwnTables)) {
      continue;
    }
    if (++count <= 5) foreign += (foreign.empty() ? "" : ", ") + name;
  }
  tables.Reset();
  if (count > 0) {
    throw StoreError("database " + db_.Path() + ": not a korvan-host database (it holds " +
                     std::to_string(count) + " other table" + (count == 1 ? "" : "s") + ": " +
                     foreign + (count > 5 ? ", ..." : "") + ")");
  }
  return true;
}

void RecordStore::CheckSchema() {
  CheckOwner();
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
  const bool mark = CheckOwner();
  SqliteStatement version(db_, "PRAGMA user_version");
  const std::int64_t found = version.Next() ? version.Int(0) : 0;
  version.Reset();
  if (found > kSchemaVersion) {
    throw StoreError("database " + db_.Path() + ": made by a newer korvan-host (schema " +
                     std::to_string(found) + ")");
  }
  // Reading every page costs seconds on an SD card: only a file whose last
  // writer did not close it (or that predates the mark) is checked; a new,
  // empty one has nothing to check.
  SqliteStatement tables(db_, "SELECT count(*) FROM sqlite_master");
  const bool empty = tables.Next() && tables.Int(0) == 0;
  tables.Reset();
  bool closed = empty;
  try {
    SqliteStatement state(db_, "SELECT value FROM store_state WHERE key = 'writer'");
    closed = closed || (state.Next() && state.Text(0) == kWriterClosed);
    state.Reset();
  } catch (const StoreError&) {
    // No such table yet: a new file or one of an older version.
  }
  if (!closed) {
    db_.CheckIntegrity();
    checked_ = true;
  }
  // The rollback journal keeps every committed transaction whole across a
  // crash or power loss, and readers never see half of one. It is chosen
  // over a write-ahead log for the flash: new pages, most of what a commit
  // writes, are written once instead of twice (log, then checkpoint); only
  // the few pages a commit changes go through the journal. PERSIST reuses
  // the journal file instead of creating and deleting it every commit. A
  // reader holds a commit back while it reads; a commit that waits too long
  // fails and is tried again with the next one. Commits are few (one per
  // commit interval), so each is made durable at once: a power cut loses at
  // most what was not yet committed.
  db_.Exec("PRAGMA journal_mode = PERSIST");
  db_.Exec("PRAGMA synchronous = FULL");
  // Freed pages are reused, not zeroed: zeroing them doubles what pruning writes.
  db_.Exec("PRAGMA secure_delete = OFF");
  SqliteTransaction transaction(db_);
  db_.Exec(kSchema);
  db_.Exec(kDroppedIndexes);
  // Added to files of earlier versions; their rows keep NULL (no id).
  if (!HasEventIdColumn(db_)) db_.Exec("ALTER TABLE alarm_events ADD COLUMN event_id TEXT");
  db_.Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
  if (mark) db_.Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
  SetState(kWriterOpen);
  transaction.Commit();
}

std::size_t RecordStore::Write(const StoreBatch& batch) {
  if (batch.Empty() && batch.prune == 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteTransaction transaction(db_);
  WriteLocked(batch);
  const std::size_t dropped = batch.prune == 0 ? 0 : PruneLocked(batch.prune);
  transaction.Commit();
  return dropped;
}

void RecordStore::WriteLocked(const StoreBatch& batch) {
  if (!batch.dropped_cache.empty()) {
    SqliteStatement remove(db_, "DELETE FROM cache WHERE data_id = ?1");
    for (std::uint32_t data_id : batch.dropped_cache) remove.Bind(1, std::int64_t{data_id}).Run();
  }
  for (const StoreBatch::Row& row : batch.history) {
    Prepared().insert_history.Bind(1, std::int64_t{row.data_id})
        .Bind(2, std::int64_t{row.record_type})
        .Bind(3, LocalTimeText(row.time))
        .BindBlob(4, row.record->data(), row.record->size())
        .Run();
    written_devices_.emplace(row.data_id, row.record_type);
  }
  for (const StoreBatch::Row& row : batch.cache) {
    Prepared().put_cache.Bind(1, std::int64_t{row.data_id})
        .Bind(2, std::int64_t{row.record_type})
        .Bind(3, LocalTimeText(row.time))
        .BindBlob(4, row.record->data(), row.record->size())
        .Run();
  }
  // The texts come from the devices; the columns hold valid UTF-8.
  using utf8_text::ValidUtf8;
  for (const AlarmEvent& event : batch.alarms) {
    SqliteStatement& insert = Prepared().insert_alarm;
    if (event_ids_) insert.Bind(10, event.event_id);
    insert.Bind(1, ValidUtf8(event.time))
        .Bind(2, std::int64_t{event.data_id})
        .Bind(3, std::int64_t{event.record_type})
        .Bind(4, std::int64_t{event.raised ? 1 : 0})
        .Bind(5, std::int64_t{event.level})
        .Bind(6, ValidUtf8(event.id))
        .Bind(7, ValidUtf8(event.code))
        .Bind(8, ValidUtf8(event.name))
        .Bind(9, ValidUtf8(event.text))
        .Run();
  }
  WriteOutboxLocked(batch);
}

std::size_t RecordStore::PruneLocked(std::size_t max_rows) {
  std::size_t dropped = 0;
  auto run = [&](SqliteStatement& remove, int limit_parameter) {
    if (dropped >= max_rows) return;
    remove.Bind(limit_parameter, static_cast<std::int64_t>(max_rows - dropped)).Run();
    dropped += static_cast<std::size_t>(sqlite3_changes(db_.Handle()));
  };
  Statements& statements = Prepared();
  if (bound_.days != 0) {
    // Counted back from the newest row's time, as the rows were written: a
    // clock set back drops less, never a row younger than the bound.
    SqliteStatement& newest = statements.newest_time;
    const std::optional<std::string> time =
        newest.Next() ? std::optional<std::string>(newest.Text(0)) : std::nullopt;
    newest.Reset();
    std::optional<boost::posix_time::ptime> cutoff;
    try {
      if (time) {
        cutoff =
            boost::posix_time::time_from_string(*time) - boost::posix_time::hours(24 * bound_.days);
      }
    } catch (const std::exception&) {
      // Not a time this store wrote: no row is older than it.
    }
    if (cutoff) {
      statements.prune_days.Bind(1, LocalTimeText(*cutoff));
      run(statements.prune_days, 2);
    }
  }
  if (bound_.rows_per_device != 0) {
    for (const auto& [data_id, record_type] : written_devices_) {
      statements.prune_rows.Bind(1, std::int64_t{data_id})
          .Bind(2, std::int64_t{record_type})
          .Bind(3, std::int64_t{bound_.rows_per_device});
      run(statements.prune_rows, 4);
    }
  }
  if (bound_.alarm_events != 0) {
    statements.prune_alarms.Bind(1, std::int64_t{bound_.alarm_events});
    run(statements.prune_alarms, 2);
  }
  return dropped;
}

void RecordStore::WriteOutboxLocked(const StoreBatch& batch) {
  if (batch.seq_reserved != 0) {
    SqliteStatement put(
        db_, "INSERT OR REPLACE INTO store_state (key, value) VALUES ('outbox_seq', ?1)");
    put.Bind(1, std::to_string(batch.seq_reserved)).Run();
  }
  if (!batch.outbox_acked.empty()) {
    SqliteStatement remove(db_, "DELETE FROM outbox WHERE seq = ?1");
    for (std::int64_t seq : batch.outbox_acked) remove.Bind(1, seq).Run();
  }
  if (!batch.outbox.empty()) {
    SqliteStatement insert(db_,
                           "INSERT OR REPLACE INTO outbox (seq, record, retained, topic, payload) "
                           "VALUES (?1, ?2, ?3, ?4, ?5)");
    for (const OutboxRow& row : batch.outbox) {
      insert.Bind(1, row.seq)
          .Bind(2, std::int64_t{row.record ? 1 : 0})
          .Bind(3, std::int64_t{row.retained ? 1 : 0})
          .Bind(4, row.topic)
          .Bind(5, row.payload)
          .Run();
    }
  }
}

void RecordStore::ForEachOutboxRow(
    const std::function<void(const OutboxRow& row, std::size_t bytes)>& each) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement select(db_,
                         "SELECT seq, record, retained, length(payload) FROM outbox ORDER BY seq");
  OutboxRow row;
  while (select.Next()) {
    row.seq = select.Int(0);
    row.record = select.Int(1) != 0;
    row.retained = select.Int(2) != 0;
    each(row, static_cast<std::size_t>(select.Int(3)));
  }
}

std::optional<OutboxRow> RecordStore::FindOutboxRow(std::int64_t seq) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement select(db_,
                         "SELECT seq, record, retained, topic, payload FROM outbox WHERE seq = ?1");
  if (!select.Bind(1, seq).Next()) return std::nullopt;
  OutboxRow row;
  row.seq = select.Int(0);
  row.record = select.Int(1) != 0;
  row.retained = select.Int(2) != 0;
  row.topic = select.Text(3);
  row.payload = select.Text(4);
  select.Reset();
  return row;
}

std::int64_t RecordStore::StateNumber(const std::string& key) {
  SqliteStatement select(db_, "SELECT value FROM store_state WHERE key = ?1");
  std::int64_t value = 0;
  if (select.Bind(1, key).Next()) {
    try {
      value = std::stoll(select.Text(0));
    } catch (const std::exception&) {
      value = 0;
    }
  }
  select.Reset();
  return value;
}

std::int64_t RecordStore::ReserveSeq(std::int64_t block) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::int64_t first = StateNumber("outbox_seq");
  SqliteStatement newest(db_, "SELECT max(seq) FROM outbox");
  if (newest.Next()) first = std::max(first, newest.Int(0) + 1);
  newest.Reset();
  first = std::max<std::int64_t>(first, 1);
  SqliteTransaction transaction(db_);
  SqliteStatement put(db_,
                      "INSERT OR REPLACE INTO store_state (key, value) VALUES ('outbox_seq', ?1)");
  put.Bind(1, std::to_string(first + block)).Run();
  transaction.Commit();
  return first;
}

namespace {

StoreBatch::Row OneRow(std::uint32_t data_id, int record_type, const boost::posix_time::ptime& time,
                       const unsigned char* data, std::size_t length) {
  return StoreBatch::Row{data_id, record_type, time,
                         std::make_shared<const std::vector<unsigned char>>(data, data + length)};
}

}  // namespace

void RecordStore::AppendHistory(std::uint32_t data_id, int record_type,
                                const boost::posix_time::ptime& time, const unsigned char* data,
                                std::size_t length) {
  StoreBatch batch;
  batch.history.push_back(OneRow(data_id, record_type, time, data, length));
  batch.prune = kEverything;
  Write(batch);
}

void RecordStore::PutCache(std::uint32_t data_id, int record_type,
                           const boost::posix_time::ptime& time, const unsigned char* data,
                           std::size_t length) {
  StoreBatch batch;
  batch.cache.push_back(OneRow(data_id, record_type, time, data, length));
  Write(batch);
}

void RecordStore::DeleteCache(const std::vector<std::uint32_t>& data_ids) {
  StoreBatch batch;
  batch.dropped_cache = data_ids;
  Write(batch);
}

std::optional<std::vector<unsigned char>> RecordStore::FindCache(std::uint32_t data_id,
                                                                 int record_type) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& find = Prepared().find_cache;
  find.Bind(1, std::int64_t{data_id}).Bind(2, std::int64_t{record_type});
  if (!find.Next()) return std::nullopt;
  std::vector<unsigned char> record = find.Blob(0);
  find.Reset();
  return record;
}

std::vector<int> RecordStore::CacheTypes(std::uint32_t data_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> types;
  SqliteStatement& select = Prepared().cache_types;
  select.Bind(1, std::int64_t{data_id});
  while (select.Next()) types.push_back(static_cast<int>(select.Int(0)));
  return types;
}

void RecordStore::AppendAlarmEvent(const AlarmEvent& event) {
  StoreBatch batch;
  batch.alarms.push_back(event);
  batch.prune = kEverything;
  Write(batch);
}

std::vector<AlarmEvent> RecordStore::ActiveAlarms() {
  std::vector<AlarmEvent> active = LastAlarmEvents();
  active.erase(std::remove_if(active.begin(), active.end(),
                              [](const AlarmEvent& event) { return !event.raised; }),
               active.end());
  return active;
}

std::vector<AlarmEvent> RecordStore::LastAlarmEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<AlarmEvent> last;
  SqliteStatement& select = Prepared().last_alarms;
  while (select.Next()) {
    AlarmEvent event;
    event.time = select.Text(0);
    event.data_id = static_cast<std::uint32_t>(select.Int(1));
    event.record_type = static_cast<int>(select.Int(2));
    event.level = static_cast<int>(select.Int(3));
    event.id = select.Text(4);
    event.code = select.Text(5);
    event.name = select.Text(6);
    event.text = select.Text(7);
    event.raised = select.Int(8) != 0;
    event.event_id = select.Text(9);
    last.push_back(std::move(event));
  }
  return last;
}

std::vector<HistoryRow> RecordStore::History(std::optional<std::uint32_t> data_id,
                                             unsigned int last) {
  RowFilter filter;
  filter.data_id = data_id;
  filter.last = last;
  std::vector<HistoryRow> rows;
  ForEachHistoryRow(filter, [&](const HistoryRow& row) { rows.push_back(row); });
  return rows;
}

namespace {

// "WHERE 1 AND ..." with every bound of `filter` that is set, on the columns
// of `table`; parameters ?1 (data id), ?2 (since) and ?3 (until). Only the
// conditions present are written, so that SQLite can use history_by_time
// for a time range.
std::string WhereSql(const RowFilter& filter, const std::string& table) {
  std::string sql = " WHERE 1";
  if (filter.data_id) sql += " AND " + table + "data_id = ?1";
  if (!filter.since.empty()) sql += " AND " + table + "time >= ?2";
  if (!filter.until.empty()) sql += " AND " + table + "time <= ?3";
  return sql;
}

// Binds the bounds of WhereSql and, when the statement has it, ?4 = --last.
void BindFilter(SqliteStatement& select, const RowFilter& filter, bool with_last) {
  if (filter.data_id) select.Bind(1, std::int64_t{*filter.data_id});
  if (!filter.since.empty()) select.Bind(2, filter.since);
  if (!filter.until.empty()) select.Bind(3, filter.until);
  if (with_last) select.Bind(4, filter.last == 0 ? std::int64_t{-1} : std::int64_t{filter.last});
}

// The ids of the history rows in the time range of `filter` lie in
// [first, last]. Read from history_by_time alone (it holds each row's id), so
// that the rows themselves are then read by id from that range only: a time
// range costs what it holds, and ids keep the order of insertion even where
// the local time text does not (a clock set back, the hour repeated when
// summer time ends).
struct IdRange {
  std::int64_t first = 0;
  std::int64_t last = -1;  // below first: no row
};

// "SELECT min(id), max(id), count(*) ... WHERE ..." on the time index; the
// count keeps SQLite from answering min and max by walking the table by id.
std::string IdRangeSql(const RowFilter& filter) {
  RowFilter times = filter;
  times.data_id.reset();
  return "SELECT min(id), max(id), count(*) FROM history" + WhereSql(times, "");
}

bool HasTimeBound(const RowFilter& filter) {
  return !filter.since.empty() || !filter.until.empty();
}

// SELECT `columns` (id among them) of the history rows that pass `filter`,
// oldest first: the newest `last` are picked newest first, then put in order.
// With a time bound, the rows are read by id within ?5 to ?6 (IdRange).
std::string HistorySql(const std::string& columns, const RowFilter& filter) {
  std::string where = WhereSql(filter, "");
  if (HasTimeBound(filter)) where += " AND id BETWEEN ?5 AND ?6";
  if (filter.last == 0) return "SELECT " + columns + " FROM history" + where + " ORDER BY id";
  return "SELECT * FROM (SELECT " + columns + " FROM history" + where +
         " ORDER BY id DESC LIMIT ?4) ORDER BY id";
}

}  // namespace

// The statement of HistorySql with every parameter bound; false when the
// time range holds no row (nothing to read).
bool RecordStore::PrepareHistory(SqliteStatement& select, const RowFilter& filter) {
  if (HasTimeBound(filter)) {
    SqliteStatement range(db_, IdRangeSql(filter));
    RowFilter times = filter;
    times.data_id.reset();
    BindFilter(range, times, false);
    IdRange ids;
    if (range.Next() && range.Int(2) > 0) ids = IdRange{range.Int(0), range.Int(1)};
    range.Reset();
    if (ids.last < ids.first) return false;
    select.Bind(5, ids.first).Bind(6, ids.last);
  }
  BindFilter(select, filter, filter.last != 0);
  return true;
}

void RecordStore::ForEachHistoryRow(const RowFilter& filter,
                                    const std::function<void(const HistoryRow&)>& each) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement select(db_, HistorySql("id, data_id, record_type, time, record", filter));
  if (!PrepareHistory(select, filter)) return;
  HistoryRow row;
  while (select.Next()) {
    row.id = select.Int(0);
    row.data_id = static_cast<std::uint32_t>(select.Int(1));
    row.record_type = static_cast<int>(select.Int(2));
    row.time = select.Text(3);
    row.record = select.Blob(4);
    each(row);
  }
}

std::vector<int> RecordStore::HistoryTypes(const RowFilter& filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement select(db_, "SELECT DISTINCT record_type FROM (" +
                                  HistorySql("id, record_type", filter) + ") ORDER BY record_type");
  std::vector<int> types;
  if (!PrepareHistory(select, filter)) return types;
  while (select.Next()) types.push_back(static_cast<int>(select.Int(0)));
  return types;
}

std::vector<std::string> RecordStore::HistoryPlan(const RowFilter& filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> plan;
  std::vector<std::string> statements{HistorySql("id, data_id, record_type, time, record", filter),
                                      "SELECT DISTINCT record_type FROM (" +
                                          HistorySql("id, record_type", filter) +
                                          ") ORDER BY record_type"};
  if (HasTimeBound(filter)) statements.push_back(IdRangeSql(filter));
  for (const std::string& sql : statements) {
    SqliteStatement explain(db_, "EXPLAIN QUERY PLAN " + sql);
    while (explain.Next()) plan.push_back(explain.Text(3));
  }
  return plan;
}

std::vector<AlarmEvent> RecordStore::AlarmEvents(const RowFilter& filter, bool active_only) {
  std::lock_guard<std::mutex> lock(mutex_);
  // An alarm is active when its last event is a raise; alarms are told apart
  // as ActiveAlarms does.
  const std::string last_events =
      active_only ? " JOIN (SELECT MAX(id) AS id FROM alarm_events "
                    "GROUP BY data_id, record_type, alarm_id, text) last ON e.id = last.id"
                  : "";
  SqliteStatement select(
      db_,
      "SELECT e.time, e.data_id, e.record_type, e.raised, e.level, e.alarm_id, e.code, "
      "e.name, e.text, " +
          EventIdColumn(event_ids_) + " FROM alarm_events e" + last_events +
          WhereSql(filter, "e.") + (active_only ? " AND e.raised = 1" : "") +
          " ORDER BY e.id DESC LIMIT ?4");
  BindFilter(select, filter, true);
  std::vector<AlarmEvent> events;
  while (select.Next()) {
    AlarmEvent event;
    event.time = select.Text(0);
    event.data_id = static_cast<std::uint32_t>(select.Int(1));
    event.record_type = static_cast<int>(select.Int(2));
    event.raised = select.Int(3) != 0;
    event.level = static_cast<int>(select.Int(4));
    event.id = select.Text(5);
    event.code = select.Text(6);
    event.name = select.Text(7);
    event.text = select.Text(8);
    event.event_id = select.Text(9);
    events.push_back(std::move(event));
  }
  return std::vector<AlarmEvent>(events.rbegin(), events.rend());
}

std::int64_t RecordStore::HistoryRows(std::uint32_t data_id, int record_type) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& count = Prepared().history_rows;
  count.Bind(1, std::int64_t{data_id}).Bind(2, std::int64_t{record_type});
  const std::int64_t rows = count.Next() ? count.Int(0) : 0;
  count.Reset();
  return rows;
}

std::int64_t RecordStore::CacheRows() {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& count = Prepared().cache_rows;
  const std::int64_t rows = count.Next() ? count.Int(0) : 0;
  count.Reset();
  return rows;
}

void RecordStore::WriteDevices(const std::vector<DeviceInfo>& devices) {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteTransaction transaction(db_);
  SqliteStatement drop(db_, "DELETE FROM devices WHERE system = ?1");
  std::set<std::string> systems;
  for (const DeviceInfo& device : devices) {
    if (systems.insert(device.system).second) drop.Bind(1, device.system).Run();
  }
  SqliteStatement put(db_,
                      "INSERT OR REPLACE INTO devices (data_id, system, kind, unit, record_type) "
                      "VALUES (?1, ?2, ?3, ?4, ?5)");
  for (const DeviceInfo& device : devices) {
    put.Bind(1, std::int64_t{device.data_id})
        .Bind(2, utf8_text::ValidUtf8(device.system))
        .Bind(3, device.kind)
        .Bind(4, std::int64_t{device.unit})
        .Bind(5, std::int64_t{device.record_type})
        .Run();
  }
  transaction.Commit();
}

std::map<std::uint32_t, DeviceInfo> RecordStore::ReadDevices() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::uint32_t, DeviceInfo> devices;
  // Files of earlier versions lack the table until a writer opens them.
  SqliteStatement table(db_,
                        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'devices'");
  const bool present = table.Next();
  table.Reset();
  if (!present) return devices;
  SqliteStatement rows(db_, "SELECT data_id, system, kind, unit, record_type FROM devices");
  while (rows.Next()) {
    DeviceInfo device;
    device.data_id = static_cast<std::uint32_t>(rows.Int(0));
    device.system = rows.Text(1);
    device.kind = rows.Text(2);
    device.unit = static_cast<int>(rows.Int(3));
    device.record_type = static_cast<int>(rows.Int(4));
    devices[device.data_id] = device;
  }
  return devices;
}

std::int64_t RecordStore::AlarmEventRows() {
  std::lock_guard<std::mutex> lock(mutex_);
  SqliteStatement& count = Prepared().alarm_rows;
  const std::int64_t rows = count.Next() ? count.Int(0) : 0;
  count.Reset();
  return rows;
}

}  // namespace runtime
