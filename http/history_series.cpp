#include "http/history_series.h"

#include <optional>

#include "http/query_params.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "runtime/local_time_text.h"

namespace http_output {

namespace {

// Comma-separated JSON texts of the series, without their brackets.
struct Columns {
  std::string t;
  std::map<std::string, std::string> values;

  void Append(std::string& column, const std::string& text) {
    if (!column.empty()) column += ',';
    column += text;
  }
  // Adds a row's time and fields; nothing for a row that does not decode.
  void Add(const runtime::HistoryRow& row, const SeriesRequest& request) {
    Json::Value record;
    std::string error;
    if (!records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
      return;
    }
    const std::optional<std::int64_t> t = runtime::UnixSecondsOf(row.time);
    Append(this->t, t ? std::to_string(*t) : "null");
    for (std::size_t i = 0; i < request.fields.size(); ++i) {
      Append(values[request.fields[i]],
             json_text::Line(vocabulary::ValueIn(request.paths[i], record)));
    }
  }
};

std::string Joined(const std::string& head, const std::string& rest) {
  if (head.empty() || rest.empty()) return "[" + head + rest + "]";
  return "[" + head + "," + rest + "]";
}

}  // namespace

SeriesText HistorySeries(runtime::RecordStore& store, const SeriesRequest& request,
                         const std::atomic<bool>& cancel) {
  runtime::RowFilter filter;
  filter.data_id = request.data_id;
  filter.since = request.since;
  filter.until = request.until;
  // The store's `last` counts the data id's rows of every record type; one
  // more than asked tells whether the range held more. Rows come oldest
  // first, so the first one is held back until the count says whether it is
  // among the newest `limit`.
  filter.last = request.limit + 1;
  std::optional<runtime::HistoryRow> first;
  unsigned int matched = 0;
  Columns rest;
  store.ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) {
    if (cancel.load(std::memory_order_relaxed)) throw QueryCancelled();
    if (row.record_type != request.record_type) return;
    if (++matched == 1) {
      first = row;
    } else {
      rest.Add(row, request);
    }
  });
  Columns head;
  if (first && matched <= request.limit) head.Add(*first, request);
  SeriesText answer;
  answer.truncated = matched > request.limit;
  answer.t = Joined(head.t, rest.t);
  for (const std::string& field : request.fields) {
    answer.values[field] = Joined(head.values[field], rest.values[field]);
  }
  return answer;
}

}  // namespace http_output
