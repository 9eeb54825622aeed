#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "store/record_store.h"

namespace cli {

// The exit code of a value that a reading command refuses (a bad time, an
// unknown field): the parser's own code for a value that fails its check.
constexpr int kBadValue = static_cast<int>(CLI::ExitCodes::ValidationError);

// Options of the commands that read the database: history and alarms.
struct QueryOptions {
  std::string db_path;
  std::int64_t device = -1;  // a data id; -1: every device
  std::string since;         // as given; empty: no lower bound
  std::string until;         // as given; empty: no upper bound
  unsigned int last = 0;     // 0: every row
  bool csv = false;
};

// --db, --device, --since, --until, --last and --csv; `rows` names what is
// listed ("rows", "events").
void AddQueryOptions(CLI::App& command, QueryOptions& options, const std::string& rows);

// The store's filter of the options; false with `error` when a time is bad or
// --since comes after --until. Times as runtime::ParseTimeBound takes them,
// the relative ones before `now` (Unix seconds).
bool MakeFilter(const QueryOptions& options, runtime::RowFilter& filter, std::string& error,
                std::int64_t now);

// The database opened read-only; null once the reason has been printed as
// "korvan-host: COMMAND: ...".
std::unique_ptr<runtime::RecordStore> OpenForReading(const std::string& command,
                                                     const std::string& path, std::ostream& err);

}  // namespace cli
