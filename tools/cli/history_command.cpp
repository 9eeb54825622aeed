#include "tools/cli/history_command.h"

#include <algorithm>

#include "runtime/exit_codes.h"
#include "runtime/time_bound.h"
#include "store/record_store.h"
#include "records/csv_text.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/record_fields.h"
#include "records/vocabulary.h"
#include "tools/replay/hex_text.h"

namespace cli {

namespace {

// Without --fields, CSV has the top-level fields of every record type listed,
// in type order.
std::vector<std::string> CsvColumns(const std::vector<int>& types) {
  std::vector<std::string> columns;
  for (int type : types) {
    for (const std::string& field : records::TopLevelFields(type)) {
      if (std::find(columns.begin(), columns.end(), field) == columns.end()) {
        columns.push_back(field);
      }
    }
  }
  return columns;
}

void PrintCsv(const runtime::HistoryRow& row, const Json::Value& record, const std::string& error,
              const std::vector<vocabulary::Resolved>& columns, std::ostream& out,
              std::ostream& err) {
  std::vector<std::string> line = {row.time, std::to_string(row.data_id),
                                   std::to_string(row.record_type)};
  for (const vocabulary::Resolved& column : columns) {
    line.push_back(records::ScalarText(vocabulary::ValueIn(column, record)));
  }
  out << csv_text::Line(line);
  // The row stays in the table with empty fields; the reason goes beside it.
  if (!error.empty()) {
    err << "korvan-host: history: row " << row.id << " (" << row.time << "): " << error << "\n";
  }
}

void PrintJson(const runtime::HistoryRow& row, const Json::Value& record, const std::string& error,
               const std::vector<std::string>& fields,
               const std::vector<vocabulary::Resolved>& paths, std::ostream& out) {
  Json::Value line(Json::objectValue);
  line["row"] = Json::Int64(row.id);
  line["time"] = row.time;
  line["data_id"] = row.data_id;
  line["type"] = row.record_type;
  if (!error.empty()) {
    // Shown as it is, with the reason it cannot be decoded.
    line["error"] = error;
    line["bytes"] = hex_text::Encode(row.record);
  } else if (fields.empty()) {
    line["record"] = record;
  } else {
    Json::Value selected(Json::objectValue);
    for (std::size_t k = 0; k < fields.size(); ++k) {
      selected[fields[k]] = vocabulary::ValueIn(paths[k], record);
    }
    line["record"] = selected;
  }
  out << json_text::Line(line) << "\n";
}

}  // namespace

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options) {
  CLI::App* command =
      app.add_subcommand("history", "list the stored history rows, decoded, as JSON lines or CSV");
  command->fallthrough();
  AddQueryOptions(*command, options, "rows");
  command
      ->add_option("--fields", options.fields,
                   "only these decoded fields, comma-separated, e.g. v,i or channels.0.a or "
                   "modules.1.output_current (positions from 0)")
      ->delimiter(',');
  command->footer(
      "JSON lines: row, time, data_id, type and record (the decoded record; with --fields only "
      "those fields, null where a row has none), or error and bytes for a row that cannot be "
      "decoded.\nCSV: a header time,data_id,record_type,FIELDS and one row per history row; "
      "without --fields every top-level number or text of the records listed; a field a row "
      "has not is empty.\nThe database is opened read-only and never changed.\nExit codes: 0 "
      "listed; 2 the database does not exist, cannot be opened (the reason is named), is "
      "corrupt or is not one that run or simulate wrote; 105 a bad --since or --until or an "
      "unknown field (the known ones are listed).");
  return command;
}

int RunHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err) {
  runtime::RowFilter filter;
  std::string error;
  if (!MakeFilter(options, filter, error, runtime::UnixNow())) {
    err << "korvan-host: history: " << error << "\n";
    return kBadValue;
  }
  std::vector<vocabulary::Resolved> paths;
  for (const std::string& field : options.fields) {
    vocabulary::Resolved& resolved = paths.emplace_back();
    if (!vocabulary::Resolve(field, resolved)) {
      err << "korvan-host: history: unknown field \"" << field
          << "\": neither a name that korvan-host list shows (dc.1.output.voltage, "
             "ac.1.channel.2.L1-N.voltage, rectifier.3.current, ...) nor a record path; the "
             "record paths of each record type (N: a channel or module from 0):\n"
          << records::KnownFieldsText();
      return kBadValue;
    }
  }
  std::unique_ptr<runtime::RecordStore> store = OpenForReading("history", options.db_path, err);
  if (!store) return runtime::exit_codes::kDatabase;
  try {
    std::vector<std::string> columns = options.fields;
    std::vector<vocabulary::Resolved> column_paths = paths;
    if (options.csv) {
      if (columns.empty()) {
        columns = CsvColumns(store->HistoryTypes(filter));
        for (const std::string& column : columns) {
          vocabulary::Resolve(column, column_paths.emplace_back());
        }
      }
      std::vector<std::string> header = {"time", "data_id", "record_type"};
      header.insert(header.end(), columns.begin(), columns.end());
      out << csv_text::Line(header);
    }
    // Rows are decoded and printed one at a time: a week of history does not
    // fit in memory as decoded JSON.
    store->ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) {
      Json::Value record;
      std::string error;
      if (!records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
        record = Json::Value();
        if (error.empty()) error = "cannot be decoded";
      }
      if (options.csv) {
        PrintCsv(row, record, error, column_paths, out, err);
      } else {
        PrintJson(row, record, error, options.fields, paths, out);
      }
    });
  } catch (const runtime::StoreError& failure) {
    err << "korvan-host: history: " << failure.what() << "\n";
    return runtime::exit_codes::kDatabase;
  }
  return runtime::exit_codes::kOk;
}

}  // namespace cli
