#include "tools/cli/query_options.h"

#include <sys/stat.h>

#include "runtime/time_bound.h"

namespace cli {

void AddQueryOptions(CLI::App& command, QueryOptions& options, const std::string& rows) {
  command.add_option("--db", options.db_path, "SQLite database written by run or simulate")
      ->required();
  command.add_option("--device", options.device, "only the " + rows + " of this data id")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{0xFFFFFFFF}));
  command.add_option("--since", options.since,
                     "only the " + rows + " from this time on: " + runtime::kTimeBoundForms +
                         " (a date from 00:00:00)");
  command.add_option("--until", options.until,
                     "only the " + rows + " up to this time, itself included (a date up to " +
                         "23:59:59, a time without seconds up to :59)");
  command.add_option("--last", options.last, "only the newest N " + rows + " (0: all)")
      ->capture_default_str();
  command.add_flag("--csv", options.csv, "print comma-separated values (RFC 4180) with a header");
}

bool MakeFilter(const QueryOptions& options, runtime::RowFilter& filter, std::string& error,
                std::int64_t now) {
  filter = runtime::RowFilter();
  if (options.device >= 0) filter.data_id = static_cast<std::uint32_t>(options.device);
  filter.last = options.last;
  const struct {
    const char* option;
    const std::string& given;
    runtime::RangeEnd end;
    std::string& stored;
  } bounds[] = {{"--since", options.since, runtime::RangeEnd::kSince, filter.since},
                {"--until", options.until, runtime::RangeEnd::kUntil, filter.until}};
  for (const auto& bound : bounds) {
    if (bound.given.empty()) continue;
    const std::optional<std::string> stored = runtime::ParseTimeBound(bound.given, bound.end, now);
    if (!stored) {
      error = runtime::TimeBoundError(bound.option, bound.given);
      return false;
    }
    bound.stored = *stored;
  }
  if (!filter.since.empty() && !filter.until.empty() && filter.since > filter.until) {
    error = "--since " + filter.since + " is after --until " + filter.until;
    return false;
  }
  return true;
}

std::unique_ptr<runtime::RecordStore> OpenForReading(const std::string& command,
                                                     const std::string& path, std::ostream& err) {
  // Opening the store would create a missing file.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    err << "korvan-host: " << command << ": no database at " << path << "\n";
    return nullptr;
  }
  try {
    // Reading must not change the file: no journal mode, no tables of ours.
    return std::make_unique<runtime::RecordStore>(path, runtime::HistoryBound{}, 2000,
                                                  runtime::SqliteDb::Access::kReadOnly);
  } catch (const runtime::StoreError& failure) {
    err << "korvan-host: " << command << ": " << failure.what() << "\n";
  }
  return nullptr;
}

}  // namespace cli
