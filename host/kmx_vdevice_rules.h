#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/rule_value.h"

// The texts of a rule as a device passes them.
struct RuleTexts {
  std::string_view id, code, name, text;
};

// The threshold machinery's record of one device's alarm rules.
//
// A device passes the same rules every cycle, and its pending list goes to
// its deferred job, which frees the list's strings. So that an unchanged rule
// costs no allocation, the book keeps a copy of the rule last passed at each
// position of the pending list and compares what the device passes with it,
// and it stores each distinct set of texts (id, code, name, text) once. The
// pending list gets tokens: rules whose text only names the book and the
// stored texts, short enough for a string's own storage. Resolve turns tokens
// back into whole rules. Stored texts stay for the device's life, since its
// deferred jobs (which hold the device) may carry tokens of any earlier
// cycle; past kMaxTexts sets or kMaxTextBytes bytes, new texts go into the
// pending list as plain copies.
class RuleBook {
 public:
  static constexpr std::size_t kMaxTexts = 1024;
  static constexpr std::size_t kMaxTextBytes = 256 * 1024;

  RuleBook();

  // Appends to `pending` the rule that a device passes (with its values and
  // `texts`): a token, or a copy of the whole rule when the book is full. The
  // book keeps the rule as the one at this position of the pending list and
  // returns it, whole.
  const rule_value& Note(std::vector<rule_value>& pending, const RuleTexts& texts, bool active,
                         std::int32_t level, std::uint32_t sequence, std::uint32_t data_id);
  // The whole rules of the first `count` positions.
  const std::vector<rule_value>& Pending(std::size_t count);

  // A list to resolve tokens into: the book's own, or a new one while the
  // book's is in use (a batch of the device on another thread, or nested).
  class Scratch {
   public:
    explicit Scratch(RuleBook& book) : book_(book), borrowed_(!book.scratch_busy_.exchange(true)) {}
    ~Scratch() {
      if (borrowed_) book_.scratch_busy_ = false;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::vector<rule_value>& List() { return borrowed_ ? book_.scratch_ : own_; }
    // What each entry of List() holds, when it is the book's.
    std::vector<std::uint32_t>* Entries() { return borrowed_ ? &book_.scratch_entry_ : nullptr; }

   private:
    RuleBook& book_;
    bool borrowed_;
    std::vector<rule_value> own_;
  };

  // Whether `rules` holds a token (of any book).
  static bool HasTokens(const std::vector<rule_value>& rules);
  // `rules` with each token of this book replaced by its whole rule, in
  // `scratch`; other rules are copied as they are.
  const std::vector<rule_value>& Resolve(const std::vector<rule_value>& rules,
                                         Scratch& scratch) const;

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // The number of the stored texts equal to `texts`, stored now if new;
  // kNone when the book is full. Called with mutex_ held.
  std::uint32_t Intern(const RuleTexts& texts);
  // The number of the stored texts that `rule` is a token of this book
  // for, or kNone. Called with mutex_ held.
  std::uint32_t EntryOf(const rule_value& rule) const;

  const std::uint32_t serial_;  // tells this book's tokens from other books'

  // Polling thread only: the last rule noted at each position of the
  // pending list, whole, and the number of its stored texts.
  std::vector<rule_value> book_;
  std::vector<std::uint32_t> book_entry_;
  std::vector<rule_value> view_;  // Pending() of fewer positions than the book holds

  std::vector<rule_value> scratch_;
  std::vector<std::uint32_t> scratch_entry_;  // the stored texts each entry of scratch_ holds
  std::atomic<bool> scratch_busy_{false};

  // Shared with the threads that run the device's jobs.
  mutable std::mutex mutex_;
  std::deque<rule_value> texts_;  // only the texts are set; never removed
  std::unordered_multimap<std::size_t, std::uint32_t> by_hash_;
  std::size_t text_bytes_ = 0;
};
