#include "runtime/event_stream.h"

#include <algorithm>
#include <exception>

#include "host/host_clock.h"
#include "runtime/take_rhythm.h"
#include "runtime/thread_name.h"

namespace runtime {

EventStream::~EventStream() {
  Close();
}

void EventStream::Subscribe(std::string name, std::shared_ptr<EventSubscriber> subscriber,
                            std::size_t capacity) {
  auto queue = std::make_unique<Queue>();
  queue->name = std::move(name);
  queue->subscriber = std::move(subscriber);
  queue->capacity = capacity == 0 ? 1 : capacity;
  for (int kind = 0; kind < RuntimeEvent::kKinds; ++kind) {
    const auto as_kind = static_cast<RuntimeEvent::Kind>(kind);
    queue->wanted.push_back(queue->subscriber->Wants(as_kind));
    queue->prompt.push_back(queue->subscriber->Patience().count() <= 0 ||
                            queue->subscriber->Prompt(as_kind));
  }
  queue->patience = std::max(queue->subscriber->Patience(), std::chrono::milliseconds(0));
  Queue* raw = queue.get();
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  raw->thread = std::thread([raw] { Drain(*raw); });
  queues_.push_back(std::move(queue));
}

namespace {

// The batches open on this thread, the last opened first (EventBatch::outer_).
thread_local EventBatch* t_batches = nullptr;

}  // namespace

void EventStream::Publish(RuntimeEvent event) {
  for (EventBatch* batch = t_batches; batch != nullptr; batch = batch->outer_) {
    if (&batch->stream_ != this) continue;
    batch->Add(std::move(event));
    return;
  }
  std::vector<RuntimeEvent> one;
  one.push_back(std::move(event));
  PublishBatch(std::move(one));
}

void EventStream::PublishBatch(std::vector<RuntimeEvent> events) {
  if (events.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  for (RuntimeEvent& event : events) event.published = now;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  // The last queue that wants an event takes the event itself, the others a copy.
  std::vector<std::size_t> last(events.size(), queues_.size());
  for (std::size_t e = 0; e < events.size(); ++e) {
    const auto kind = static_cast<std::size_t>(events[e].kind);
    for (std::size_t i = 0; i < queues_.size(); ++i) {
      if (queues_[i]->wanted[kind]) last[e] = i;
    }
  }
  for (std::size_t i = 0; i < queues_.size(); ++i) {
    Queue& queue = *queues_[i];
    bool wake = false;
    {
      std::lock_guard<std::mutex> queue_lock(queue.mutex);
      bool added = false;
      for (std::size_t e = 0; e < events.size(); ++e) {
        const auto kind = static_cast<std::size_t>(events[e].kind);
        if (!queue.wanted[kind]) continue;
        if (queue.events.size() >= queue.capacity) {
          ++queue.dropped;
          continue;
        }
        if (i == last[e]) {
          queue.events.push_back(std::move(events[e]));
        } else {
          queue.events.push_back(events[e]);
        }
        added = true;
        queue.prompt_waiting = queue.prompt_waiting || queue.prompt[kind];
      }
      // A thread armed to take them by itself needs no wake-up, unless one
      // is wanted promptly or the queue fills.
      wake = added && (queue.armed == EventSubscriber::Clock::time_point::max() ||
                       queue.prompt_waiting || queue.events.size() * 2 >= queue.capacity);
    }
    // At most one wake-up per output and batch, none for an output that takes none of it.
    if (wake) queue.changed.notify_all();
  }
}

void EventStream::Drain(Queue& queue) {
  NameThisThread("out " + queue.name);
  EventSubscriber& subscriber = *queue.subscriber;
  // Runs `work` outside the queue's lock; an output's failure is its own,
  // the others and polling go on.
  auto unlocked = [&](std::unique_lock<std::mutex>& lock, auto&& work) {
    queue.busy = true;
    queue.busy_since.store(EventSubscriber::Clock::now().time_since_epoch().count());
    lock.unlock();
    try {
      work();
    } catch (...) {
    }
    queue.busy_since.store(EventSubscriber::Clock::time_point::max().time_since_epoch().count());
    lock.lock();
    queue.busy = false;
    queue.changed.notify_all();
  };
  EventSubscriber::Clock::time_point deadline = subscriber.NextDeadline();
  std::vector<RuntimeEvent> taken;
  std::unique_lock<std::mutex> lock(queue.mutex);
  // NextDeadline may take the output's own locks: asked outside the queue's.
  const auto next_deadline = [&] {
    lock.unlock();
    try {
      deadline = subscriber.NextDeadline();
    } catch (...) {
      deadline = EventSubscriber::Clock::time_point::max();
    }
    lock.lock();
  };
  using Clock = EventSubscriber::Clock;
  TakeRhythm rhythm(queue.patience);
  for (;;) {
    // Armed, events wait for the armed time unless one is wanted promptly.
    const auto ready = [&] {
      return queue.sync_wanted || queue.closing ||
             (!queue.events.empty() &&
              (queue.armed == Clock::time_point::max() || queue.prompt_waiting ||
               Clock::now() >= queue.armed || queue.events.size() * 2 >= queue.capacity));
    };
    const Clock::time_point until = std::min(deadline, queue.armed);
    if (until == Clock::time_point::max()) {
      queue.changed.wait(lock, ready);
    } else if (!queue.changed.wait_until(lock, until, ready)) {
      if (queue.armed <= Clock::now()) {
        // Nothing came within the interval: back to being woken.
        queue.armed = Clock::time_point::max();
        if (!queue.events.empty()) continue;
        if (deadline > Clock::now()) continue;
      }
      unlocked(lock, [&] { subscriber.OnDeadline(); });
      next_deadline();
      continue;
    }
    if (!queue.events.empty()) {
      // All that waits is taken at once; the emptied vector keeps its room
      // for the next batch. Taken again soon after the last time, the
      // events come often: the next ones wait for the end of the interval.
      const Clock::time_point now = Clock::now();
      const bool was_armed = queue.armed != Clock::time_point::max();
      const bool often = rhythm.Take(now);
      queue.armed = queue.patience.count() > 0 && (was_armed || often) ? now + queue.patience
                                                                       : Clock::time_point::max();
      queue.prompt_waiting = false;
      taken.swap(queue.events);
      unlocked(lock, [&] { subscriber.OnEvents(taken); });
      queue.handled += taken.size();
      taken.clear();
    } else if (queue.sync_wanted) {
      unlocked(lock, [&] { subscriber.OnSync(); });
      queue.sync_wanted = false;
      queue.changed.notify_all();
    } else {
      return;  // closing, and nothing left
    }
    next_deadline();
  }
}

void EventStream::ReleaseBatchOfThisThread() {
  for (EventBatch* batch = t_batches; batch != nullptr; batch = batch->outer_) {
    if (&batch->stream_ == this) batch->Release();
  }
}

void EventStream::Flush() {
  ReleaseBatchOfThisThread();
  std::vector<Queue*> queues;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& queue : queues_) queues.push_back(queue.get());
  }
  for (Queue* queue : queues) {
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->sync_wanted = true;
    }
    queue->changed.notify_all();
  }
  for (Queue* queue : queues) {
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->changed.wait(
        lock, [&] { return queue->events.empty() && !queue->busy && !queue->sync_wanted; });
  }
}

