#include "http/history_series.h"

#include <optional>
#include <set>

#include "http/query_params.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "runtime/local_time_text.h"

namespace http_output {

namespace {

// A JSON array's elements written one after another, and where the first
// row's end: a row held back may be cut off at the end.
struct Column {
  std::string text;
  std::size_t rows = 0;
  std::size_t first_end = 0;  // text.size() after the first row

  void Append(const std::string& value) {
    if (!text.empty()) text += ',';
    text += value;
  }
  void EndRow() {
    if (++rows == 1) first_end = text.size();
  }
  // "[...]", without the first row when `drop_first`.
  std::string Array(bool drop_first) const {
    if (!drop_first) return "[" + text + "]";
    if (first_end >= text.size()) return "[]";
    return "[" + text.substr(first_end + 1) + "]";
  }
};

// The answer's columns, filled a row at a time.
class Columns {
 public:
  explicit Columns(const SeriesRequest& request) : request_(request) {
    for (const SeriesField& field : request.fields) {
      if (!field.wildcard) plain_.emplace(field.text, Column());
    }
  }

  // Adds a row's time and series; nothing (false) for a row that does not decode.
  bool Add(const runtime::HistoryRow& row, std::optional<std::int64_t> t) {
    Json::Value record;
    std::string error;
    if (!records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
      return false;
    }
    t_.Append(t ? std::to_string(*t) : "null");
    // A field asked twice is written twice, as a single field always was.
    for (const SeriesField& field : request_.fields) {
      if (!field.wildcard) {
        plain_[field.text].Append(json_text::Line(vocabulary::ValueIn(field.path, record)));
        continue;
      }
      const vocabulary::Variable& variable = *field.path.variable;
      const int items = vocabulary::ItemsOf(variable, record);
      for (int item = 1; item <= items; ++item) {
        const std::string name = vocabulary::NameFor(variable, field.path.unit, item);
        auto found = expanded_.find(name);
        if (found == expanded_.end()) {
          found = expanded_.emplace(name, Expansion{}).first;
          // null for every row before, and its place in a record.
          for (std::size_t k = 0; k < t_.rows; ++k) {
            found->second.column.Append("null");
            found->second.column.EndRow();
          }
          vocabulary::Resolve(name, found->second.path);
        }
        Expansion& expansion = found->second;
        if (expansion.column.rows > t_.rows) continue;  // two wildcards alike
        expansion.column.Append(json_text::Line(vocabulary::ValueIn(expansion.path, record)));
        expansion.column.EndRow();
      }
    }
    t_.EndRow();
    for (auto& [name, column] : plain_) {
      if (column.rows < t_.rows) column.EndRow();
    }
    for (auto& [name, expansion] : expanded_) {
      if (expansion.column.rows < t_.rows) {
        expansion.column.Append("null");
        expansion.column.EndRow();
      }
    }
    return true;
  }

  std::size_t Rows() const { return t_.rows; }
  std::size_t Series() const { return plain_.size() + expanded_.size(); }

  SeriesText Answer(bool drop_first) const {
    SeriesText answer;
    answer.t = t_.Array(drop_first);
    for (const auto& [name, column] : plain_) answer.values[name] = column.Array(drop_first);
    for (const auto& [name, expansion] : expanded_) {
      answer.values[name] = expansion.column.Array(drop_first);
    }
    return answer;
  }

 private:
  struct Expansion {
    Column column;
    vocabulary::Resolved path;
  };
  const SeriesRequest& request_;
  Column t_;
  std::map<std::string, Column> plain_;
  std::map<std::string, Expansion> expanded_;
};

}  // namespace

SeriesText HistorySeries(runtime::RecordStore& store, const SeriesRequest& request,
                         const std::atomic<bool>& cancel) {
  runtime::RowFilter filter;
  filter.data_id = request.data_id;
  filter.since = request.since;
  filter.until = request.until;
  // The store's `last` counts the data id's rows of every record type; one
  // more than asked tells whether the range held more. Rows come oldest
  // first, so the first one is cut off at the end when the count says that
  // it is not among the newest `limit`.
  filter.last = request.limit + 1;
  unsigned int matched = 0;
  bool first_added = false;          // the first row matched decoded: it is the columns' first
  std::optional<std::int64_t> span;  // of the last row kept, with `every`
  Columns columns(request);
  store.ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) {
    if (cancel.load(std::memory_order_relaxed)) throw QueryCancelled();
    if (row.record_type != request.record_type) return;
    const std::optional<std::int64_t> t = runtime::UnixSecondsOf(row.time);
    ++matched;
    if (request.every != 0 && t) {
      // Rows are oldest first: the first of a span is kept, the rest are
      // passed over before they are decoded.
      const std::int64_t every = request.every;
      const std::int64_t this_span = *t >= 0 ? *t / every : -((-*t + every - 1) / every);
      if (span == this_span) return;
      span = this_span;
    }
    const bool added = columns.Add(row, t);
    if (matched == 1) first_added = added;
    // The rows kept so far (the first may yet go) times the series so far.
    const unsigned long kept = std::min<unsigned long>(columns.Rows(), request.limit);
    if (kept * columns.Series() > kHistoryValueBudget) throw OverBudget(kept, columns.Series());
  });
  SeriesText answer = columns.Answer(matched > request.limit && first_added);
  answer.truncated = matched > request.limit;
  return answer;
}

}  // namespace http_output
