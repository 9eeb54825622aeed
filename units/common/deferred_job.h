#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "host/kmx_vdevice.h"
#include "host/rule_value.h"

// The deferred job that a unit hands the host at the end of each cycle: it
// runs the threshold check on the cycle's rules and saves the history.
//
// The job behaves as a lambda holding a shared owner of the unit, the moved
// rule list and any bytes it keeps: it keeps the unit alive until the host
// has run and dropped it (or dropped it unrun), and may be copied. Only its
// memory differs. The job object, its rule list and its bytes are recycled on
// the thread that drops them and taken again by the next cycles on that
// thread, so that a steady cycle allocates nothing when the host runs and
// drops its jobs on the thread that polls (as the runtime does). On other
// threads the job still works; it only allocates.
namespace deferred_job {

using Bytes = std::vector<unsigned char>;

// Spare job blocks, rule lists and byte buffers of one thread.
class Recycler {
 public:
  // Job objects are at most this big.
  static constexpr std::size_t kBlockBytes = 128;

  // This thread's recycler; nullptr once the thread is ending (the jobs that
  // are dropped then give their memory back to the heap).
  static Recycler* ForThisThread() {
    thread_local Recycler recycler;
    return Alive() ? &recycler : nullptr;
  }

  void* TakeBlock() {
    if (blocks_.empty()) return ::operator new(kBlockBytes);
    void* block = blocks_.back();
    blocks_.pop_back();
    return block;
  }
  void GiveBlock(void* block) {
    if (blocks_.size() < kKept) {
      blocks_.push_back(block);
    } else {
      ::operator delete(block);
    }
  }

  // Replaces the empty `list` by the spare list that best fits `count`
  // entries (the smallest with room enough, else the largest), if any.
  template <class List>
  static void Take(std::vector<List>& spares, List& list, std::size_t count) {
    if (spares.empty()) return;
    auto best = spares.begin();
    for (auto it = spares.begin(); it != spares.end(); ++it) {
      const bool fits = it->capacity() >= count;
      const bool best_fits = best->capacity() >= count;
      if ((fits && (!best_fits || it->capacity() < best->capacity())) ||
          (!fits && !best_fits && it->capacity() > best->capacity())) {
        best = it;
      }
    }
    list.swap(*best);
    best->swap(spares.back());
    spares.pop_back();
  }
  // Keeps the room of `list` (emptied here) for a later Take.
  template <class List>
  static void Give(std::vector<List>& spares, List& list) {
    if (list.capacity() == 0 || spares.size() >= kKept) return;
    list.clear();
    spares.emplace_back();
    spares.back().swap(list);
  }

  std::vector<std::vector<rule_value>>& RuleLists() { return rule_lists_; }
  std::vector<Bytes>& ByteLists() { return byte_lists_; }

  Recycler(const Recycler&) = delete;
  Recycler& operator=(const Recycler&) = delete;

 private:
  // Spares kept of each kind; more are given back to the heap.
  static constexpr std::size_t kKept = 64;

  Recycler() { Alive() = true; }
  ~Recycler() {
    Alive() = false;
    for (void* block : blocks_) ::operator delete(block);
  }
  // Trivially destructible, so still readable while the thread's other
  // thread_local objects are destroyed.
  static bool& Alive() {
    thread_local bool alive = false;
    return alive;
  }

  std::vector<void*> blocks_;
  std::vector<std::vector<rule_value>> rule_lists_;
  std::vector<Bytes> byte_lists_;
};

// The job object that the host's std::function holds.
template <class Body>
class Job {
 public:
  Job(std::shared_ptr<KMXVDevice> owner, Body body, std::vector<rule_value>&& rules, Bytes&& kept)
      : owner_(std::move(owner)), body_(body), rules_(std::move(rules)), kept_(std::move(kept)) {}
  Job(const Job&) = default;
  Job(Job&&) = default;
  Job& operator=(const Job&) = delete;
  ~Job() {
    if (Recycler* recycler = Recycler::ForThisThread()) {
      Recycler::Give(recycler->RuleLists(), rules_);
      Recycler::Give(recycler->ByteLists(), kept_);
    }
  }

  void operator()() const { body_(rules_, kept_); }

  static void* operator new(std::size_t size) {
    static_assert(sizeof(Job) <= Recycler::kBlockBytes, "a job fits in a recycled block");
    Recycler* recycler = Recycler::ForThisThread();
    if (recycler == nullptr || size > Recycler::kBlockBytes) return ::operator new(size);
    return recycler->TakeBlock();
  }
  static void operator delete(void* block, std::size_t size) {
    Recycler* recycler = Recycler::ForThisThread();
    if (recycler == nullptr || size > Recycler::kBlockBytes) {
      ::operator delete(block);
      return;
    }
    recycler->GiveBlock(block);
  }

 private:
  // Members go in reverse order: the rules and bytes before the owner, which
  // may take the unit with it.
  std::shared_ptr<KMXVDevice> owner_;
  Body body_;
  std::vector<rule_value> rules_;
  Bytes kept_;
};

// Moves `pending` (this cycle's rules) into a job for `device`'s host that
// runs body(rules, kept), and leaves `pending` empty with room for as many
// rules. `kept` holds a copy of the `keep_length` bytes at `keep`, taken now
// (empty without bytes to keep). `owner` keeps the unit alive until the job
// is gone.
template <class Body>
void HandOver(KMXVDevice& device, std::shared_ptr<KMXVDevice> owner,
              std::vector<rule_value>& pending, Body body, const unsigned char* keep = nullptr,
              std::size_t keep_length = 0) {
  const std::size_t noted = pending.size();
  std::vector<rule_value> rules;
  Bytes kept;
  if (Recycler* recycler = Recycler::ForThisThread()) {
    Recycler::Take(recycler->RuleLists(), rules, noted);
    if (keep != nullptr) Recycler::Take(recycler->ByteLists(), kept, keep_length);
  }
  rules.swap(pending);  // `pending` gets the spare room, the job the rules
  if (keep != nullptr) kept.assign(keep, keep + keep_length);
  device.CheckThresholdWork(Job<Body>(std::move(owner), body, std::move(rules), std::move(kept)));
  pending.reserve(noted);
}

}  // namespace deferred_job
