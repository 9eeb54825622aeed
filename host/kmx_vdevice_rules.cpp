#include "host/kmx_vdevice_rules.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

namespace {

// A token's text: this mark, the book's serial and the number of the stored
// texts; 10 bytes, which a std::string holds in place (libstdc++ up to 15).
// Its id, code and name are empty. Device texts hold no NUL bytes.
constexpr char kMark[] = {'\0', '#'};
constexpr std::size_t kTokenSize = sizeof(kMark) + 2 * sizeof(std::uint32_t);
static_assert(kTokenSize <= 10, "a token fits in a string's own storage");

bool IsToken(const rule_value& rule) {
  return rule.text.size() == kTokenSize && rule.id.empty() && rule.code.empty() &&
         rule.name.empty() && std::memcmp(rule.text.data(), kMark, sizeof(kMark)) == 0;
}

RuleTexts TextsOf(const rule_value& rule) {
  return {rule.id, rule.code, rule.name, rule.text};
}

bool SameTexts(const rule_value& rule, const RuleTexts& texts) {
  return rule.id == texts.id && rule.code == texts.code && rule.name == texts.name &&
         rule.text == texts.text;
}

std::size_t HashOfTexts(const RuleTexts& texts) {
  std::size_t hash = 0;
  for (std::string_view text : {texts.id, texts.code, texts.name, texts.text}) {
    hash = hash * 31 + std::hash<std::string_view>()(text);
  }
  return hash;
}

// Assigned in place: a string keeps its room when the new text fits.
void CopyTexts(const RuleTexts& from, rule_value& to) {
  to.id.assign(from.id);
  to.code.assign(from.code);
  to.name.assign(from.name);
  to.text.assign(from.text);
}

void CopyValues(const rule_value& from, rule_value& to) {
  to.active = from.active;
  to.level = from.level;
  to.sequence = from.sequence;
  to.data_id = from.data_id;
}

std::uint32_t NextSerial() {
  static std::atomic<std::uint32_t> next{0};
  return next++;
}

}  // namespace

RuleBook::RuleBook() : serial_(NextSerial()) {}

const rule_value& RuleBook::Note(std::vector<rule_value>& pending, const RuleTexts& texts,
                                 bool active, std::int32_t level, std::uint32_t sequence,
                                 std::uint32_t data_id) {
  const std::size_t slot = pending.size();
  if (slot >= book_.size()) {
    book_.resize(slot + 1);
    book_entry_.resize(slot + 1, kNone);
  }
  rule_value& kept = book_[slot];
  std::uint32_t& entry = book_entry_[slot];
  // Strings are assigned only when they changed: an unchanged rule, the
  // steady case, costs four comparisons.
  if (entry == kNone || !SameTexts(kept, texts)) {
    CopyTexts(texts, kept);
    std::lock_guard<std::mutex> lock(mutex_);
    entry = Intern(TextsOf(kept));
  }
  kept.active = active;
  kept.level = level;
  kept.sequence = sequence;
  kept.data_id = data_id;
  if (entry == kNone) {
    pending.push_back(kept);
    return kept;
  }
  rule_value& token = pending.emplace_back();
  CopyValues(kept, token);
  char bytes[kTokenSize];
  std::memcpy(bytes, kMark, sizeof(kMark));
  std::memcpy(bytes + sizeof(kMark), &serial_, sizeof(serial_));
  std::memcpy(bytes + sizeof(kMark) + sizeof(serial_), &entry, sizeof(entry));
  token.text.assign(bytes, kTokenSize);
  return kept;
}

const std::vector<rule_value>& RuleBook::Pending(std::size_t count) {
  count = std::min(count, book_.size());
  if (count == book_.size()) return book_;
  view_.assign(book_.begin(), book_.begin() + static_cast<std::ptrdiff_t>(count));
  return view_;
}

bool RuleBook::HasTokens(const std::vector<rule_value>& rules) {
  return std::any_of(rules.begin(), rules.end(), IsToken);
}

const std::vector<rule_value>& RuleBook::Resolve(const std::vector<rule_value>& rules,
                                                 Scratch& scratch) const {
  // Filled in place, and the book's own list remembers which stored texts
  // each entry holds: a batch like the last one copies no strings.
  std::vector<rule_value>& whole = scratch.List();
  std::vector<std::uint32_t>* held = scratch.Entries();
  whole.resize(rules.size());
  if (held != nullptr) held->resize(rules.size(), kNone);
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const std::uint32_t entry = EntryOf(rules[i]);
    if (entry == kNone) {
      whole[i] = rules[i];
    } else {
      if (held == nullptr || (*held)[i] != entry) CopyTexts(TextsOf(texts_[entry]), whole[i]);
      CopyValues(rules[i], whole[i]);
    }
    if (held != nullptr) (*held)[i] = entry;
  }
  return whole;
}

std::uint32_t RuleBook::Intern(const RuleTexts& texts) {
  const std::size_t hash = HashOfTexts(texts);
  const auto [first, last] = by_hash_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (SameTexts(texts_[it->second], texts)) return it->second;
  }
  const std::size_t bytes =
      texts.id.size() + texts.code.size() + texts.name.size() + texts.text.size();
  if (texts_.size() >= kMaxTexts || text_bytes_ + bytes > kMaxTextBytes) return kNone;
  const auto entry = static_cast<std::uint32_t>(texts_.size());
  texts_.emplace_back();
  CopyTexts(texts, texts_.back());
  by_hash_.emplace(hash, entry);
  text_bytes_ += bytes;
  return entry;
}

std::uint32_t RuleBook::EntryOf(const rule_value& rule) const {
  if (!IsToken(rule)) return kNone;
  std::uint32_t serial = 0;
  std::uint32_t entry = 0;
  std::memcpy(&serial, rule.text.data() + sizeof(kMark), sizeof(serial));
  std::memcpy(&entry, rule.text.data() + sizeof(kMark) + sizeof(serial), sizeof(entry));
  return serial == serial_ && entry < texts_.size() ? entry : kNone;
}
