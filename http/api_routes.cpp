#include "http/api_routes.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <sstream>

#include "console/alarm_glossary.h"
#include "http/asset_table.h"
#include "http/history_series.h"
#include "http/metrics_text.h"
#include "http/query_params.h"
#include "http/store_reader.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "runtime/local_time_text.h"
#include "runtime/time_bound.h"
#include "serving/system_values.h"
#include "store/record_store.h"

namespace http_output {

namespace {

// A reader waits this long for the polling's writes to the store, then 503.
constexpr int kStoreBusyMs = 250;
// A record older than the point reads' 60 seconds is stale.
constexpr double kFreshSeconds = 60;
constexpr unsigned int kMaxFields = 32;

Json::Value TimeValue(const std::string& local_text) {
  if (local_text.empty()) return Json::Value();
  return runtime::IsoLocalTime(local_text);
}

Json::Value UnixValue(const std::string& local_text) {
  const std::optional<std::int64_t> t = runtime::UnixSecondsOf(local_text);
  return t ? Json::Value(static_cast<Json::Int64>(*t)) : Json::Value();
}

double SecondsSince(std::chrono::steady_clock::time_point when) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - when).count();
}

Json::Value LineJson(const runtime::LineHealth& line) {
  Json::Value out(Json::objectValue);
  out["port_open"] = line.port_open;
  out["port_error"] = line.port_error;
  out["frames_good"] = static_cast<Json::UInt64>(line.frames_good);
  Json::Value& dropped = out["dropped"] = Json::Value(Json::objectValue);
  for (const auto& [reason, count] : line.dropped) {
    dropped[reason] = static_cast<Json::UInt64>(count);
  }
  out["dropped_total"] = static_cast<Json::UInt64>(line.dropped_total);
  out["error_replies"] = static_cast<Json::UInt64>(line.error_replies);
  out["lost_replies"] = static_cast<Json::UInt64>(line.lost_replies);
  out["send_failures"] = static_cast<Json::UInt64>(line.send_failures);
  out["early_repeats"] = static_cast<Json::UInt64>(line.early_repeats);
  out["cycles"] = static_cast<Json::UInt64>(line.cycles);
  return out;
}

Json::Value SystemJson(const serving::SystemState& state) {
  Json::Value out(Json::objectValue);
  out["name"] = state.name;
  out["data_id"] = state.data_id;
  Json::Value& communication = out["communication"] = Json::Value(Json::objectValue);
  communication["lost"] = state.communication_lost;
  communication["since"] = TimeValue(state.lost_since);
  out["last_cycle"] = TimeValue(state.last_cycle);
  out["cycle_age_seconds"] = state.last_cycle_received
                                 ? Json::Value(SecondsSince(*state.last_cycle_received))
                                 : Json::Value();
  out["line"] = LineJson(state.line);
  Json::Value& devices = out["devices"] = Json::Value(Json::arrayValue);
  for (const serving::DeviceEntry& device : state.devices) {
    Json::Value entry(Json::objectValue);
    entry["data_id"] = device.data_id;
    entry["kind"] = device.kind;
    entry["record_type"] = device.record_type;
    devices.append(entry);
  }
  out["active_alarms"] = static_cast<Json::UInt64>(state.alarms.size());
  return out;
}

Json::Value AlarmJson(const std::string& system, const runtime::AlarmEvent& alarm) {
  Json::Value out(Json::objectValue);
  out["system"] = system;
  out["data_id"] = alarm.data_id;
  out["record_type"] = alarm.record_type;
  out["id"] = alarm.id;
  out["code"] = alarm.code;
  out["level"] = alarm.level;
  out["name"] = alarm.name;
  out["text"] = alarm.text;
  out["gloss"] = runtime::AlarmGloss(alarm.id, alarm.code, alarm.text);
  out["time"] = TimeValue(alarm.time);
  out["t"] = UnixValue(alarm.time);
  // null for an event stored without an id
  out["event_id"] = alarm.event_id.empty() ? Json::Value() : Json::Value(alarm.event_id);
  return out;
}

runtime::PowerSystem* FindSystem(const ApiContext& context, const std::string& name) {
  for (const std::unique_ptr<runtime::PowerSystem>& system : context.host->Systems()) {
    if (system->Name() == name) return system.get();
  }
  return nullptr;
}

