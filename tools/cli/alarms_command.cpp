#include "tools/cli/alarms_command.h"

#include "console/alarm_event_format.h"
#include "console/alarm_glossary.h"
#include "console/json_line.h"
#include "records/csv_text.h"
#include "runtime/exit_codes.h"
#include "runtime/time_bound.h"

namespace cli {

CLI::App* AddAlarmsCommand(CLI::App& app, AlarmsOptions& options) {
  CLI::App* command =
      app.add_subcommand("alarms", "list the stored alarm events as JSON lines or CSV");
  command->fallthrough();
  AddQueryOptions(*command, options, "events");
  command->add_flag("--active", options.active,
                    "only the alarms still active: the raises that are their alarm's last event");
  command->footer(
      "JSON lines as run --json prints alarm events: event (alarm_raised or alarm_cleared), "
      "system (empty when the database does not tell it), time, id, code, name, text, gloss "
      "(only when known), level, data_id, record_type, event_id (null for events stored "
      "without one).\nCSV: a header "
      "time,system,event,data_id,record_type,level,id,code,name,text,gloss,event_id and one row "
      "per event.\nThe "
      "database is opened read-only and never changed.\nExit codes: 0 listed; 2 the database "
      "does not exist, cannot be opened (the reason is named), is corrupt or is not one that "
      "run or simulate wrote; 105 a bad --since or --until.");
  return command;
}

int RunAlarms(const AlarmsOptions& options, std::ostream& out, std::ostream& err) {
  runtime::RowFilter filter;
  std::string error;
  if (!MakeFilter(options, filter, error, runtime::UnixNow())) {
    err << "korvan-host: alarms: " << error << "\n";
    return kBadValue;
  }
  std::vector<runtime::AlarmEvent> events;
  std::map<std::uint32_t, runtime::DeviceInfo> devices;
  {
    std::unique_ptr<runtime::RecordStore> store = OpenForReading("alarms", options.db_path, err);
    if (!store) return runtime::exit_codes::kDatabase;
    try {
      events = store->AlarmEvents(filter, options.active);
      devices = store->ReadDevices();
    } catch (const runtime::StoreError& failure) {
      err << "korvan-host: alarms: " << failure.what() << "\n";
      return runtime::exit_codes::kDatabase;
    }
  }
  if (options.csv) {
    out << csv_text::Line({"time", "system", "event", "data_id", "record_type", "level", "id",
                           "code", "name", "text", "gloss", "event_id"});
  }
  for (const runtime::AlarmEvent& event : events) {
    const char* kind = event.raised ? "alarm_raised" : "alarm_cleared";
    // The system that has the data id now, by the devices table; empty for
    // one it does not name (also in a file made before the table).
    const auto device = devices.find(event.data_id);
    const std::string system = device == devices.end() ? "" : device->second.system;
    if (options.csv) {
      out << csv_text::Line({event.time, system, kind, std::to_string(event.data_id),
                             std::to_string(event.record_type), std::to_string(event.level),
                             event.id, event.code, event.name, event.text,
                             runtime::AlarmGloss(event.id, event.code, event.text),
                             event.event_id});
      continue;
    }
    // The members of the runtime's alarm events, with the time as stored.
    Json::Value line = runtime::ConsoleAlarmJson(event);
    line.removeMember("since");
    line["event"] = kind;
    line["system"] = system;
    line["time"] = event.time;
    out << runtime::JsonLine(line) << "\n";
  }
  return runtime::exit_codes::kOk;
}

}  // namespace cli
