#include "mqtt/payloads.h"

#include <algorithm>
#include <utility>

#include "console/alarm_event_format.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/utf8_text.h"
#include "records/vocabulary.h"
#include "runtime/local_time_text.h"

namespace mqtt {

std::string TopicLevel(const std::string& name) {
  std::string level = utf8_text::ValidUtf8(name);
  for (char& c : level) {
    if (c == '+' || c == '#' || c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      c = '_';
    }
  }
  return level.empty() ? "_" : level;
}

Topics::Topics(std::string prefix, const std::string& site) {
  // The prefix may have levels of its own ("fleet/korvan"), but no wildcards.
  for (char& c : prefix) {
    if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  base_ = (prefix.empty() ? std::string() : prefix + "/") + TopicLevel(site);
}

std::string Topics::System(const std::string& system) const {
  return base_ + "/" + TopicLevel(system);
}
std::string Topics::SiteOnline() const {
  return base_ + "/online";
}
std::string Topics::Online(const std::string& system) const {
  return System(system) + "/online";
}
std::string Topics::Record(const std::string& system, std::uint32_t data_id) const {
  return System(system) + "/device/" + std::to_string(data_id) + "/record";
}
std::string Topics::Alarm(const std::string& system) const {
  return System(system) + "/alarm";
}
std::string Topics::Communication(const std::string& system) const {
  return System(system) + "/communication";
}
std::string Topics::Health(const std::string& system) const {
  return System(system) + "/health";
}

namespace {

Json::Value Header(const std::string& site, const std::string& system, const std::string& time) {
  Json::Value object(Json::objectValue);
  object["site"] = utf8_text::ValidUtf8(site);
  object["system"] = utf8_text::ValidUtf8(system);
  object["time"] = runtime::IsoLocalTime(time);
  return object;
}

std::string EventTime(const runtime::RuntimeEvent& event) {
  return event.time.is_special() ? std::string() : runtime::LocalTimeText(event.time);
}

}  // namespace

std::string OnlinePayload(bool online, const std::string& site, const std::string& system,
                          const std::string& time, const std::string& reason) {
  Json::Value object = Header(site, system, time);
  object["online"] = online;
  if (!reason.empty()) object["reason"] = reason;
  if (system.empty()) object.removeMember("system");
  if (time.empty()) object.removeMember("time");
  return json_text::Line(object);
}

bool DecodeRecord(const runtime::RuntimeEvent& event,
                  const std::vector<vocabulary::Reading>& readings, DecodedRecord& decoded,
                  std::string& error) {
  if (!event.record) {
    error = "no record";
    return false;
  }
  if (!records::Decode(event.device.record_type, event.record->data(), event.record->size(),
                       decoded.record, error)) {
    return false;
  }
  decoded.values = vocabulary::Named(readings);
  return true;
}

int ValueUnit(const runtime::RuntimeEvent& event) {
  // An event that does not carry one counts as the first unit, as
  // runtime::UnitPlace does.
  return std::max(event.unit, 1);
}

std::string RecordPayload(const std::string& site, const runtime::RuntimeEvent& event,
                          std::int64_t seq, DecodedRecord&& decoded) {
  Json::Value object = Header(site, event.system, EventTime(event));
  object["data_id"] = event.device.data_id;
  object["record_type"] = event.device.record_type;
  object["seq"] = Json::Int64(seq);
  object["replayed"] = false;
  object["values"] = vocabulary::ValuesJson(decoded.values);
  object["record"] = std::move(decoded.record);
  return json_text::Line(object);
}

std::string AlarmPayload(const std::string& site, const runtime::RuntimeEvent& event,
                         std::int64_t seq) {
  Json::Value object = Header(site, event.system, event.alarm.time);
  object["event"] = event.alarm.raised ? "raised" : "cleared";
  object["event_id"] = event.alarm.event_id;
  object["data_id"] = event.alarm.data_id;
  object["record_type"] = event.alarm.record_type;
  object["seq"] = Json::Int64(seq);
  object["replayed"] = false;
  object["alarm"] = runtime::ConsoleAlarmJson(event.alarm);
  return json_text::Line(object);
}

std::string CommunicationPayload(const std::string& site, const runtime::RuntimeEvent& event,
                                 std::int64_t seq) {
  Json::Value object = Header(site, event.system, EventTime(event));
  object["event"] = event.ok ? "restored" : "lost";
  object["event_id"] = event.event_id;
  object["text"] = utf8_text::ValidUtf8(event.text);
  object["seq"] = Json::Int64(seq);
  object["replayed"] = false;
  return json_text::Line(object);
}

std::string HealthPayload(const std::string& site, const runtime::RuntimeEvent& event,
                          std::uint64_t dropped, std::uint64_t backlog) {
  const runtime::LineHealth& line = event.line;
  Json::Value object = Header(site, event.system, EventTime(event));
  Json::Value health(Json::objectValue);
  health["port_open"] = line.port_open;
  if (!line.port_error.empty()) health["port_error"] = utf8_text::ValidUtf8(line.port_error);
  health["frames_good"] = Json::UInt64(line.frames_good);
  health["dropped_total"] = Json::UInt64(line.dropped_total);
  health["error_replies"] = Json::UInt64(line.error_replies);
  health["lost_replies"] = Json::UInt64(line.lost_replies);
  health["send_failures"] = Json::UInt64(line.send_failures);
  health["cycles"] = Json::UInt64(line.cycles);
  health["last_cycle"] = runtime::IsoLocalTime(line.last_cycle);
  object["line"] = health;
  Json::Value uplink(Json::objectValue);
  uplink["outbox_dropped"] = Json::UInt64(dropped);
  uplink["backlog"] = Json::UInt64(backlog);
  object["uplink"] = uplink;
  return json_text::Line(object);
}

std::string Replayed(const std::string& payload) {
  Json::Value object;
  std::string error;
  if (!json_text::Parse(payload, false, object, error) || !object.isObject()) return payload;
  object["replayed"] = true;
  return json_text::Line(object);
}

}  // namespace mqtt
