#include "tools/cli/history_command.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "records/csv_text.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/record_fields.h"
#include "records/series_field.h"
#include "records/vocabulary.h"
#include "runtime/exit_codes.h"
#include "runtime/time_bound.h"
#include "store/record_store.h"
#include "tools/replay/hex_text.h"

namespace cli {

namespace {

using Devices = std::map<std::uint32_t, runtime::DeviceInfo>;

// A row's unit number as the store's devices table tells it; 1 for a data id
// it does not know (a database of an earlier version).
int UnitOf(const Devices& devices, const runtime::HistoryRow& row) {
  const auto found = devices.find(row.data_id);
  return found == devices.end() ? 1 : found->second.unit;
}

std::string SystemOf(const Devices& devices, std::uint32_t data_id) {
  const auto found = devices.find(data_id);
  return found == devices.end() ? std::string() : found->second.system;
}

// A CSV column: a field the command line names, or a name of the vocabulary.
struct Column {
  std::string name;
  vocabulary::Resolved field;  // for a chosen field
  bool by_name = false;        // a value of the row's ValuesOf
};

// Without --fields: every name of the vocabulary that a listed row has, by
// record type, unit, item and the table's order. Reads the rows once more,
// keeping only the names.
std::vector<Column> AllNames(runtime::RecordStore& store, const runtime::RowFilter& filter,
                             const Devices& devices) {
  const std::vector<vocabulary::Variable>& table = vocabulary::Table();
  std::map<std::tuple<int, int, int, std::size_t>, std::string> names;
  store.ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) {
    Json::Value record;
    std::string error;
    if (!records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
      return;
    }
    for (const vocabulary::NamedValue& value :
         vocabulary::ValuesOf(row.record_type, UnitOf(devices, row), record)) {
      const std::size_t order = static_cast<std::size_t>(value.variable - table.data());
      names.emplace(std::make_tuple(row.record_type, value.unit, value.item, order), value.name);
    }
  });
  std::vector<Column> columns;
  for (const auto& [key, name] : names) columns.push_back({name, {}, true});
  return columns;
}

void PrintCsv(const runtime::HistoryRow& row, const Json::Value& record, const std::string& error,
              const std::vector<Column>& columns, const Devices& devices, std::ostream& out,
              std::ostream& err) {
  std::vector<std::string> line = {row.time, SystemOf(devices, row.data_id),
                                   std::to_string(row.data_id), std::to_string(row.record_type)};
  std::map<std::string, Json::Value> named;
  if (error.empty()) {
    for (const vocabulary::NamedValue& value :
         vocabulary::ValuesOf(row.record_type, UnitOf(devices, row), record)) {
      named.emplace(value.name, vocabulary::JsonValue(value));
    }
  }
  for (const Column& column : columns) {
    if (!column.by_name) {
      line.push_back(records::ScalarText(vocabulary::ValueIn(column.field, record)));
      continue;
    }
    const auto found = named.find(column.name);
    line.push_back(found == named.end() ? std::string() : records::ScalarText(found->second));
  }
  out << csv_text::Line(line);
  // The row stays in the table with empty fields; the reason goes beside it.
  if (!error.empty()) {
    err << "korvan-host: history: row " << row.id << " (" << row.time << "): " << error << "\n";
  }
}

void PrintJson(const runtime::HistoryRow& row, const Json::Value& record, const std::string& error,
               const std::vector<records::SeriesField>& fields, std::ostream& out) {
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
    for (const records::SeriesField& field : fields) {
      if (!field.wildcard) {
        selected[field.text] = vocabulary::ValueIn(field.path, record);
        continue;
      }
      // A wildcard: each item the row holds, by its name.
      for (const std::string& name : records::ExpandedNames(field, record)) {
        vocabulary::Resolved item;
        if (vocabulary::Resolve(name, item)) selected[name] = vocabulary::ValueIn(item, record);
      }
    }
    line["record"] = selected;
  }
  out << json_text::Line(line) << "\n";
}

