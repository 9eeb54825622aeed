// The runtime's SQLite store: history, cache, alarm events, bounds, damaged
// files and transactions.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "store/record_store.h"
#include "store/sqlite_db.h"
#include "tests/support/child_process.h"

namespace {

using boost::posix_time::hours;
using boost::posix_time::minutes;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using runtime::HistoryBound;
using runtime::RecordStore;
using runtime::StoreError;
using Bytes = std::vector<unsigned char>;

const ptime kNoon = time_from_string("2026-12-08 12:00:00");

// A fresh directory for the test's database files, removed afterwards.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvan-store-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name = "test.db") const { return dir_ + "/" + name; }

  std::string dir_;
};

// A record whose bytes tell it apart: `tag` repeated `length` times.
Bytes Record(unsigned char tag, std::size_t length = 8) {
  return Bytes(length, tag);
}

void Append(RecordStore& store, std::uint32_t id, int type, const Bytes& record,
            ptime time = kNoon) {
  store.AppendHistory(id, type, time, record.data(), record.size());
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const StoreError& error) {
    return error.what();
  }
  return "";
}

// Rows of one device's history, oldest first, read with a second connection.
std::vector<Bytes> HistoryOf(const std::string& path, std::uint32_t id, int type) {
  runtime::SqliteDb db(path, 1000);
  runtime::SqliteStatement select(
      db, "SELECT record FROM history WHERE data_id = ?1 AND record_type = ?2 ORDER BY id");
  select.Bind(1, std::int64_t{id}).Bind(2, std::int64_t{type});
  std::vector<Bytes> rows;
  while (select.Next()) rows.push_back(select.Blob(0));
  return rows;
}

TEST_F(StoreTest, KeepsHistoryRowsAndOneCacheRowPerRecord) {
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  for (unsigned char tag = 1; tag <= 3; ++tag) {
    Append(store, 11, 5209, Record(tag));
    const Bytes cached = Record(tag);
    store.PutCache(11, 5209, kNoon, cached.data(), cached.size());
  }
  // The rectifier group carries the bus device's data id: same id, own row.
  const Bytes group = Record(9, 137);
  store.PutCache(100, 5211, kNoon, group.data(), group.size());
  Append(store, 100, 5211, group);

  EXPECT_EQ(HistoryOf(Path(), 11, 5209), (std::vector<Bytes>{Record(1), Record(2), Record(3)}));
  EXPECT_EQ(store.HistoryRows(100, 5211), 1);
  EXPECT_EQ(store.CacheRows(), 2);
  EXPECT_EQ(store.FindCache(11, 5209), Record(3));
  EXPECT_EQ(store.FindCache(100, 5211), group);
  EXPECT_FALSE(store.FindCache(100, 5209).has_value());
  EXPECT_EQ(store.CacheTypes(100), std::vector<int>{5211});
}

TEST_F(StoreTest, HistoryKeepsTheNewestRowsOfEachDevice) {
  RecordStore store(Path(), HistoryBound{5, 0, 0});
  for (unsigned char tag = 1; tag <= 12; ++tag) Append(store, 11, 5209, Record(tag));
  Append(store, 21, 5210, Record(99));

  const std::vector<Bytes> kept = HistoryOf(Path(), 11, 5209);
  ASSERT_EQ(kept.size(), 5u);
  EXPECT_EQ(kept.front(), Record(8));
  EXPECT_EQ(kept.back(), Record(12));
  EXPECT_EQ(store.HistoryRows(21, 5210), 1);
}

TEST_F(StoreTest, HistoryKeepsOnlyItsDays) {
  RecordStore store(Path(), HistoryBound{0, 1, 0});
  Append(store, 11, 5209, Record(1), kNoon);
  Append(store, 11, 5209, Record(2), kNoon + hours(1));
  Append(store, 21, 5210, Record(3), kNoon + hours(2));
  // 25 hours after the first row: it is older than one day, the second is not.
  Append(store, 11, 5209, Record(4), kNoon + hours(25));
  EXPECT_EQ(HistoryOf(Path(), 11, 5209), (std::vector<Bytes>{Record(2), Record(4)}));
  EXPECT_EQ(store.HistoryRows(21, 5210), 1);
}

