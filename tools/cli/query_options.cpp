#include "tools/cli/query_options.h"

#include <sys/stat.h>

#include <boost/date_time/gregorian/gregorian_types.hpp>

namespace cli {

namespace {

// The number of the digits text[from, from + count); -1 when one is not a digit.
int Digits(const std::string& text, std::size_t from, std::size_t count) {
  int value = 0;
  for (std::size_t k = from; k < from + count; ++k) {
    if (text[k] < '0' || text[k] > '9') return -1;
    value = value * 10 + (text[k] - '0');
  }
  return value;
}

// The given text in a message: printable ASCII of a sensible length is
// quoted, anything else left out.
std::string Shown(const std::string& text) {
  if (text.size() > 40) return "";
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return "";
  }
  return " \"" + text + "\"";
}

const char* const kTimeForms =
    "a time as YYYY-MM-DD HH:MM:SS, YYYY-MM-DDTHH:MM:SS or YYYY-MM-DD (local time)";

}  // namespace

void AddQueryOptions(CLI::App& command, QueryOptions& options, const std::string& rows) {
  command.add_option("--db", options.db_path, "SQLite database written by run or simulate")
      ->required();
  command.add_option("--device", options.device, "only the " + rows + " of this data id")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{0xFFFFFFFF}));
  command.add_option("--since", options.since,
                     "only the " + rows + " from this local time on: YYYY-MM-DD HH:MM:SS, " +
                         "YYYY-MM-DDTHH:MM:SS or YYYY-MM-DD (from 00:00:00)");
  command.add_option("--until", options.until,
                     "only the " + rows + " up to this local time, itself included (YYYY-MM-DD: " +
                         "up to 23:59:59)");
  command.add_option("--last", options.last, "only the newest N " + rows + " (0: all)")
      ->capture_default_str();
  command.add_flag("--csv", options.csv, "print comma-separated values (RFC 4180) with a header");
}

bool ParseTimeText(const std::string& text, bool end_of_day, std::string& stored) {
  if (text.size() != 10 && text.size() != 19) return false;
  if (text[4] != '-' || text[7] != '-') return false;
  const int year = Digits(text, 0, 4);
  const int month = Digits(text, 5, 2);
  const int day = Digits(text, 8, 2);
  int hour = end_of_day ? 23 : 0;
  int minute = end_of_day ? 59 : 0;
  int second = end_of_day ? 59 : 0;
  if (text.size() == 19) {
    if ((text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') return false;
    hour = Digits(text, 11, 2);
    minute = Digits(text, 14, 2);
    second = Digits(text, 17, 2);
  }
  // The years the time library holds, which are those the store can have written.
  if (year < 1400 || month < 1 || month > 12 || day < 1) return false;
  if (day > boost::gregorian::gregorian_calendar::end_of_month_day(
                static_cast<unsigned short>(year), static_cast<unsigned short>(month))) {
    return false;
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return false;
  }
  stored =
      text.substr(0, 10) + " " +
      (text.size() == 19 ? text.substr(11) : std::string(end_of_day ? "23:59:59" : "00:00:00"));
  return true;
}

bool MakeFilter(const QueryOptions& options, runtime::RowFilter& filter, std::string& error) {
  filter = runtime::RowFilter();
  if (options.device >= 0) filter.data_id = static_cast<std::uint32_t>(options.device);
  filter.last = options.last;
  const struct {
    const char* option;
    const std::string& given;
    bool end_of_day;
    std::string& stored;
  } bounds[] = {{"--since", options.since, false, filter.since},
                {"--until", options.until, true, filter.until}};
  for (const auto& bound : bounds) {
    if (bound.given.empty()) continue;
    if (!ParseTimeText(bound.given, bound.end_of_day, bound.stored)) {
      error = bound.option + Shown(bound.given) + ": not " + kTimeForms;
      return false;
    }
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
