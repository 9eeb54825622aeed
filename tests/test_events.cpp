// The runtime's event stream: every output gets every event in order, on its
// own thread; a slow output loses events of its own and never holds up the
// publisher or the other outputs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/event_stream.h"

namespace {

using runtime::EventStream;
using runtime::RuntimeEvent;

// Records the texts of the events it is given; can be held up until released.
class Recorder : public runtime::EventSubscriber {
 public:
  void OnEvent(const RuntimeEvent& event) override {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [this] { return !held_; });
    texts_.push_back(event.text);
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  std::vector<std::string> texts_;
};

std::vector<std::string> Numbered(int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(std::to_string(i));
  return texts;
}

TEST(EventStream, EveryOutputGetsEveryEventInOrder) {
  EventStream stream;
  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  stream.Subscribe("first", first);
  stream.Subscribe("second", second);
  // From two threads: each thread's events keep their order.
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) stream.Note("b", "b" + std::to_string(i));
  });
  for (int i = 0; i < 200; ++i) stream.Note("a", std::to_string(i));
  other.join();
  stream.Flush();
  for (const auto& recorder : {first, second}) {
    std::vector<std::string> a, b;
    for (const std::string& text : recorder->Texts()) (text[0] == 'b' ? b : a).push_back(text);
    EXPECT_EQ(a, Numbered(200));
    ASSERT_EQ(b.size(), 200u);
    EXPECT_EQ(b.back(), "b199");
  }
  for (const EventStream::Counts& counts : stream.Statistics()) {
    EXPECT_EQ(counts.handled, 400u) << counts.name;
    EXPECT_EQ(counts.dropped, 0u) << counts.name;
  }
}

TEST(EventStream, AStuckOutputLosesItsOwnEventsOnlyAndHoldsNothingUp) {
  EventStream stream;
  auto stuck = std::make_shared<Recorder>();
  auto healthy = std::make_shared<Recorder>();
  stream.Subscribe("stuck", stuck, 10);
  stream.Subscribe("healthy", healthy, 1000);
  stuck->Hold();
  // Publishing returns while the stuck output holds one event and queues ten.
  for (int i = 0; i < 100; ++i) stream.Note("", std::to_string(i));
  while (healthy->Texts().size() < 100) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(healthy->Texts(), Numbered(100));

  stuck->Release();
  stream.Flush();
  const std::vector<std::string> got = stuck->Texts();
  // At least its full queue of ten, in order; what found the queue full is
  // missing.
  EXPECT_GE(got.size(), 10u);
  EXPECT_EQ(got.front(), "0");
  for (std::size_t i = 1; i < got.size(); ++i) EXPECT_LT(std::stoi(got[i - 1]), std::stoi(got[i]));
  const std::vector<EventStream::Counts> counts = stream.Statistics();
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[0].name, "stuck");
  EXPECT_EQ(counts[0].handled, got.size());
  EXPECT_EQ(counts[0].dropped + counts[0].handled, 100u);
  EXPECT_EQ(counts[1].dropped, 0u);

  // At the end the others are told who missed what.
  stream.Close();
  const std::vector<std::string> told = healthy->Texts();
  EXPECT_EQ(told.back(), "output \"stuck\" could not keep up and missed " +
                             std::to_string(counts[0].dropped) + " events");
}

TEST(EventStream, AfterCloseNothingIsDeliveredAndAThrowingOutputIsSurvived) {
  class Throwing : public runtime::EventSubscriber {
   public:
    void OnEvent(const RuntimeEvent&) override { throw std::runtime_error("broken output"); }
  };
  EventStream stream;
  auto recorder = std::make_shared<Recorder>();
  stream.Subscribe("throwing", std::make_shared<Throwing>());
  stream.Subscribe("recorder", recorder);
  stream.Note("", "before");
  stream.Close();
  stream.Note("", "after");
  stream.Subscribe("late", std::make_shared<Recorder>());
  EXPECT_EQ(recorder->Texts(), std::vector<std::string>{"before"});
}

