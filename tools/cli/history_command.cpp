#include "tools/cli/history_command.h"

#include <sys/stat.h>

#include "tools/records/json_text.h"
#include "tools/records/record_decode.h"
#include "tools/replay/hex_text.h"
#include "tools/runtime/exit_codes.h"
#include "tools/runtime/record_store.h"

namespace cli {

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options) {
  CLI::App* command =
      app.add_subcommand("history", "list the stored history rows, decoded, as JSON lines");
  command->fallthrough();
  command->add_option("--db", options.db_path, "SQLite database written by run or simulate")
      ->required();
  command->add_option("--device", options.device, "only the rows of this data id")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{0xFFFFFFFF}));
  command->add_option("--last", options.last, "only the newest N rows (0: all)")
      ->capture_default_str();
  command->footer(
      "The database is opened read-only and never changed.\nExit codes: 0 listed; 2 the "
      "database does not exist, cannot be opened (the reason is named), is corrupt or is not "
      "one that run or simulate wrote.");
  return command;
}

int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err) {
  // Opening the store would create a missing file.
  struct stat info {};
  if (stat(options.db_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    err << "korvan-host: history: no database at " << options.db_path << "\n";
    return runtime::exit_codes::kDatabase;
  }
  std::vector<runtime::HistoryRow> rows;
  try {
    // Reading must not change the file: no journal mode, no tables of ours.
    runtime::RecordStore store(options.db_path, runtime::HistoryBound{}, 2000,
                               runtime::SqliteDb::Access::kReadOnly);
    std::optional<std::uint32_t> device;
    if (options.device >= 0) device = static_cast<std::uint32_t>(options.device);
    rows = store.History(device, options.last);
  } catch (const runtime::StoreError& failure) {
    err << "korvan-host: history: " << failure.what() << "\n";
    return runtime::exit_codes::kDatabase;
  }
  for (const runtime::HistoryRow& row : rows) {
    Json::Value line(Json::objectValue);
    line["row"] = Json::Int64(row.id);
    line["time"] = row.time;
    line["data_id"] = row.data_id;
    line["type"] = row.record_type;
    Json::Value record;
    std::string error;
    if (records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
      line["record"] = record;
    } else {
      // Shown as it is, with the reason it cannot be decoded.
      line["error"] = error;
      line["bytes"] = hex_text::Encode(row.record);
    }
    out << json_text::Line(line) << "\n";
  }
  return runtime::exit_codes::kOk;
}

}  // namespace cli