// The device `text` names in `state`; null when none (also for text that is
// not a data id).
const serving::DeviceEntry* FindDevice(const serving::SystemState& state, const std::string& text) {
  const std::optional<unsigned int> id = ParseCount(text, 0, 999999999);
  if (!id) return nullptr;
  for (const serving::DeviceEntry& device : state.devices) {
    if (device.data_id == *id) return &device;
  }
  return nullptr;
}

// Time bounds and limit of a query: false with a 400 answer set.
bool ReadRange(const HttpRequest& req, HttpResponse& res, runtime::RowFilter& filter,
               unsigned int default_limit, unsigned int max_limit) {
  // The command line's forms (runtime/time_bound.h), with the same "now" for both.
  const std::int64_t now = runtime::UnixNow();
  for (const char* bound : {"since", "until"}) {
    if (!req.has_param(bound)) continue;
    const bool since = std::string(bound) == "since";
    const std::optional<std::string> text = runtime::ParseTimeBound(
        req.param(bound), since ? runtime::RangeEnd::kSince : runtime::RangeEnd::kUntil, now);
    if (!text) {
      SendError(res, 400, runtime::TimeBoundError(bound, req.param(bound)));
      return false;
    }
    (since ? filter.since : filter.until) = *text;
  }
  filter.last = default_limit;
  if (req.has_param("limit")) {
    const std::optional<unsigned int> limit = ParseCount(req.param("limit"), 1, max_limit);
    if (!limit) {
      SendError(res, 400, "limit: wants a whole number from 1 to " + std::to_string(max_limit));
      return false;
    }
    filter.last = *limit;
  }
  return true;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::stringstream stream(text);
  for (std::string field; std::getline(stream, field, ',');) fields.push_back(field);
  return fields;
}

// The calling thread's read-only store; nullptr with a 503 answer set when it
// cannot be opened.
runtime::RecordStore* OpenStore(const ApiContext& context, HttpResponse& res) {
  try {
    return &StoreReader(context.db_path, kStoreBusyMs);
  } catch (const runtime::StoreError& failure) {
    SendError(res, 503, failure.what());
    return nullptr;
  }
}

void Healthz(const ApiContext& context, HttpResponse& res) {
  const std::vector<serving::SystemState> states = context.state->Systems();
  Json::Value out(Json::objectValue);
  Json::UInt lost = 0;
  for (const serving::SystemState& state : states) lost += state.communication_lost ? 1 : 0;
  // A thread that makes no progress (the watchdog's finding) fails it too.
  const std::string late = context.host != nullptr ? context.host->LateThreads() : "";
  const bool ok = (states.empty() || lost < states.size()) && late.empty();
  out["ok"] = ok;
  out["systems"] = static_cast<Json::UInt>(states.size());
  out["communication_lost"] = lost;
  if (!late.empty()) out["stalled"] = late;
  SendJson(res, ok ? 200 : 503, out);
}

void Site(const ApiContext& context, HttpResponse& res) {
  Json::Value out(Json::objectValue);
  out["site"] = context.site;
  out["version"] = KORVAN_VERSION;
  out["time"] = TimeValue(runtime::LocalTimeText(boost::posix_time::second_clock::local_time()));
  Json::Value& systems = out["systems"] = Json::Value(Json::arrayValue);
  for (const serving::SystemState& state : context.state->Systems()) systems.append(state.name);
  SendJson(res, 200, out);
}

void Points(const ApiContext& context, const std::string& name, HttpResponse& res) {
  runtime::PowerSystem* system = FindSystem(context, name);
  if (system == nullptr) return SendError(res, 404, "no system named " + name);
  // The summary's JSON, as --json prints it: the same point reads.
  Json::Value summary;
  std::string error;
  if (!json_text::Parse(runtime::FormatSummaryJson(system->Summarize("http")), false, summary,
                        error)) {
    return SendError(res, 500, error);
  }
  Json::Value out(Json::objectValue);
  for (const char* key : {"system", "time", "communication", "ac", "dc", "rectifiers", "values"}) {
    out[key] = summary[key];
  }
  SendJson(res, 200, out);
}