// Records each wake-up's events (OnEvents) and each OnSync; its first
// OnEvents can be held until released.
class BatchRecorder : public runtime::EventSubscriber {
 public:
  explicit BatchRecorder(bool (*wants)(RuntimeEvent::Kind) = nullptr) : wants_(wants) {}
  bool Wants(RuntimeEvent::Kind kind) const override { return wants_ == nullptr || wants_(kind); }
  void OnEvent(const RuntimeEvent&) override { ADD_FAILURE() << "events come through OnEvents"; }
  void OnEvents(const std::vector<RuntimeEvent>& events) override {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !held_; });
    std::vector<std::string> texts;
    for (const RuntimeEvent& event : events) texts.push_back(event.text);
    wakes_.push_back(texts);
  }
  void OnSync() override {
    std::lock_guard<std::mutex> lock(mutex_);
    wakes_.push_back({"sync"});
  }
  void HoldFirst() { held_ = true; }
  void WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return entered_; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  // Each wake-up's texts, in order; {"sync"} for an OnSync.
  std::vector<std::vector<std::string>> Wakes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
  }

 private:
  bool (*wants_)(RuntimeEvent::Kind);
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool entered_ = false;
  std::vector<std::vector<std::string>> wakes_;
};

RuntimeEvent Event(RuntimeEvent::Kind kind, const std::string& text) {
  RuntimeEvent event;
  event.kind = kind;
  event.text = text;
  return event;
}

using Kind = RuntimeEvent::Kind;
using Wakes = std::vector<std::vector<std::string>>;

// A batch wakes each output once, with its share in order; an output that
// wants none of it is not woken. A thread's open batch holds its events until
// an urgent kind, its release or its end, and Flush on that thread publishes
// it first.
TEST(EventStream, ABatchReachesEachOutputInOrderInOneWakeAndOnlyTheOutputsThatWantIt) {
  EventStream stream;
  auto all = std::make_shared<BatchRecorder>();
  auto alarms = std::make_shared<BatchRecorder>([](Kind kind) { return kind == Kind::kAlarm; });
  stream.Subscribe("all", all);
  stream.Subscribe("alarms", alarms);

  std::vector<RuntimeEvent> logs;
  for (int i = 0; i < 50; ++i) logs.push_back(Event(Kind::kLog, std::to_string(i)));
  stream.PublishBatch(logs);
  stream.Flush();
  stream.PublishBatch({Event(Kind::kLog, "a"), Event(Kind::kAlarm, "b"), Event(Kind::kLog, "c"),
                       Event(Kind::kAlarm, "d")});
  stream.Flush();
  EXPECT_EQ(all->Wakes(), (Wakes{Numbered(50), {"sync"}, {"a", "b", "c", "d"}, {"sync"}}));
  EXPECT_EQ(alarms->Wakes(), (Wakes{{"sync"}, {"b", "d"}, {"sync"}}));

  {
    runtime::EventBatch batch(stream, {Kind::kCycleCompleted});
    runtime::EventBatch nested(stream);  // joins the open one
    stream.Publish(Event(Kind::kRecordPublished, "r1"));
    stream.Publish(Event(Kind::kRecordPublished, "r2"));
    // Nothing is out while the batch holds it: a flush elsewhere sees none.
    std::thread([&] { stream.Flush(); }).join();
    stream.Publish(Event(Kind::kCycleCompleted, "cycle"));  // urgent: out with what came before
    stream.Publish(Event(Kind::kRecordPublished, "r3"));
    std::thread([&] { stream.Flush(); }).join();
    stream.Publish(Event(Kind::kRecordPublished, "r4"));
    stream.Flush();  // this thread's batch goes first
  }
  EXPECT_EQ(all->Wakes(), (Wakes{Numbered(50),
                                 {"sync"},
                                 {"a", "b", "c", "d"},
                                 {"sync"},
                                 {"sync"},
                                 {"r1", "r2", "cycle"},
                                 {"sync"},
                                 {"r3", "r4"},
                                 {"sync"}}));
  for (const EventStream::Counts& counts : stream.Statistics()) {
    EXPECT_EQ(counts.handled, counts.name == "all" ? 59u : 2u) << counts.name;
  }

  // Released per step, urgent events wait for the step's end: what one
  // step told goes out in one wake.
  const std::size_t before = all->Wakes().size();
  {
    runtime::EventBatch batch(stream, {Kind::kCycleCompleted, Kind::kSummary});
    batch.UrgentPerStep(true);
    stream.Publish(Event(Kind::kRecordPublished, "r5"));
    stream.Publish(Event(Kind::kCycleCompleted, "cycle"));
    stream.Publish(Event(Kind::kSummary, "summary"));
    std::thread([&] { stream.Flush(); }).join();
    batch.EndOfStep();
    stream.Publish(Event(Kind::kRecordPublished, "r6"));
    batch.EndOfStep();  // nothing urgent since the last release: r6 stays
    std::thread([&] { stream.Flush(); }).join();
  }
  stream.Flush();
  const Wakes wakes = all->Wakes();
  EXPECT_EQ(Wakes(wakes.begin() + static_cast<std::ptrdiff_t>(before), wakes.end()),
            (Wakes{{"sync"}, {"r5", "cycle", "summary"}, {"sync"}, {"r6"}, {"sync"}}));
}

