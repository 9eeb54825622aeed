#pragma once

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

#include "store/record_store.h"

namespace http_output {

// One step of a field path: a member name, then optional array indexes.
struct FieldStep {
  std::string name;
  std::vector<unsigned int> indexes;
};
using FieldPath = std::vector<FieldStep>;

// "v", "channels[0].a", "modules[2].output_current", "n_value[1]"; nothing
// for anything else.
std::optional<FieldPath> ParseFieldPath(const std::string& text);
// The value at `path` in a decoded record; null when the record lacks it.
Json::Value FieldValue(const Json::Value& record, const FieldPath& path);

struct SeriesRequest {
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::vector<std::string> fields;
  std::vector<FieldPath> paths;  // of `fields`, in their order
  std::string since, until;      // local time texts; empty: open
  unsigned int limit = 2000;
};

// The newest `limit` stored rows of the device in the range, decoded, as
// {"t": [...], "values": {FIELD: [...]}, "truncated": bool}. Rows that do
// not decode are skipped. Throws runtime::StoreError.
Json::Value HistorySeries(runtime::RecordStore& store, const SeriesRequest& request);

}  // namespace http_output