void Record(const ApiContext& context, const HttpRequest& req, HttpResponse& res) {
  const std::optional<serving::SystemState> state = context.state->System(req.matches[1]);
  if (!state) return SendError(res, 404, "no system named " + req.matches[1]);
  const serving::DeviceEntry* device = FindDevice(*state, req.matches[2]);
  if (device == nullptr) return SendError(res, 404, "no such device in " + state->name);
  const auto found = state->records.find(runtime::DeviceKey{device->data_id, device->record_type});
  if (found == state->records.end()) {
    return SendError(res, 404, "the device has not published a record yet");
  }
  const serving::LatestRecord& record = found->second;
  Json::Value decoded;
  std::string error;
  if (!records::Decode(device->record_type, record.bytes->data(), record.bytes->size(), decoded,
                       error)) {
    return SendError(res, 500, "record does not decode: " + error);
  }
  Json::Value out(Json::objectValue);
  out["system"] = state->name;
  out["data_id"] = device->data_id;
  out["record_type"] = device->record_type;
  out["time"] = TimeValue(record.time);
  out["t"] = UnixValue(record.time);
  const double age = SecondsSince(record.received);
  out["age_seconds"] = age;
  out["stale"] = state->communication_lost || age > kFreshSeconds;
  out["record"] = decoded;
  SendJson(res, 200, out);
}

// The system's values by vocabulary name, from its devices' newest records.
void Values(const ApiContext& context, const std::string& name, HttpResponse& res) {
  const std::optional<serving::SystemState> state = context.state->System(name);
  if (!state) return SendError(res, 404, "no system named " + name);
  const Json::Value values = vocabulary::ValuesJson(serving::SystemValues(*state));
  double newest = -1;
  for (const auto& [key, record] : state->records) {
    const double age = SecondsSince(record.received);
    if (newest < 0 || age < newest) newest = age;
  }
  Json::Value out(Json::objectValue);
  out["system"] = state->name;
  out["communication"] = state->communication_lost ? "lost" : "ok";
  out["age_seconds"] = newest < 0 ? Json::Value() : Json::Value(newest);
  out["stale"] = state->communication_lost || newest < 0 || newest > kFreshSeconds;
  out["values"] = values;
  SendJson(res, 200, out);
}

// The vocabulary's table, for pages that label values by name: each name
// pattern ({u} unit, {n} item, both from 1) with its unit, kind, meaning and
// where it sits in a record type's decoded record.
void Vocabulary(HttpResponse& res) {
  static const char* const kKinds[] = {"measure", "setting", "flag", "state", "count"};
  Json::Value out(Json::arrayValue);
  for (const vocabulary::Variable& variable : vocabulary::Table()) {
    Json::Value entry(Json::objectValue);
    entry["name"] = variable.name;
    entry["unit"] = variable.unit;
    entry["kind"] = kKinds[static_cast<int>(variable.kind)];
    entry["meaning"] = variable.meaning;
    entry["record_type"] = variable.record_type;
    entry["field"] = variable.field;
    entry["first"] = variable.first;
    entry["stride"] = variable.stride;
    out.append(entry);
  }
  SendJson(res, 200, out);
}

// The series of `fields`: a wildcard counts the items of the device's newest
// record (at least one).
std::size_t SeriesCount(const serving::SystemState& state, const serving::DeviceEntry& device,
                        const std::vector<SeriesField>& fields) {
  Json::Value record;
  const auto found = state.records.find(runtime::DeviceKey{device.data_id, device.record_type});
  if (found != state.records.end()) {
    std::string error;
    const std::vector<unsigned char>& bytes = *found->second.bytes;
    if (!records::Decode(device.record_type, bytes.data(), bytes.size(), record, error)) {
      record = Json::Value();
    }
  }
  std::size_t series = 0;
  for (const SeriesField& field : fields) {
    series += field.wildcard ? std::max<std::size_t>(1, ExpandedNames(field, record).size()) : 1;
  }
  return series;
}