// An output with patience is woken for each batch until batches come often
// (the third in a row within its patience); later ones then wait for it to
// take them by itself, unless one of a prompt kind comes or a flush asks.
TEST(EventStream, APatientOutputTakesBatchesThatComeOftenTogether) {
  class Patient : public BatchRecorder {
   public:
    std::chrono::milliseconds Patience() const override { return std::chrono::hours(1); }
    bool Prompt(Kind kind) const override { return kind == Kind::kAlarm; }
  };
  EventStream stream;
  auto patient = std::make_shared<Patient>();
  stream.Subscribe("patient", patient);
  for (const char* text : {"1", "2", "3"}) {
    stream.PublishBatch({Event(Kind::kLog, text)});
    stream.Flush();
  }
  stream.PublishBatch({Event(Kind::kLog, "4")});
  stream.PublishBatch({Event(Kind::kLog, "5")});
  stream.PublishBatch({Event(Kind::kAlarm, "a")});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (patient->Wakes().size() < 7 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stream.PublishBatch({Event(Kind::kLog, "6")});
  stream.Flush();
  EXPECT_EQ(
      patient->Wakes(),
      (Wakes{{"1"}, {"sync"}, {"2"}, {"sync"}, {"3"}, {"sync"}, {"4", "5", "a"}, {"6"}, {"sync"}}));
}

// A batch that finds a queue nearly full: the part that fits is queued in
// order, the rest is dropped and counted for that output alone.
TEST(EventStream, AFullQueueDropsPartOfABatchAndCountsIt) {
  EventStream stream;
  auto stuck = std::make_shared<BatchRecorder>();
  auto healthy = std::make_shared<BatchRecorder>();
  stuck->HoldFirst();
  stream.Subscribe("stuck", stuck, 10);
  stream.Subscribe("healthy", healthy, 100);
  stream.Note("", "first");
  stuck->WaitEntered();  // it holds "first"; its queue is empty
  std::vector<RuntimeEvent> batch;
  for (int i = 0; i < 25; ++i) batch.push_back(Event(Kind::kNote, std::to_string(i)));
  stream.PublishBatch(batch);
  stuck->Release();
  stream.Flush();
  EXPECT_EQ(stuck->Wakes(), (Wakes{{"first"}, Numbered(10), {"sync"}}));
  const std::vector<EventStream::Counts> counts = stream.Statistics();
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[0].handled, 11u);
  EXPECT_EQ(counts[0].dropped, 15u);
  EXPECT_EQ(counts[1].handled, 26u);
  EXPECT_EQ(counts[1].dropped, 0u);
}

}  // namespace

namespace {

// An output whose NextDeadline takes a lock of its own and is slow inside
// it, as the store writer asking the uplink for its oldest waiting message.
class SlowDeadline : public runtime::EventSubscriber {
 public:
  explicit SlowDeadline(std::mutex& own) : own_(own) {}
  void OnEvent(const RuntimeEvent&) override { ++handled_; }
  Clock::time_point NextDeadline() override {
    std::lock_guard<std::mutex> lock(own_);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return Clock::time_point::max();
  }
  std::atomic<int> handled_{0};

 private:
  std::mutex& own_;
};

}  // namespace

// The inverted order that froze polling: a thread holds an output's lock and
// publishes, while the output's thread asks NextDeadline, which wants that
// lock. The stream asks without holding the queue's lock, so no cycle forms.
TEST(EventStream, AnOutputSlowInsideItsLockCannotDeadlockAPublisherHoldingIt) {
  std::mutex own;
  auto output = std::make_shared<SlowDeadline>(own);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto stream = std::make_shared<EventStream>();
  stream->Subscribe("slow", output);
  std::thread publisher([stream, finished, &own] {
    for (int i = 0; i < 100; ++i) {
      // Two events in one hold of the lock, with time between them for the
      // output to take the first and ask its deadline.
      std::lock_guard<std::mutex> lock(own);
      stream->Note("", std::to_string(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      stream->Note("", std::to_string(i));
    }
    stream->Flush();
    finished->store(true);
  });
  for (int waited = 0; waited < 600 && !finished->load(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!finished->load()) {
    // A deadlock cannot be unwound: the test ends the process, failed.
    std::fprintf(stderr, "deadlock: the publisher did not finish within 30 s\n");
    std::abort();
  }
  publisher.join();
  EXPECT_EQ(output->handled_.load(), 200);
}
