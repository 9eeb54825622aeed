#pragma once

#include <json/value.h>

#include <atomic>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "records/vocabulary.h"
#include "store/record_store.h"

namespace http_output {

struct SeriesRequest {
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::vector<std::string> fields;
  std::vector<vocabulary::Resolved> paths;  // of `fields`, in their order
  std::string since, until;                 // local time texts; empty: open
  unsigned int limit = 2000;
};

// A history query holds at most this many values (rows x fields) at once:
// its time and memory grow with it, so a larger one is refused.
constexpr unsigned long kHistoryValueBudget = 200000;

// The series as JSON array texts, "[...]": the times, and each field's values.
struct SeriesText {
  std::string t;
  std::map<std::string, std::string> values;  // by field
  bool truncated = false;                     // the range held more rows
};

// Thrown by HistorySeries when `cancel` is set while it reads.
struct QueryCancelled : std::exception {
  const char* what() const noexcept override { return "the server is stopping"; }
};

// The newest `limit` stored rows of the device in the range, decoded, each
// value written as JSON as it is read (no row is kept past its turn). Rows
// that do not decode are skipped. Throws runtime::StoreError, QueryCancelled.
SeriesText HistorySeries(runtime::RecordStore& store, const SeriesRequest& request,
                         const std::atomic<bool>& cancel);

}  // namespace http_output