void History(const ApiContext& context, const HttpRequest& req, HttpResponse& res,
             const std::atomic<bool>& cancel) {
  const std::optional<serving::SystemState> state = context.state->System(req.matches[1]);
  if (!state) return SendError(res, 404, "no system named " + req.matches[1]);
  const serving::DeviceEntry* device = FindDevice(*state, req.matches[2]);
  if (device == nullptr) return SendError(res, 404, "no such device in " + state->name);
  SeriesRequest request;
  request.data_id = device->data_id;
  request.record_type = device->record_type;
  const std::vector<std::string> fields = SplitFields(req.param("fields"));
  if (fields.empty() || fields.size() > kMaxFields) {
    return SendError(res, 400,
                     "fields: wants 1 to " + std::to_string(kMaxFields) + " comma-separated paths");
  }
  for (const std::string& text : fields) {
    SeriesField field;
    std::string error;
    if (!ParseSeriesField(text, field, error)) return SendError(res, 400, "fields: " + error);
    request.fields.push_back(std::move(field));
  }
  runtime::RowFilter filter;
  if (!ReadRange(req, res, filter, 2000, 100000)) return;
  // A wildcard counts as the items of the device's newest record here; the
  // rows read are held to the budget as they come (OverBudget).
  const std::size_t series_count = SeriesCount(*state, *device, request.fields);
  const unsigned long values = static_cast<unsigned long>(filter.last) * series_count;
  if (values > kHistoryValueBudget) {
    return SendError(res, 413,
                     "history query too large: limit x series is " + std::to_string(values) +
                         " values, more than the budget of " + std::to_string(kHistoryValueBudget) +
                         "; ask for fewer rows or fields");
  }
  if (req.has_param("every")) {
    const std::optional<unsigned int> every = ParseCount(req.param("every"), 1, 86400);
    if (!every)
      return SendError(res, 400, "every: wants a whole number of seconds from 1 to 86400");
    request.every = *every;
  }
  request.since = filter.since;
  request.until = filter.until;
  request.limit = filter.last;
  runtime::RecordStore* store = OpenStore(context, res);
  if (!store) return;
  SeriesText series;
  try {
    series = HistorySeries(*store, request, cancel);
  } catch (const runtime::StoreError& failure) {
    ForgetStoreReader();
    return SendError(res, 503, failure.what());
  } catch (const QueryCancelled& stopping) {
    return SendError(res, 503, stopping.what());
  } catch (const OverBudget& over) {
    return SendError(res, 413,
                     "history query too large: the rows hold " + std::to_string(over.series) +
                         " series, " + std::to_string(over.rows) + " rows of them are more than " +
                         "the budget of " + std::to_string(kHistoryValueBudget) +
                         " values; ask for fewer rows or fields");
  }
  // Written as SendJson would write the whole answer (keys in order), with
  // the series' texts spliced in instead of built as JSON values.
  Json::Value head(Json::objectValue);
  head["system"] = state->name;
  head["data_id"] = device->data_id;
  head["record_type"] = device->record_type;
  head["fields"] = Json::Value(Json::arrayValue);
  for (const SeriesField& field : request.fields) head["fields"].append(field.text);
  std::string body = json_text::Line(head);
  body.pop_back();  // the closing brace
  body += ",\"t\":" + series.t + ",\"truncated\":" + (series.truncated ? "true" : "false") +
          ",\"values\":{";
  bool first = true;
  for (const auto& [field, text] : series.values) {
    if (!first) body += ',';
    first = false;
    body += json_text::Line(Json::Value(field)) + ":" + text;
  }
  body += "}}\n";
  SendJsonText(res, 200, std::move(body));
}

// Which system a data id belongs to: its bus device or one of its devices.
std::string SystemOf(const std::vector<serving::SystemState>& states, std::uint32_t data_id) {
  for (const serving::SystemState& state : states) {
    if (state.data_id == data_id) return state.name;
    for (const serving::DeviceEntry& device : state.devices) {
      if (device.data_id == data_id) return state.name;
    }
  }
  return "";
}

// The system named by the "system" parameter; false with a 404 answer set
// when there is no such system. Empty: every system.
bool ReadSystemParam(const ApiContext& context, const HttpRequest& req, HttpResponse& res,
                     std::string& name) {
  name = req.param("system");
  if (req.has_param("system") && !context.state->System(name)) {
    SendError(res, 404, "no system named " + name);
    return false;
  }
  return true;
}

void Alarms(const ApiContext& context, const HttpRequest& req, HttpResponse& res) {
  std::string only;
  if (!ReadSystemParam(context, req, res, only)) return;
  Json::Value out(Json::arrayValue);
  for (const serving::SystemState& state : context.state->Systems()) {
    if (!only.empty() && state.name != only) continue;
    for (const auto& [key, alarm] : state.alarms) out.append(AlarmJson(state.name, alarm));
  }
  SendJson(res, 200, out);
}

void AlarmEvents(const ApiContext& context, const HttpRequest& req, HttpResponse& res) {
  std::string only;
  if (!ReadSystemParam(context, req, res, only)) return;
  runtime::RowFilter filter;
  if (!ReadRange(req, res, filter, 1000, 10000)) return;
  runtime::RecordStore* store = OpenStore(context, res);
  if (!store) return;
  std::vector<runtime::AlarmEvent> events;
  try {
    events = store->AlarmEvents(filter, false);
  } catch (const runtime::StoreError& failure) {
    ForgetStoreReader();
    return SendError(res, 503, failure.what());
  }
  const std::vector<serving::SystemState> states = context.state->Systems();
  Json::Value out(Json::arrayValue);
  for (const runtime::AlarmEvent& event : events) {
    const std::string system = SystemOf(states, event.data_id);
    if (!only.empty() && system != only) continue;
    Json::Value entry = AlarmJson(system, event);
    entry["raised"] = event.raised;
    out.append(entry);
  }
  SendJson(res, 200, out);
}