// A commit drops nothing; the bounds are applied by batches that commits
// carry, oldest rows first, and keep exactly the newest rows of each bound.
TEST_F(StoreTest, PruningBringsEveryBoundBackInBatchesBetweenCommits) {
  RecordStore store(Path(), HistoryBound{4, 1, 3});
  auto row = [](std::uint32_t id, int type, ptime time, unsigned char tag) {
    return runtime::StoreBatch::Row{id, type, time, std::make_shared<const Bytes>(Record(tag))};
  };
  const ptime newest = kNoon + minutes(5);
  runtime::StoreBatch full;
  // Device 21: five rows past the day bound, one exactly at its edge.
  for (unsigned char tag = 1; tag <= 5; ++tag) {
    full.history.push_back(row(21, 5210, newest - hours(48) + minutes(tag), tag));
  }
  full.history.push_back(row(21, 5210, newest - hours(24), 6));
  // Device 11: six rows inside the day bound, two more than the row bound.
  for (unsigned char tag = 10; tag <= 15; ++tag) {
    full.history.push_back(row(11, 5209, newest - minutes(15 - tag), tag));
  }
  for (int n = 1; n <= 7; ++n) {
    runtime::AlarmEvent event;
    event.data_id = 11;
    event.record_type = 5209;
    event.raised = true;
    event.id = "AC_" + std::to_string(n);
    event.text = "alarm " + std::to_string(n);
    full.alarms.push_back(event);
  }
  EXPECT_EQ(store.Write(full), 0u);
  EXPECT_EQ(store.HistoryRows(21, 5210), 6);
  EXPECT_EQ(store.HistoryRows(11, 5209), 6);
  EXPECT_EQ(store.AlarmEventRows(), 7);

  runtime::StoreBatch prune;
  prune.prune = 4;
  // The oldest go first: four of the rows past the day bound.
  EXPECT_EQ(store.Write(prune), 4u);
  EXPECT_EQ(HistoryOf(Path(), 21, 5210), (std::vector<Bytes>{Record(5), Record(6)}));
  // A commit in between drops nothing more.
  runtime::StoreBatch commit;
  commit.cache.push_back(row(11, 5209, newest, 99));
  EXPECT_EQ(store.Write(commit), 0u);
  EXPECT_EQ(store.HistoryRows(21, 5210) + store.HistoryRows(11, 5209), 8);
  EXPECT_EQ(store.AlarmEventRows(), 7);
  // 1 + 2 + 4 rows are left past the bounds: two more batches, the last short.
  EXPECT_EQ(store.Write(prune), 4u);
  EXPECT_EQ(store.Write(prune), 3u);
  EXPECT_EQ(store.Write(prune), 0u);

  EXPECT_EQ(HistoryOf(Path(), 21, 5210), std::vector<Bytes>{Record(6)});
  EXPECT_EQ(HistoryOf(Path(), 11, 5209),
            (std::vector<Bytes>{Record(12), Record(13), Record(14), Record(15)}));
  std::vector<std::string> texts;
  for (const runtime::AlarmEvent& event : store.AlarmEvents({}, false)) {
    texts.push_back(event.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"alarm 5", "alarm 6", "alarm 7"}));
  EXPECT_EQ(store.FindCache(11, 5209), Record(99));
}

