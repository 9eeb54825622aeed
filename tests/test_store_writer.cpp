// The store as an output of the event stream: writes collected into one
// commit per interval, history at a resolution, cache rows written rarely,
// failed commits kept for the next attempt, and a killed writer.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/event_stream.h"
#include "store/record_store.h"
#include "store/sqlite_db.h"
#include "store/store_writer.h"
#include "support/temp_dir.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;
using runtime::RuntimeEvent;
using Bytes = std::vector<unsigned char>;
using Kind = RuntimeEvent::Kind;

const ptime kNoon = time_from_string("2026-12-08 12:00:00");

RuntimeEvent RecordEvent(Kind kind, std::uint32_t id, int type, ptime time, const Bytes& record) {
  RuntimeEvent event;
  event.kind = kind;
  event.time = time;
  event.device = runtime::DeviceKey{id, type};
  event.record = std::make_shared<const Bytes>(record);
  return event;
}

Bytes Tagged(unsigned int tag) {
  return Bytes{static_cast<unsigned char>(tag), static_cast<unsigned char>(tag >> 8), 0x5A};
}

// Collects the problems reported on the stream.
class Problems : public runtime::EventSubscriber {
 public:
  void OnEvent(const RuntimeEvent& event) override {
    if (event.kind != Kind::kProblem) return;
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(event.text);
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

// A store at a temporary path with a writer subscribed to a stream.
struct Rig {
  explicit Rig(runtime::StoreWriterOptions options, int busy_timeout_ms = 2000)
      : store(std::make_shared<runtime::RecordStore>(dir.File("k.db"), runtime::HistoryBound{},
                                                     busy_timeout_ms)),
        writer(std::make_shared<runtime::StoreWriter>(store, events, options)) {
    events.Subscribe("store", writer);
    events.Subscribe("problems", problems);
  }
  void History(std::uint32_t id, ptime time, const Bytes& record) {
    events.Publish(RecordEvent(Kind::kHistorySaved, id, 5209, time, record));
  }
  void Published(std::uint32_t id, const Bytes& record) {
    events.Publish(RecordEvent(Kind::kRecordPublished, id, 5209, kNoon, record));
  }
  std::vector<ptime> HistoryTimes(std::uint32_t id) {
    std::vector<ptime> times;
    for (const runtime::HistoryRow& row : store->History(id, 0)) {
      times.push_back(time_from_string(row.time));
    }
    return times;
  }

  TempDir dir;
  runtime::EventStream events;
  std::shared_ptr<runtime::RecordStore> store;
  std::shared_ptr<runtime::StoreWriter> writer;
  std::shared_ptr<Problems> problems = std::make_shared<Problems>();
};

runtime::StoreWriterOptions Options(std::chrono::milliseconds commit,
                                    std::chrono::milliseconds history_every) {
  runtime::StoreWriterOptions options;
  options.commit_interval = commit;
  options.history_every = history_every;
  options.cache_interval = std::chrono::hours(1);
  return options;
}

TEST(StoreWriter, AnIntervalOfWritesIsOneCommitAndTheCacheKeepsTheNewestRecord) {
  Rig rig(Options(std::chrono::hours(1), std::chrono::milliseconds(0)));
  for (unsigned int i = 0; i < 20; ++i) {
    rig.History(11, kNoon + seconds(i), Tagged(i));
    rig.Published(11, Tagged(i));
  }
  runtime::AlarmEvent alarm;
  alarm.data_id = 11;
  alarm.record_type = 5209;
  alarm.raised = true;
  alarm.id = "AC_1";
  alarm.text = "low";
  RuntimeEvent raised;
  raised.kind = Kind::kAlarm;
  raised.alarm = alarm;
  rig.events.Publish(raised);
  rig.events.Flush();

  EXPECT_EQ(rig.writer->Commits(), 1u);
  EXPECT_EQ(rig.store->History(11, 0).size(), 20u);
  EXPECT_EQ(rig.store->FindCache(11, 5209), Tagged(19));
  EXPECT_EQ(rig.store->ActiveAlarms().size(), 1u);
  // Nothing waits: a second flush writes nothing.
  rig.events.Flush();
  EXPECT_EQ(rig.writer->Commits(), 1u);
}

// The first commit starts a pruning pass that drops at most a batch per
// commit until nothing is past the bound; the next waits an interval.
TEST(StoreWriter, CommitsCarryThePruningPassInBoundedBatches) {
  runtime::StoreWriterOptions options = Options(std::chrono::hours(1), std::chrono::seconds(0));
  options.prune_batch = 2;
  Rig rig(options);
  // History of an earlier run: five rows older than the 7 days kept.
  auto old_rows = [&](int count) {
    runtime::StoreBatch batch;
    for (int n = 0; n < count; ++n) {
      batch.history.push_back({11, 5209, kNoon - boost::posix_time::hours(24 * 8 - n),
                               std::make_shared<const Bytes>(Tagged(900 + n))});
    }
    rig.store->Write(batch);
  };
  old_rows(5);
  std::vector<std::size_t> rows;
  for (int commit = 0; commit < 4; ++commit) {
    rig.History(11, kNoon + seconds(commit), Tagged(commit));
    rig.events.Flush();
    rows.push_back(rig.store->History(11, 0).size());
  }
  // 5 old + 1 new - 2, + 1 - 2, + 1 - 1 (the pass ends), + 1.
  EXPECT_EQ(rows, (std::vector<std::size_t>{4, 3, 3, 4}));
  EXPECT_EQ(rig.writer->Commits(), 4u);
  EXPECT_EQ(rig.HistoryTimes(11).front(), kNoon);
  // Rows past the bound now wait for the next pass, an hour away.
  old_rows(1);
  rig.History(11, kNoon + seconds(10), Tagged(10));
  rig.events.Flush();
  EXPECT_EQ(rig.store->History(11, 0).size(), 6u);
}

TEST(StoreWriter, HistoryIsKeptAtItsResolutionPerDevice) {
  Rig rig(Options(std::chrono::hours(1), std::chrono::seconds(60)));
  for (int offset : {0, 20, 40, 60, 90, 125}) {
    rig.History(11, kNoon + seconds(offset), Tagged(offset));
    rig.History(21, kNoon + seconds(offset + 30), Tagged(offset));
  }
  // A clock set back starts anew rather than keeping nothing for an hour.
  rig.History(11, kNoon - boost::posix_time::hours(1), Tagged(1));
  rig.events.Flush();
  EXPECT_EQ(rig.HistoryTimes(11),
            (std::vector<ptime>{kNoon, kNoon + seconds(60), kNoon + seconds(125),
                                kNoon - boost::posix_time::hours(1)}));
  // The steps are the clock's, the same for every device: a row in each
  // minute, whatever the device's last one.
  EXPECT_EQ(rig.HistoryTimes(21),
            (std::vector<ptime>{kNoon + seconds(30), kNoon + seconds(70), kNoon + seconds(120)}));
}

// Waits (generously: CI runs under emulators) until `done` holds.
template <typename Condition>
bool WaitFor(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Rows kept in steps wait for the next step's rows or an alarm, and at most
// that many steps of time; the cache rides along a commit made anyway when
// its interval would end before the history's next commit.
TEST(StoreWriter, HistoryStepsShareACommitAndTheCacheRidesAlong) {
  {
    // A lone step's rows are committed once their wait is over.
    runtime::StoreWriterOptions options =
        Options(std::chrono::milliseconds(20), std::chrono::milliseconds(200));
    Rig rig(options);
    rig.History(11, kNoon, Tagged(1));
    EXPECT_TRUE(WaitFor([&] { return rig.store->History(11, 0).size() == 1; }));
  }
  runtime::StoreWriterOptions options =
      Options(std::chrono::milliseconds(20), std::chrono::seconds(60));
  options.cache_interval = std::chrono::seconds(100);  // within the history's wait
  Rig rig(options);
  rig.Published(11, Tagged(1));  // a first record: committed at once
  ASSERT_TRUE(WaitFor([&] { return rig.writer->Commits() == 1; }));
  rig.Published(11, Tagged(2));
  for (int device : {11, 21}) rig.History(device, kNoon, Tagged(10));
  // Many commit intervals pass: the step's rows still wait for the next step.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rig.writer->Commits(), 1u);
  rig.History(11, kNoon + seconds(60), Tagged(11));
  ASSERT_TRUE(WaitFor([&] { return rig.writer->Commits() == 2; }));
  EXPECT_EQ(rig.store->History(11, 0).size(), 2u);
  EXPECT_EQ(rig.store->History(21, 0).size(), 1u);
  EXPECT_EQ(rig.store->FindCache(11, 5209), Tagged(2));
  // A row of that step that comes after its commit, and the next step's,
  // wait for the step after.
  rig.History(21, kNoon + seconds(61), Tagged(11));
  rig.History(11, kNoon + seconds(120), Tagged(12));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rig.writer->Commits(), 2u);
  // An alarm event takes the waiting rows along.
  runtime::AlarmEvent alarm;
  alarm.data_id = 11;
  alarm.record_type = 5209;
  alarm.raised = true;
  alarm.id = "AC_1";
  RuntimeEvent raised;
  raised.kind = Kind::kAlarm;
  raised.alarm = alarm;
  rig.events.Publish(raised);
  ASSERT_TRUE(WaitFor([&] { return rig.writer->Commits() == 3; }));
  EXPECT_EQ(rig.store->ActiveAlarms().size(), 1u);
  EXPECT_EQ(rig.store->History(11, 0).size(), 3u);
  EXPECT_EQ(rig.store->History(21, 0).size(), 2u);
}

TEST(StoreWriter, ADriverRestartDropsTheCacheRowsWrittenAndWaiting) {
  Rig rig(Options(std::chrono::hours(1), std::chrono::milliseconds(0)));
  rig.Published(11, Tagged(1));
  rig.Published(21, Tagged(2));
  rig.events.Flush();
  rig.Published(11, Tagged(3));  // waits for the next commit
  RuntimeEvent restart;
  restart.kind = Kind::kDriverRestarted;
  restart.data_ids = {11};
  rig.events.Publish(restart);
  rig.events.Flush();
  EXPECT_FALSE(rig.store->FindCache(11, 5209));
  EXPECT_EQ(rig.store->FindCache(21, 5209), Tagged(2));
  // The new device's records are kept again.
  rig.Published(11, Tagged(4));
  rig.events.Flush();
  EXPECT_EQ(rig.store->FindCache(11, 5209), Tagged(4));
}

TEST(StoreWriter, AFailedCommitKeepsItsRowsForTheNextAttempt) {
  Rig rig(Options(std::chrono::hours(1), std::chrono::milliseconds(0)), 50);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(rig.dir.File("k.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  rig.History(11, kNoon, Tagged(1));
  rig.events.Flush();
  rig.History(11, kNoon + seconds(1), Tagged(2));
  rig.events.Flush();  // fails again with the same reason: reported once
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  rig.History(11, kNoon + seconds(2), Tagged(3));
  rig.events.Flush();

  EXPECT_EQ(rig.HistoryTimes(11),
            (std::vector<ptime>{kNoon, kNoon + seconds(1), kNoon + seconds(2)}));
  const std::vector<std::string> problems = rig.problems->Texts();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("database " + rig.dir.File("k.db")), std::string::npos) << problems[0];
}

// A device's first record is cached at the next commit, so that a crash
// before the cache interval ends still leaves a restore; its later records
// wait for the cache interval, until a driver restart makes the device anew.
TEST(StoreWriter, TheCommitIntervalEndsWithoutAnotherEventAndTheCacheWaitsForItsOwn) {
  Rig rig(Options(std::chrono::milliseconds(20), std::chrono::milliseconds(0)));
  rig.Published(11, Tagged(1));
  rig.History(11, kNoon, Tagged(1));
  // No flush: the writer's own deadline commits the row and the first record
  // (in one commit or two, as the writer's thread gets to them).
  EXPECT_TRUE(WaitFor([&] { return rig.store->History(11, 0).size() == 1; }));
  EXPECT_TRUE(WaitFor([&] { return rig.store->FindCache(11, 5209) == Tagged(1); }));

  rig.Published(11, Tagged(2));
  rig.History(11, kNoon + seconds(1), Tagged(2));
  ASSERT_TRUE(WaitFor([&] { return rig.store->History(11, 0).size() == 2; }));
  EXPECT_EQ(rig.store->FindCache(11, 5209), Tagged(1));  // its interval is an hour

  RuntimeEvent restart;
  restart.kind = Kind::kDriverRestarted;
  restart.data_ids = {11};
  rig.events.Publish(restart);
  rig.Published(11, Tagged(3));
  EXPECT_TRUE(WaitFor([&] { return rig.store->FindCache(11, 5209) == Tagged(3); }));
  rig.Published(11, Tagged(4));
  rig.events.Flush();
  EXPECT_EQ(rig.store->FindCache(11, 5209), Tagged(4));
}

// While the database refuses writes, the oldest history rows and alarm
// events beyond their bounds are dropped, and that is told: when it starts,
// at each flush while it grows, and in all when a commit succeeds again.
TEST(StoreWriter, RowsDroppedWhileTheDatabaseRefusesWritesAreReported) {
  runtime::StoreWriterOptions options =
      Options(std::chrono::hours(1), std::chrono::milliseconds(0));
  options.max_waiting_rows = 3;
  options.max_waiting_alarms = 2;
  Rig rig(options, 50);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(rig.dir.File("k.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (int i = 0; i < 5; ++i) rig.History(11, kNoon + seconds(i), Tagged(i));
  for (int i = 0; i < 4; ++i) {
    runtime::AlarmEvent alarm;
    alarm.data_id = 11;
    alarm.record_type = 5209;
    alarm.raised = i % 2 == 0;
    alarm.id = "AC_" + std::to_string(i / 2);
    RuntimeEvent event;
    event.kind = Kind::kAlarm;
    event.alarm = alarm;
    rig.events.Publish(event);
  }
  rig.events.Flush();
  rig.events.Flush();  // nothing more dropped: nothing more told
  rig.History(11, kNoon + seconds(5), Tagged(5));
  rig.events.Flush();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  rig.events.Flush();

  EXPECT_EQ(rig.HistoryTimes(11),
            (std::vector<ptime>{kNoon + seconds(3), kNoon + seconds(4), kNoon + seconds(5)}));
  const std::vector<runtime::AlarmEvent> alarms = rig.store->AlarmEvents({}, false);
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_EQ(alarms[0].id, "AC_1");
  EXPECT_EQ(rig.writer->DroppedRows(), 3u);
  EXPECT_EQ(rig.writer->DroppedAlarmEvents(), 2u);
  std::vector<std::string> dropped;
  for (const std::string& text : rig.problems->Texts()) {
    if (text.find("dropped") != std::string::npos) dropped.push_back(text);
  }
  const std::string refused =
      " wait for the database, which refuses writes: the oldest are dropped";
  EXPECT_EQ(dropped, (std::vector<std::string>{
                         "more than 3 history rows" + refused + " (1 so far)",
                         "more than 2 alarm events" + refused + " (1 so far)",
                         "2 history rows dropped so far: the database refuses writes",
                         "2 alarm events dropped so far: the database refuses writes",
                         "3 history rows dropped so far: the database refuses writes",
                         "3 history rows were dropped while the database refused writes",
                         "2 alarm events were dropped while the database refused writes",
                     }));
}

// Kills the writing child and opens what it left.
std::unique_ptr<runtime::RecordStore> KillAndOpen(pid_t child, const std::string& path) {
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  return std::make_unique<runtime::RecordStore>(path, runtime::HistoryBound{});
}

// A writer killed at a random moment: the file is whole and checked at the
// next open, the history is every row up to the last commit without a gap,
// and the cache holds the newest committed record for a restore.
TEST(StoreWriter, AKilledWriterLosesOnlyWhatWasNotCommitted) {
  TempDir dir;
  const std::string path = dir.File("k.db");
  // Rows the child knows to be committed (a flush returned after them).
  auto* committed = static_cast<std::atomic<unsigned int>*>(
      mmap(nullptr, sizeof(std::atomic<unsigned int>), PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(committed, MAP_FAILED);
  new (committed) std::atomic<unsigned int>(0);
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      runtime::EventStream events;
      auto store = std::make_shared<runtime::RecordStore>(path, runtime::HistoryBound{});
      const auto rows = static_cast<unsigned int>(store->History(11, 0).size());
      events.Subscribe(
          "store",
          std::make_shared<runtime::StoreWriter>(
              store, events, Options(std::chrono::milliseconds(20), std::chrono::milliseconds(0))));
      for (unsigned int i = rows;; ++i) {
        const Bytes record = Tagged(i);
        events.Publish(RecordEvent(Kind::kRecordPublished, 11, 5209, kNoon, record));
        events.Publish(RecordEvent(Kind::kHistorySaved, 11, 5209, kNoon + seconds(i), record));
        if (i % 25 == 0) {
          events.Flush();
          committed->store(i + 1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    // Killed at a random moment after the child's first commit of this round
    // (a slow machine or an emulator may take long to get there).
    const unsigned int before = committed->load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (committed->load() == before && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 450)(random)));
    const std::unique_ptr<runtime::RecordStore> store = KillAndOpen(child, path);
    EXPECT_TRUE(store->CheckedAfterUncleanEnd());
    const std::vector<runtime::HistoryRow> rows = store->History(11, 0);
    ASSERT_GT(committed->load(), before) << "round " << round << ": no commit in 120 s";
    ASSERT_GE(rows.size(), committed->load()) << "round " << round;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(rows[i].record, Tagged(static_cast<unsigned int>(i))) << i;
    }
    // Cache rows go with flushes (and a device's first record), history rows
    // also at the deadline: the cache holds at least the record of the last
    // flush the child saw, and at most one a commit fell between the
    // publication of and the history save of.
    const auto cached = store->FindCache(11, 5209);
    ASSERT_TRUE(cached);
    ASSERT_EQ(cached->size(), 3u);
    const unsigned int tag = (*cached)[0] | (*cached)[1] << 8;
    EXPECT_GE(tag + 1, committed->load()) << "round " << round;
    EXPECT_LE(tag, rows.size()) << "round " << round;
  }
  munmap(committed, sizeof(std::atomic<unsigned int>));
}

// A writer that only its commit deadline commits, killed at a random moment:
// every row published longer than the commit interval before the kill is
// stored, without a gap. The slack covers a starved writer thread (CI runs
// this under load and emulators); the rows' publication times come from the
// child through shared memory.
TEST(StoreWriter, AKilledWriterKeepsEveryRowOlderThanTheCommitInterval) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kInterval = std::chrono::milliseconds(100);
  constexpr auto kSlack = std::chrono::seconds(5);
  constexpr unsigned int kMaxRows = 60000;  // below the 16 bits Tagged tells apart
  struct Shared {
    std::atomic<unsigned int> published;   // rows 0..published-1 have their time
    std::atomic<Clock::rep> at[kMaxRows];  // when each was published at the latest
  };
  auto* shared = static_cast<Shared*>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);  // zeroed
  TempDir dir;
  const std::string path = dir.File("k.db");
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 2; ++round) {
    const unsigned int first = shared->published.load();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        runtime::EventStream events;
        auto store = std::make_shared<runtime::RecordStore>(path, runtime::HistoryBound{});
        events.Subscribe("store",
                         std::make_shared<runtime::StoreWriter>(
                             store, events, Options(kInterval, std::chrono::milliseconds(0))));
        for (unsigned int i = first; i < kMaxRows; ++i) {
          events.Publish(RecordEvent(Kind::kHistorySaved, 11, 5209, kNoon + seconds(i), Tagged(i)));
          shared->at[i].store(Clock::now().time_since_epoch().count());
          shared->published.store(i + 1);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pause();
      } catch (...) {
      }
      _exit(1);  // never back into the test runner
    }
    // Killed at a random moment once the round's first row is older than
    // the bound, so that the bound asserts something in every round.
    auto published_at = [&](unsigned int i) {
      return Clock::time_point(Clock::duration(shared->at[i].load()));
    };
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (shared->published.load() == first && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool started = shared->published.load() > first;
    if (!started) kill(child, SIGKILL);
    ASSERT_TRUE(started) << "round " << round << ": no row in 120 s";
    std::this_thread::sleep_until(
        published_at(first) + kInterval + kSlack +
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 500)(random)));
    const Clock::time_point killed = Clock::now();
    const std::unique_ptr<runtime::RecordStore> store = KillAndOpen(child, path);
    EXPECT_TRUE(store->CheckedAfterUncleanEnd());
    const std::vector<runtime::HistoryRow> rows = store->History(11, 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(rows[i].record, Tagged(static_cast<unsigned int>(i))) << i;
    }
    unsigned int bound = first;  // rows that must be stored
    for (unsigned int i = first; i < shared->published.load(); ++i) {
      if (published_at(i) + kInterval + kSlack <= killed) bound = i + 1;
    }
    EXPECT_GT(bound, first) << "round " << round;
    ASSERT_GE(rows.size(), bound) << "round " << round;
    // The next round goes on from what is stored.
    shared->published.store(static_cast<unsigned int>(rows.size()));
  }
  munmap(shared, sizeof(Shared));
}

}  // namespace
