#include "http/history_series.h"

#include <optional>

#include "http/query_params.h"
#include "runtime/local_time_text.h"
#include "tools/records/json_text.h"
#include "tools/records/record_decode.h"

namespace http_output {

namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

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
      Append(values[request.fields[i]], json_text::Line(FieldValue(record, request.paths[i])));
    }
  }
};

std::string Joined(const std::string& head, const std::string& rest) {
  if (head.empty() || rest.empty()) return "[" + head + rest + "]";
  return "[" + head + "," + rest + "]";
}

}  // namespace

std::optional<FieldPath> ParseFieldPath(const std::string& text) {
  FieldPath path;
  std::size_t i = 0;
  if (text.empty() || text.size() > 200) return std::nullopt;
  while (i < text.size()) {
    FieldStep step;
    while (i < text.size() && NameChar(text[i])) step.name += text[i++];
    if (step.name.empty()) return std::nullopt;
    while (i < text.size() && text[i] == '[') {
      const std::size_t close = text.find(']', i);
      if (close == std::string::npos || close == i + 1 || close - i > 6) return std::nullopt;
      const std::string digits = text.substr(i + 1, close - i - 1);
      if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
      step.indexes.push_back(static_cast<unsigned int>(std::stoul(digits)));
      i = close + 1;
    }
    path.push_back(std::move(step));
    if (i == text.size()) break;
    if (text[i] != '.' || i + 1 == text.size()) return std::nullopt;
    ++i;
  }
  return path;
}

Json::Value FieldValue(const Json::Value& record, const FieldPath& path) {
  const Json::Value* value = &record;
  for (const FieldStep& step : path) {
    if (!value->isObject() || !value->isMember(step.name)) return Json::Value();
    value = &(*value)[step.name];
    for (const unsigned int index : step.indexes) {
      if (!value->isArray() || index >= value->size()) return Json::Value();
      value = &(*value)[index];
    }
  }
  if (value->isObject() || value->isArray()) return Json::Value();
  return *value;
}

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