void Metrics(const ApiContext& context, HttpResponse& res) {
  res.status = 200;
  res.body = MetricsText(context.state->Systems(), context.host->Events().Statistics());
  res.content_type = "text/plain; version=0.0.4; charset=utf-8";
}

void Asset(const std::string& path, HttpResponse& res) {
  const EmbeddedAsset* asset = FindAsset(path);
  if (asset == nullptr) return SendError(res, 404, "not found");
  res.status = 200;
  // Revalidated on every load: after an upgrade the page never runs an old script.
  res.set_header("Cache-Control", "no-cache");
  res.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
  res.content_type = AssetContentType(path);
}

// The path's parts between slashes, "/a/b" as {"a", "b"}.
std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Whether `parts` are `pattern`'s, where "*" stands for any non-empty part;
// the parts "*" stands for in `matches`, from index 1.
bool Matches(const std::vector<std::string>& parts, std::initializer_list<const char*> pattern,
             std::vector<std::string>& matches) {
  if (parts.size() != pattern.size()) return false;
  std::vector<std::string> found{""};
  std::size_t i = 0;
  for (const char* expected : pattern) {
    const std::string& part = parts[i++];
    if (std::string(expected) == "*") {
      if (part.empty()) return false;
      found.push_back(part);
    } else if (part != expected) {
      return false;
    }
  }
  matches = std::move(found);
  return true;
}

}  // namespace

void SendJsonText(HttpResponse& res, int status, std::string text) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.body = std::move(text);
  res.content_type = "application/json; charset=utf-8";
}

void SendJson(HttpResponse& res, int status, const Json::Value& value) {
  SendJsonText(res, status, json_text::Line(value) + "\n");
}

void SendError(HttpResponse& res, int status, const std::string& text) {
  Json::Value error(Json::objectValue);
  error["error"] = text;
  SendJson(res, status, error);
}

bool IsHeavyPath(const std::string& path) {
  const std::vector<std::string> parts = PathParts(path);
  std::vector<std::string> matches;
  return Matches(parts, {"api", "alarms", "events"}, matches) ||
         Matches(parts, {"api", "systems", "*", "devices", "*", "history"}, matches);
}

void Route(const ApiContext& context, HttpRequest& req, HttpResponse& res,
           const std::atomic<bool>& cancel) {
  const std::vector<std::string> parts = PathParts(req.path);
  std::vector<std::string>& m = req.matches;
  if (req.path == "/api/healthz") return Healthz(context, res);
  if (req.path == "/api/site") return Site(context, res);
  if (req.path == "/api/systems") {
    Json::Value out(Json::arrayValue);
    for (const serving::SystemState& state : context.state->Systems())
      out.append(SystemJson(state));
    return SendJson(res, 200, out);
  }
  if (Matches(parts, {"api", "systems", "*"}, m)) {
    const std::optional<serving::SystemState> state = context.state->System(m[1]);
    if (!state) return SendError(res, 404, "no system named " + m[1]);
    return SendJson(res, 200, SystemJson(*state));
  }
  if (Matches(parts, {"api", "systems", "*", "points"}, m)) return Points(context, m[1], res);
  if (Matches(parts, {"api", "systems", "*", "values"}, m)) return Values(context, m[1], res);
  if (Matches(parts, {"api", "systems", "*", "devices", "*", "record"}, m)) {
    return Record(context, req, res);
  }
  if (Matches(parts, {"api", "systems", "*", "devices", "*", "history"}, m)) {
    return History(context, req, res, cancel);
  }
  if (req.path == "/api/vocabulary") return Vocabulary(res);
  if (req.path == "/api/alarms") return Alarms(context, req, res);
  if (req.path == "/api/alarms/events") return AlarmEvents(context, req, res);
  if (req.path == "/metrics") return Metrics(context, res);
  if (req.path == "/") return Asset("index.html", res);
  const std::string assets = "/assets/";
  if (req.path.size() > assets.size() && req.path.compare(0, assets.size(), assets) == 0) {
    return Asset(req.path.substr(assets.size()), res);
  }
  SendError(res, 404, "not found");
}

}  // namespace http_output
