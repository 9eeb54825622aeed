#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/event.h"

namespace runtime {

// An output of the runtime: takes the events of the stream, in order, on a
// thread of its own.
class EventSubscriber {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~EventSubscriber() = default;
  virtual void OnEvent(const RuntimeEvent& event) = 0;
  // The events that one wake-up of the output's thread found waiting, in
  // order. By default each goes to OnEvent; one that throws costs the output
  // that event alone.
  virtual void OnEvents(const std::vector<RuntimeEvent>& events) {
    for (const RuntimeEvent& event : events) {
      try {
        OnEvent(event);
      } catch (...) {
      }
    }
  }
  // Whether events of `kind` are queued for this output at all: an output
  // that ignores most kinds is then not woken for each of them. Called on
  // the publishing threads; must depend on nothing that changes.
  virtual bool Wants(RuntimeEvent::Kind /*kind*/) const { return true; }
  // How long events may wait for this output while they come often: its
  // thread, once woken for a batch less than this after the one before, then
  // takes what comes once per this interval instead of once per batch (each
  // system's cycle). Events of a kind it wants promptly wake it at once.
  // Both are asked once, at Subscribe. Zero: woken for every batch.
  virtual std::chrono::milliseconds Patience() const { return std::chrono::milliseconds(0); }
  virtual bool Prompt(RuntimeEvent::Kind /*kind*/) const { return true; }
  // When the output next wants OnDeadline without an event (work it holds
  // back, such as rows to commit); Clock::time_point::max() for never. Asked
  // on the output's thread after every OnEvents and every OnDeadline.
  virtual Clock::time_point NextDeadline() { return Clock::time_point::max(); }
  virtual void OnDeadline() {}
  // EventStream::Flush: make everything handled so far final (written out).
  virtual void OnSync() {}
};

// Lock order. A thread may take a lock of a later rank while it holds one of
// an earlier rank, never the other way round:
//   1. a power system's own locks (PowerSystem::mutex_, then handover_mutex_),
//      held while its devices poll and publish;
//   2. EventStream::mutex_ (the list of outputs), held by Publish and
//      PublishBatch (an EventBatch is its thread's own and takes no lock;
//      it publishes through PublishBatch);
//   3. a Queue::mutex of one output: held only to move events in and out and
//      to wait; nothing else is called while it is held (OnEvent, OnDeadline,
//      OnSync and NextDeadline run without it).
// An output's own locks (the uplink's, the store writer's, the notifier's,
// the HTTP server's) rank below all of these and are leaves: an output never
// publishes, calls another output or a callback while it holds one. What it
// has to say it collects under its lock and publishes after releasing it.
//
// The runtime's one stream of events. Publishing never waits for an output:
// each subscriber has a bounded queue and its own thread; an event that
// finds a queue full is dropped for that subscriber alone and counted.
// Publish may be called from any thread, also from a subscriber's. A batch
// of events costs each output one hand-off: its thread is woken once and
// takes all that waits for it (OnEvents).
class EventStream {
 public:
  EventStream() = default;
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Adds an output; `capacity` events may wait for it.
  void Subscribe(std::string name, std::shared_ptr<EventSubscriber> subscriber,
                 std::size_t capacity = 100000);
  // While the calling thread has an EventBatch open on this stream, the
  // event joins the batch.
  void Publish(RuntimeEvent event);
  // Publishes `events` in order, each output's queue taking its share under
  // one lock and its thread woken once; what finds a queue full is dropped
  // and counted for that output, as with Publish.
  void PublishBatch(std::vector<RuntimeEvent> events);

  // Shorthands that stamp the event with the local time.
  void Log(const std::string& system, std::uint32_t data_id, const std::string& line);
  void Alarm(const std::string& system, const AlarmEvent& event);
  void Note(const std::string& system, const std::string& text);
  void Problem(const std::string& system, const std::string& text);

  // Waits until every event published so far has been handled and every
  // output has made it final (OnSync); the calling thread's open batch is
  // published first.
  void Flush();
  // Flushes and stops the subscribers' threads; later events are dropped.
  // Reports every subscriber that dropped events to the others first.
  void Close();

  struct Counts {
    std::string name;
    std::uint64_t handled = 0;
    std::uint64_t dropped = 0;  // the queue was full
  };
  std::vector<Counts> Statistics() const;

  // Since when each output has been busy with one event (or OnDeadline,
  // OnSync); time_point::max() while it waits for work. For the watchdog:
  // each function reads an atomic and takes no lock; valid until Close.
  std::vector<std::pair<std::string, std::function<EventSubscriber::Clock::time_point()>>>
  BusyProbes() const;

 private:
  struct Queue {
    std::string name;
    std::shared_ptr<EventSubscriber> subscriber;
    std::vector<bool> wanted;  // by event kind
    std::vector<bool> prompt;  // by event kind
    EventSubscriber::Clock::duration patience{};
    // While events come often: when the thread takes the next ones by
    // itself, without a wake-up; max() while it waits to be woken.
    EventSubscriber::Clock::time_point armed = EventSubscriber::Clock::time_point::max();
    bool prompt_waiting = false;
    std::size_t capacity = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RuntimeEvent> events;
    bool busy = false;
    // busy's start as a steady clock count, or the maximum: read without the lock.
    std::atomic<EventSubscriber::Clock::rep> busy_since{
        EventSubscriber::Clock::time_point::max().time_since_epoch().count()};
    bool sync_wanted = false;
    bool closing = false;
    std::uint64_t handled = 0;
    std::uint64_t dropped = 0;
    std::thread thread;
  };
  static void Drain(Queue& queue);
  // Publishes what the calling thread's open batch on this stream holds.
  void ReleaseBatchOfThisThread();

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Queue>> queues_;
  bool closed_ = false;
};

// Collects what the thread that opens it publishes on `stream` and publishes
// it as one batch (EventStream::PublishBatch) when it is released or goes,
// so that the outputs are woken once for all of it. An event of an urgent
// kind releases the batch at once, with what it holds before it: such events
// are never held back. One batch per thread and stream: one opened while
// another is open on the same stream does nothing, and its events join the
// first. A scope: used only on the thread that opened it, and batches end in
// the reverse order of their opening.
class EventBatch {
 public:
  using Clock = std::chrono::steady_clock;

  explicit EventBatch(EventStream& stream, std::vector<RuntimeEvent::Kind> urgent = {});
  ~EventBatch();
  EventBatch(const EventBatch&) = delete;
  EventBatch& operator=(const EventBatch&) = delete;

  // Publishes what is held now.
  void Release();
  // With `per_step`, an urgent event no longer publishes at once: it marks
  // the batch for EndOfStep, so that what one step of a loop tells (a
  // cycle's end, its summary and line health, an alarm) goes out in one
  // hand-off. The loop must then call EndOfStep after every step.
  void UrgentPerStep(bool per_step) { urgent_per_step_ = per_step; }
  // Publishes what is held when an urgent event came since the last release.
  void EndOfStep() {
    if (urgent_held_) Release();
  }
  bool Empty() const { return events_.empty(); }
  // When the oldest event held came; meaningless while Empty.
  Clock::time_point Since() const { return since_; }

 private:
  friend class EventStream;
  void Add(RuntimeEvent event);

  EventStream& stream_;
  bool active_ = false;
  EventBatch* outer_ = nullptr;  // the thread's batch on another stream, if any
  std::vector<bool> urgent_;     // by kind
  bool urgent_per_step_ = false;
  bool urgent_held_ = false;  // an urgent event waits for EndOfStep
  std::vector<RuntimeEvent> events_;
  Clock::time_point since_;
};

}  // namespace runtime