void EventStream::Close() {
  Flush();
  for (const Counts& counts : Statistics()) {
    if (counts.dropped == 0) continue;
    Problem("", "output \"" + counts.name + "\" could not keep up and missed " +
                    std::to_string(counts.dropped) + " events");
  }
  ReleaseBatchOfThisThread();
  std::vector<std::unique_ptr<Queue>> queues;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    queues.swap(queues_);
  }
  for (const auto& queue : queues) {
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->closing = true;
    }
    queue->changed.notify_all();
    if (queue->thread.joinable()) queue->thread.join();
  }
}

std::vector<EventStream::Counts> EventStream::Statistics() const {
  std::vector<Counts> counts;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& queue : queues_) {
    std::lock_guard<std::mutex> queue_lock(queue->mutex);
    counts.push_back(Counts{queue->name, queue->handled, queue->dropped});
  }
  return counts;
}

std::vector<std::pair<std::string, std::function<EventSubscriber::Clock::time_point()>>>
EventStream::BusyProbes() const {
  using Clock = EventSubscriber::Clock;
  std::vector<std::pair<std::string, std::function<Clock::time_point()>>> probes;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& queue : queues_) {
    const Queue* raw = queue.get();
    probes.emplace_back(
        raw->name, [raw] { return Clock::time_point(Clock::duration(raw->busy_since.load())); });
  }
  return probes;
}

EventBatch::EventBatch(EventStream& stream, std::vector<RuntimeEvent::Kind> urgent)
    : stream_(stream), urgent_(RuntimeEvent::kKinds, false) {
  for (RuntimeEvent::Kind kind : urgent) urgent_[static_cast<std::size_t>(kind)] = true;
  for (EventBatch* batch = t_batches; batch != nullptr; batch = batch->outer_) {
    if (&batch->stream_ == &stream_) return;  // that one collects
  }
  active_ = true;
  outer_ = t_batches;
  t_batches = this;
}

EventBatch::~EventBatch() {
  if (!active_) return;
  // Batches go in the reverse order of their opening.
  t_batches = outer_;
  Release();
}

void EventBatch::Release() {
  urgent_held_ = false;
  if (events_.empty()) return;
  std::vector<RuntimeEvent> events;
  events.swap(events_);
  // The next batch is likely as large: room for it at once, instead of
  // growing by doublings that move every event held. A burst (a restore, a
  // line's backlog) does not keep its room.
  constexpr std::size_t kRoomKept = 64;
  events_.reserve(std::min(events.size(), kRoomKept));
  stream_.PublishBatch(std::move(events));
}

void EventBatch::Add(RuntimeEvent event) {
  if (events_.empty()) since_ = Clock::now();
  const bool urgent = urgent_[static_cast<std::size_t>(event.kind)];
  events_.push_back(std::move(event));
  if (urgent && urgent_per_step_) {
    urgent_held_ = true;
  } else if (urgent) {
    Release();
  }
}

namespace {

RuntimeEvent Stamped(RuntimeEvent::Kind kind, const std::string& system) {
  RuntimeEvent event;
  event.kind = kind;
  event.system = system;
  event.time = host_clock::LocalNow();
  return event;
}

}  // namespace

void EventStream::Log(const std::string& system, std::uint32_t data_id, const std::string& line) {
  RuntimeEvent event = Stamped(RuntimeEvent::Kind::kLog, system);
  event.device.data_id = data_id;
  event.text = line;
  Publish(std::move(event));
}

void EventStream::Alarm(const std::string& system, const AlarmEvent& alarm) {
  RuntimeEvent event = Stamped(RuntimeEvent::Kind::kAlarm, system);
  event.device = DeviceKey{alarm.data_id, alarm.record_type};
  event.alarm = alarm;
  Publish(std::move(event));
}

void EventStream::Note(const std::string& system, const std::string& text) {
  RuntimeEvent event = Stamped(RuntimeEvent::Kind::kNote, system);
  event.text = text;
  Publish(std::move(event));
}

void EventStream::Problem(const std::string& system, const std::string& text) {
  RuntimeEvent event = Stamped(RuntimeEvent::Kind::kProblem, system);
  event.text = text;
  Publish(std::move(event));
}

}  // namespace runtime