TEST_F(StoreTest, AlarmEventsGiveTheAlarmsActiveAtTheEnd) {
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  auto event = [](bool raised, const std::string& text, int type = 5211) {
    runtime::AlarmEvent e;
    e.raised = raised;
    e.time = "2026-12-08 12:00:00";
    e.data_id = 100;
    e.record_type = type;
    e.level = 2;
    e.id = "RC_0";
    e.code = "06024";
    e.name = "整流模块故障告警";
    e.text = text;
    return e;
  };
  store.AppendAlarmEvent(event(true, "模块1整流模块故障告警"));
  store.AppendAlarmEvent(event(true, "模块2整流模块故障告警"));
  store.AppendAlarmEvent(event(false, "模块1整流模块故障告警"));
  store.AppendAlarmEvent(event(true, "模块1整流模块故障告警", 0));  // another device

  const std::vector<runtime::AlarmEvent> active = store.ActiveAlarms();
  ASSERT_EQ(active.size(), 2u);
  EXPECT_EQ(active[0].text, "模块2整流模块故障告警");
  EXPECT_EQ(active[0].record_type, 5211);
  EXPECT_EQ(active[0].name, "整流模块故障告警");
  EXPECT_EQ(active[1].text, "模块1整流模块故障告警");
  EXPECT_EQ(active[1].record_type, 0);
}

TEST_F(StoreTest, AlarmEventsAreBounded) {
  RecordStore store(Path(), HistoryBound{0, 0, 3});
  runtime::AlarmEvent event;
  for (int i = 0; i < 10; ++i) {
    event.raised = i % 2 == 0;
    store.AppendAlarmEvent(event);
  }
  EXPECT_EQ(store.AlarmEventRows(), 3);
}

TEST_F(StoreTest, AlarmTextsAreStoredAsValidUtf8) {
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  runtime::AlarmEvent event;
  event.raised = true;
  event.id = "device_model";
  event.name = "设备配置检测";
  event.text = "检测型号:KOR\xFF\xE8";
  store.AppendAlarmEvent(event);
  const std::vector<runtime::AlarmEvent> active = store.ActiveAlarms();
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].name, "设备配置检测");
  EXPECT_EQ(active[0].text, "检测型号:KOR\xEF\xBF\xBD\xEF\xBF\xBD");
}

// A file of an earlier version, without the event_id column: read-only its
// rows have no id; a writer adds the column, and the old row stays without.
TEST_F(StoreTest, AFileWithoutEventIdsOpensAndGetsTheirColumn) {
  runtime::AlarmEvent event;
  event.raised = true;
  {
    RecordStore store(Path(), HistoryBound{0, 0, 0});
    store.AppendAlarmEvent(event);
  }
  runtime::SqliteDb(Path(), 100).Exec("ALTER TABLE alarm_events DROP COLUMN event_id");
  {
    RecordStore reader(Path(), HistoryBound(), 100, runtime::SqliteDb::Access::kReadOnly);
    EXPECT_EQ(reader.ActiveAlarms().at(0).event_id, "");
  }
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  event.raised = false;
  event.event_id = "00000000000000c1";
  store.AppendAlarmEvent(event);
  const std::vector<runtime::AlarmEvent> events = store.AlarmEvents({}, false);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_id, "");
  EXPECT_EQ(store.LastAlarmEvents().at(0).event_id, "00000000000000c1");
}