// The CSV columns of chosen fields: a wildcard is a column for each item that
// any listed row holds (read once more, keeping only how many).
std::vector<Column> ChosenColumns(runtime::RecordStore& store, const runtime::RowFilter& filter,
                                  const std::vector<records::SeriesField>& fields) {
  std::vector<std::vector<std::string>> expanded(fields.size());
  const bool any_wildcard = std::any_of(fields.begin(), fields.end(),
                                        [](const records::SeriesField& f) { return f.wildcard; });
  if (any_wildcard) {
    store.ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) {
      Json::Value record;
      std::string error;
      if (!records::Decode(row.record_type, row.record.data(), row.record.size(), record, error)) {
        return;
      }
      for (std::size_t k = 0; k < fields.size(); ++k) {
        std::vector<std::string> names = records::ExpandedNames(fields[k], record);
        if (names.size() > expanded[k].size()) expanded[k] = std::move(names);
      }
    });
  }
  std::vector<Column> columns;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (!fields[k].wildcard) {
      columns.push_back({fields[k].text, fields[k].path, false});
      continue;
    }
    for (const std::string& name : expanded[k]) {
      Column& column = columns.emplace_back(Column{name, {}, false});
      vocabulary::Resolve(name, column.field);
    }
  }
  return columns;
}

}  // namespace

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& options) {
  CLI::App* command =
      app.add_subcommand("history", "list the stored history rows, decoded, as JSON lines or CSV");
  command->fallthrough();
  AddQueryOptions(*command, options, "rows");
  command
      ->add_option("--fields", options.fields,
                   "only these values, comma-separated: names of korvan-host list, e.g. "
                   "dc.1.output.voltage,rectifier.2.current, with * for every item "
                   "(rectifier.*.current), or record paths as earlier versions took them (v, "
                   "channels.0.a; positions from 0)")
      ->delimiter(',');
  command->footer(
      "JSON lines: row, time, data_id, type and record (the decoded record; with --fields only "
      "those fields, null where a row has none), or error and bytes for a row that cannot be "
      "decoded.\nCSV: a header time,system,data_id,record_type,FIELDS and one row per history "
      "row; without --fields every name of korvan-host list that the listed rows have; a field "
      "a row has not is empty.\nThe database is opened read-only and never changed.\nExit codes: 0 "
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
  std::vector<records::SeriesField> fields;
  for (const std::string& text : options.fields) {
    records::SeriesField& field = fields.emplace_back();
    std::string why;
    if (records::ParseSeriesField(text, field, why)) continue;
    if (text.find('*') != std::string::npos) {
      err << "korvan-host: history: unknown field " << why
          << " (rectifier.*.current: every module's current)\n";
      return kBadValue;
    }
    err << "korvan-host: history: unknown field \"" << text
        << "\": neither a name that korvan-host list shows (dc.1.output.voltage, "
           "ac.1.channel.2.L1-N.voltage, rectifier.3.current, ...) nor a record path; the "
           "record paths of each record type (N: a channel or module from 0):\n"
        << records::KnownFieldsText();
    return kBadValue;
  }
  std::unique_ptr<runtime::RecordStore> store = OpenForReading("history", options.db_path, err);
  if (!store) return runtime::exit_codes::kDatabase;
  try {
    const Devices devices = store->ReadDevices();
    std::vector<Column> columns;
    if (options.csv) {
      columns = options.fields.empty() ? AllNames(*store, filter, devices)
                                       : ChosenColumns(*store, filter, fields);
      std::vector<std::string> header = {"time", "system", "data_id", "record_type"};
      for (const Column& column : columns) header.push_back(column.name);
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
        PrintCsv(row, record, error, columns, devices, out, err);
      } else {
        PrintJson(row, record, error, fields, out);
      }
    });
  } catch (const runtime::StoreError& failure) {
    err << "korvan-host: history: " << failure.what() << "\n";
    return runtime::exit_codes::kDatabase;
  }
  return runtime::exit_codes::kOk;
}

}  // namespace cli
