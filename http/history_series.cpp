#include "http/history_series.h"

#include <deque>

#include "http/query_params.h"
#include "runtime/local_time_text.h"
#include "tools/records/record_decode.h"

namespace http_output {

namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The newest `limit` rows of the device's record type; one more tells
// whether the range held more.
struct Collected {
  std::deque<runtime::HistoryRow> rows;
  bool truncated = false;
};

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

Json::Value HistorySeries(runtime::RecordStore& store, const SeriesRequest& request) {
  runtime::RowFilter filter;
  filter.data_id = request.data_id;
  filter.since = request.since;
  filter.until = request.until;
  // The store's `last` counts the data id's rows of every record type.
  filter.last = request.limit + 1;
  Collected collected;
  store.ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) {
    if (row.record_type != request.record_type) return;
    collected.rows.push_back(row);
    if (collected.rows.size() > request.limit) {
      collected.rows.pop_front();
      collected.truncated = true;
    }
  });
  Json::Value answer(Json::objectValue);
  Json::Value& times = answer["t"] = Json::Value(Json::arrayValue);
  Json::Value& values = answer["values"] = Json::Value(Json::objectValue);
  for (const std::string& field : request.fields) values[field] = Json::Value(Json::arrayValue);
  for (const runtime::HistoryRow& row : collected.rows) {
    Json::Value record;
    std::string error;
    if (!records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
      continue;
    }
    const std::optional<std::int64_t> t = runtime::UnixSecondsOf(row.time);
    times.append(t ? Json::Value(static_cast<Json::Int64>(*t)) : Json::Value());
    for (std::size_t i = 0; i < request.fields.size(); ++i) {
      values[request.fields[i]].append(FieldValue(record, request.paths[i]));
    }
  }
  answer["truncated"] = collected.truncated;
  return answer;
}

}  // namespace http_output