// Queries by device, inclusive time range and newest N, alone and together.
TEST_F(StoreTest, HistoryRowsPassTheirFilter) {
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  // ids 1..6: device 21 at 12:00, 12:01, 12:02; device 22 at 12:00, 12:01; 21 at 13:00.
  for (int minute : {0, 1, 2}) Append(store, 21, 5210, Record(1), kNoon + minutes(minute));
  for (int minute : {0, 1}) Append(store, 22, 5210, Record(2), kNoon + minutes(minute));
  Append(store, 21, 5210, Record(3), kNoon + hours(1));

  const std::optional<std::uint32_t> all;
  const struct Row {
    std::optional<std::uint32_t> device;
    std::string since, until;
    unsigned int last;
    std::vector<std::int64_t> ids;
  } rows[] = {
      {all, "", "", 0, {1, 2, 3, 4, 5, 6}},
      {21u, "", "", 0, {1, 2, 3, 6}},
      {all, "2026-12-08 12:01:00", "", 0, {2, 3, 5, 6}},
      {all, "", "2026-12-08 12:01:00", 0, {1, 2, 4, 5}},  // both bounds are inclusive
      {21u, "2026-12-08 12:01:00", "2026-12-08 12:59:59", 0, {2, 3}},
      {21u, "2026-12-08 12:01:00", "", 2, {3, 6}},  // the newest two in the range
      {all, "2026-12-08 12:00:00", "2026-12-08 12:01:00", 1, {5}},
      {22u, "2026-12-08 12:02:00", "", 0, {}},
      {99u, "", "", 0, {}},
  };
  // Every row of a table finds the ids it names, in order.
  const auto expect_ids = [&](const auto& table) {
    for (const Row& row : table) {
      runtime::RowFilter filter;
      filter.data_id = row.device;
      filter.since = row.since;
      filter.until = row.until;
      filter.last = row.last;
      std::vector<std::int64_t> ids;
      store.ForEachHistoryRow(filter,
                              [&](const runtime::HistoryRow& found) { ids.push_back(found.id); });
      EXPECT_EQ(ids, row.ids) << row.since << " .. " << row.until << " last " << row.last;
    }
  };
  expect_ids(rows);
  // A clock set back: id 7 is older than the rows before it. Ranges are
  // read by id between the first and last id in the range, so it is found
  // and the newest N are still the last stored.
  Append(store, 21, 5210, Record(5), kNoon - hours(1));
  const Row set_back[] = {
      {21u, "2026-12-08 10:00:00", "2026-12-08 11:59:59", 0, {7}},
      {all, "", "2026-12-08 12:00:00", 0, {1, 4, 7}},
      {21u, "2026-12-08 11:00:00", "", 2, {6, 7}},
  };
  expect_ids(set_back);
  runtime::RowFilter one;
  one.data_id = 22;
  EXPECT_EQ(store.HistoryTypes(one), std::vector<int>{5210});
  Append(store, 100, 5211, Record(4));
  EXPECT_EQ(store.HistoryTypes(runtime::RowFilter()), (std::vector<int>{5210, 5211}));
}

// Every query with a time bound, of one device or of all, with or without
// --last (limit), searches history_by_time: none reads the whole table,
// whose cost grows with the days kept. A file of an earlier version loses its
// indexes by device, which cost every commit a page per device, when it is
// opened for writing. (A query without a time bound reads back from the
// newest row until it has --last rows, or reads every row when it asks for
// every row.)
TEST_F(StoreTest, ATimeRangeIsReadThroughTheTimeIndex) {
  { RecordStore store(Path(), HistoryBound{0, 0, 0}); }
  runtime::SqliteDb(Path(), 100)
      .Exec("CREATE INDEX history_by_device_time ON history (data_id, time)");
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  for (const std::optional<std::uint32_t> device :
       {std::optional<std::uint32_t>(), std::optional<std::uint32_t>(21u)}) {
    for (const auto& [since, until] :
         {std::pair<std::string, std::string>{"2026-12-08 13:00:00", ""},
          {"", "2026-12-08 13:00:00"},
          {"2026-12-08 13:00:00", "2026-12-08 14:00:00"}}) {
      for (const unsigned int last : {0u, 5u}) {
        runtime::RowFilter filter;
        filter.data_id = device;
        filter.since = since;
        filter.until = until;
        filter.last = last;
        std::string steps;
        for (const std::string& step : store.HistoryPlan(filter)) steps += step + "\n";
        const std::string form = (device ? "device " : "all ") + since + " .. " + until + " last " +
                                 std::to_string(last) + ":\n" + steps;
        EXPECT_EQ(steps.find("SCAN history"), std::string::npos) << form;
        EXPECT_NE(steps.find("SEARCH history USING COVERING INDEX history_by_time"),
                  std::string::npos)
            << form;
        EXPECT_NE(steps.find("SEARCH history USING INTEGER PRIMARY KEY"), std::string::npos)
            << form;
        EXPECT_EQ(steps.find("history_by_device"), std::string::npos) << form;
      }
    }
  }
}

