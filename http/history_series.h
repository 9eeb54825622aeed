#pragma once

#include <json/value.h>

#include <atomic>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "records/series_field.h"
#include "records/vocabulary.h"
#include "store/record_store.h"

namespace http_output {

using records::ExpandedNames;
using records::ParseSeriesField;
using records::SeriesField;

struct SeriesRequest {
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::vector<SeriesField> fields;
  std::string since, until;  // local time texts; empty: open
  unsigned int limit = 2000;
  // Seconds: of the rows read, only the oldest of each span of this many
  // seconds from the Unix epoch (t / every) is kept; 0: every row.
  unsigned int every = 0;
};

// A history query holds at most this many values (rows x series) at once:
// its time and memory grow with it, so a larger one is refused.
constexpr unsigned long kHistoryValueBudget = 200000;

// The series as JSON array texts, "[...]": the times, and each series' values.
struct SeriesText {
  std::string t;
  // By field as asked, or by expanded name for a wildcard's items.
  std::map<std::string, std::string> values;
  bool truncated = false;  // the range held more rows
};

// Thrown by HistorySeries when `cancel` is set while it reads.
struct QueryCancelled : std::exception {
  const char* what() const noexcept override { return "the server is stopping"; }
};

// Thrown by HistorySeries when the rows read hold more values than the
// budget: the wildcards' items are known only once the rows are read.
struct OverBudget : std::exception {
  unsigned long rows = 0, series = 0;
  OverBudget(unsigned long r, unsigned long s) : rows(r), series(s) {}
  const char* what() const noexcept override { return "history query over the value budget"; }
};

// The newest `limit` stored rows of the device in the range, decoded, each
// value written as JSON as it is read (no row is kept past its turn). Rows
// that do not decode are skipped. A wildcard's series hold null in the rows
// without its item. Throws runtime::StoreError, QueryCancelled, OverBudget.
SeriesText HistorySeries(runtime::RecordStore& store, const SeriesRequest& request,
                         const std::atomic<bool>& cancel);

}  // namespace http_output