// The row bound, when set by default, does not cut history shorter than the
// day bound at one cycle every 2 seconds.
TEST(HistoryBoundDefaults, TheRowBoundKeepsTheDaysOfHistory) {
  const HistoryBound bound;
  const unsigned int rows_per_day = 24 * 3600 / 2;
  EXPECT_TRUE(bound.rows_per_device == 0 || bound.rows_per_device >= bound.days * rows_per_day);
}

TEST_F(StoreTest, AlarmEventsPassTheirFilterAndActiveOnesAreTheLastRaises) {
  RecordStore store(Path(), HistoryBound{0, 0, 0});
  auto append = [&](bool raised, std::uint32_t device, const std::string& text,
                    const std::string& time) {
    runtime::AlarmEvent event;
    event.raised = raised;
    event.time = time;
    event.data_id = device;
    event.record_type = 5210;
    event.level = 1;
    event.id = "DC_V";
    event.text = text;
    store.AppendAlarmEvent(event);
  };
  append(true, 21, "low", "2026-12-08 12:00:00");
  append(false, 21, "low", "2026-12-08 12:05:00");
  append(true, 21, "fuse", "2026-12-08 12:06:00");
  append(true, 22, "low", "2026-12-08 12:07:00");
  append(true, 21, "low", "2026-12-08 13:00:00");  // raised again

  auto texts = [&](std::optional<std::uint32_t> device, const std::string& since, bool active,
                   unsigned int last = 0) {
    runtime::RowFilter filter;
    filter.data_id = device;
    filter.since = since;
    filter.last = last;
    std::vector<std::string> found;
    for (const runtime::AlarmEvent& event : store.AlarmEvents(filter, active)) {
      found.push_back(std::to_string(event.data_id) + (event.raised ? "+" : "-") + event.text);
    }
    return found;
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(texts({}, "", false), (Texts{"21+low", "21-low", "21+fuse", "22+low", "21+low"}));
  EXPECT_EQ(texts(21u, "2026-12-08 12:05:00", false), (Texts{"21-low", "21+fuse", "21+low"}));
  EXPECT_EQ(texts({}, "", true), (Texts{"21+fuse", "22+low", "21+low"}));
  EXPECT_EQ(texts(21u, "", true, 1), (Texts{"21+low"}));
  // Active is decided by all events, then the range picks among the raises.
  EXPECT_EQ(texts({}, "2026-12-08 12:07:00", true), (Texts{"22+low", "21+low"}));
}

TEST_F(StoreTest, AFileThatIsNotADatabaseIsRefusedWithItsName) {
  std::ofstream(Path()) << std::string(4096, 'x');
  const std::string message = MessageOf([&] { RecordStore store(Path(), HistoryBound()); });
  EXPECT_NE(message.find("database " + Path() + ": corrupt or not a database"), std::string::npos)
      << message;
}

TEST_F(StoreTest, ADamagedDatabaseIsRefused) {
  {
    RecordStore store(Path(), HistoryBound{0, 0, 0});
    for (int i = 0; i < 200; ++i) Append(store, 11, 5209, Record(7, 300));
  }
  // Left as by a crash: the next writer checks the whole file.
  runtime::SqliteDb(Path(), 100).Exec("UPDATE store_state SET value = 'open'");
  // Overwrite the middle of the file, past the header page, with garbage.
  const auto size = std::filesystem::file_size(Path());
  {
    std::fstream file(Path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(size / 2));
    file << std::string(8192, '\xA5');
  }
  const std::string message = MessageOf([&] { RecordStore store(Path(), HistoryBound()); });
  EXPECT_NE(message.find("corrupt or not a database"), std::string::npos) << message;
}

// Reading the whole file costs seconds on an SD card: it is done only when
// the last writer did not close the file, or the file predates the mark.
TEST_F(StoreTest, OnlyAFileLeftByAnUncleanEndIsCheckedWhole) {
  { RecordStore create(Path(), HistoryBound()); }
  EXPECT_FALSE(RecordStore(Path(), HistoryBound()).CheckedAfterUncleanEnd());
  { RecordStore reader(Path(), HistoryBound(), 100, runtime::SqliteDb::Access::kReadOnly); }
  EXPECT_FALSE(RecordStore(Path(), HistoryBound()).CheckedAfterUncleanEnd());
  runtime::SqliteDb(Path(), 100).Exec("DROP TABLE store_state");
  EXPECT_TRUE(RecordStore(Path(), HistoryBound()).CheckedAfterUncleanEnd());
}

TEST_F(StoreTest, APathThatCannotBeOpenedIsNamed) {
  const std::string path = dir_ + "/no/such/dir/test.db";
  const std::string message = MessageOf([&] { RecordStore store(path, HistoryBound()); });
  EXPECT_NE(message.find("database " + path + ": cannot open"), std::string::npos) << message;
}

// Only a file whose content is wrong is called corrupt; the disk's and the
// permissions' failures are named with the system's reason.
TEST(StoreOpenFailure, NamesTheSystemsReason) {
  struct Row {
    int code;
    int system_errno;
    const char* text;
  };
  const Row rows[] = {
      {SQLITE_FULL, ENOSPC, "cannot open: M (No space left on device)"},
      {SQLITE_IOERR_WRITE, ENOSPC, "cannot open: M (No space left on device)"},
      {SQLITE_CANTOPEN, EACCES, "cannot open: M (Permission denied)"},
      {SQLITE_READONLY_DBMOVED, EROFS, "cannot open: M (Read-only file system)"},
      {SQLITE_IOERR_SHMOPEN, 0, "cannot open: M"},
      {SQLITE_NOTADB, 0, "corrupt or not a database: M"},
      {SQLITE_CORRUPT_INDEX, 0, "corrupt or not a database: M"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(runtime::OpenFailureText(row.code, row.system_errno, "M"), row.text) << row.code;
  }
}

// Another program's database is refused in one line and left as it was; a
// file of this program from before the mark is taken and marked.
TEST_F(StoreTest, AnotherProgramsDatabaseIsRefusedAndOursIsMarked) {
  const auto id_of = [](const std::string& path) {
    runtime::SqliteDb db(path, 100);
    runtime::SqliteStatement id(db, "PRAGMA application_id");
    return id.Next() ? id.Int(0) : -1;
  };
  runtime::SqliteDb(Path("foreign.db"), 100)
      .Exec("CREATE TABLE accounts (x); CREATE TABLE history (y)");
  runtime::SqliteDb(Path("other-id.db"), 100).Exec("PRAGMA application_id = 42");
  const std::pair<std::string, std::string> rows[] = {
      {Path("foreign.db"), ": not a korvan-host database (it holds 1 other table: accounts)"},
      {Path("other-id.db"),
       ": not a korvan-host database (application id 42 belongs to another program)"},
  };
  for (const auto& [path, reason] : rows) {
    const auto before = std::filesystem::file_size(path);
    EXPECT_EQ(MessageOf([&] { RecordStore store(path, HistoryBound()); }),
              "database " + path + reason);
    EXPECT_EQ(std::filesystem::file_size(path), before) << path;
  }
  // Ours without the mark (as earlier versions wrote it): the store's own tables only.
  { RecordStore store(Path("older.db"), HistoryBound()); }
  runtime::SqliteDb(Path("older.db"), 100).Exec("PRAGMA application_id = 0");
  EXPECT_EQ(id_of(Path("older.db")), 0);
  { RecordStore store(Path("older.db"), HistoryBound()); }
  EXPECT_EQ(id_of(Path("older.db")), 0x4B52564E);
}

// A read-only store never creates, converts or adds to a file.
TEST_F(StoreTest, ReadOnlyAccessChangesNothingAndWantsTheStoresTables) {
  const auto read_only = [](const std::string& path) {
    RecordStore store(path, HistoryBound(), 100, runtime::SqliteDb::Access::kReadOnly);
  };
  EXPECT_NE(MessageOf([&] {
              read_only(Path("absent.db"));
            }).find("database " + Path("absent.db") + ": cannot open: "),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Path("absent.db")));

  std::ofstream(Path("empty.db")).close();
  EXPECT_EQ(MessageOf([&] { read_only(Path("empty.db")); }),
            "database " + Path("empty.db") +
                ": not a korvan-host database (it has no history "
                "table)");
  EXPECT_EQ(std::filesystem::file_size(Path("empty.db")), 0u);

  {
    RecordStore store(Path(), HistoryBound{0, 0, 0});
    Append(store, 11, 5209, Record(1));
  }
  runtime::SqliteDb(Path(), 100).Exec("DROP TABLE alarm_events");
  EXPECT_NE(MessageOf([&] { read_only(Path()); }).find("it has no alarm_events table"),
            std::string::npos);
}

// Without the right to write the file (not testable as root, who has it).
TEST_F(StoreTest, AFileThatMayNotBeWrittenIsNotCalledCorrupt) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
  { RecordStore store(Path(), HistoryBound{0, 0, 0}); }
  ASSERT_EQ(chmod(Path().c_str(), 0444), 0);
  const std::string message = MessageOf([&] { RecordStore store(Path(), HistoryBound()); });
  EXPECT_EQ(message.find("corrupt"), std::string::npos) << message;
  EXPECT_NE(message.find("database " + Path() + ": cannot open"), std::string::npos) << message;
}

TEST_F(StoreTest, AFailedTransactionLeavesNothing) {
  runtime::SqliteDb db(Path(), 1000);
  db.Exec("CREATE TABLE t (x INTEGER)");
  try {
    runtime::SqliteTransaction transaction(db);
    db.Exec("INSERT INTO t VALUES (1)");
    db.Exec("INSERT INTO no_such_table VALUES (2)");
    transaction.Commit();
  } catch (const StoreError&) {
  }
  runtime::SqliteStatement count(db, "SELECT COUNT(*) FROM t");
  ASSERT_TRUE(count.Next());
  EXPECT_EQ(count.Int(0), 0);
}

TEST_F(StoreTest, AWriteBlockedByAnotherWriterFailsCleanlyAndTheStoreGoesOn) {
  RecordStore store(Path(), HistoryBound{0, 0, 0}, 50);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const Bytes record = Record(1);
  const std::string message = MessageOf([&] { Append(store, 11, 5209, record); });
  EXPECT_NE(message.find("database " + Path()), std::string::npos) << message;
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);

  EXPECT_EQ(store.HistoryRows(11, 5209), 0);
  Append(store, 11, 5209, record);
  EXPECT_EQ(store.HistoryRows(11, 5209), 1);
}

TEST_F(StoreTest, AKilledWriterLeavesOnlyWholeRows) {
  { RecordStore create(Path(), HistoryBound{0, 0, 0}); }
  // Appends done, counted in memory the child shares: it is killed amid its
  // appends once the first is committed, however slow the machine.
  void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* appended = new (shared) std::atomic<int>(0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RecordStore store(Path(), HistoryBound{50, 0, 0});
    const Bytes record = Record(3, 4000);
    for (;;) {
      Append(store, 11, 5209, record);
      appended->fetch_add(1);
    }
  }
  WaitFor([&] { return appended->load() >= 1; });
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);

  RecordStore store(Path(), HistoryBound{0, 0, 0});  // passes the integrity check
  const std::vector<Bytes> rows = HistoryOf(Path(), 11, 5209);
  EXPECT_FALSE(rows.empty());
  EXPECT_LE(rows.size(), 50u);
  for (const Bytes& row : rows) EXPECT_EQ(row, Record(3, 4000));
  munmap(shared, sizeof(std::atomic<int>));
}

}  // namespace
