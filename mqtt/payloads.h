#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

#include "records/vocabulary.h"
#include "runtime/event.h"

namespace mqtt {

// The uplink's topics: PREFIX/SITE/SYSTEM/..., each level with the
// characters MQTT gives a meaning (+ # /) and control characters as "_".
class Topics {
 public:
  Topics(std::string prefix, const std::string& site);
  std::string SiteOnline() const;  // PREFIX/SITE/online: the client's will
  std::string Online(const std::string& system) const;
  std::string Record(const std::string& system, std::uint32_t data_id) const;
  std::string Alarm(const std::string& system) const;
  std::string Communication(const std::string& system) const;
  std::string Health(const std::string& system) const;

 private:
  std::string System(const std::string& system) const;
  std::string base_;  // PREFIX/SITE
};

// One topic level: MQTT's wildcards and separator, NUL and control
// characters replaced by "_"; an empty name becomes "_".
std::string TopicLevel(const std::string& name);

// The JSON payloads, one line each. `time`: a local time as stored
// ("YYYY-MM-DD HH:MM:SS"), written in ISO 8601 with its UTC offset.
// The online state: "reason" says why a state is false ("stopped": a clean
// end; "connection lost": the last will); no "time" when `time` is empty
// (the will, set before any connection).
std::string OnlinePayload(bool online, const std::string& site, const std::string& system,
                          const std::string& time, const std::string& reason = "");
// A published record decoded, and its values by the vocabulary's names.
struct DecodedRecord {
  Json::Value record;
  std::vector<vocabulary::NamedValue> values;
};
// False with `error` when the event's record does not decode. `readings`:
// the record's values, read from its bytes (vocabulary::ReadingsOf).
bool DecodeRecord(const runtime::RuntimeEvent& event,
                  const std::vector<vocabulary::Reading>& readings, DecodedRecord& decoded,
                  std::string& error);
// The unit number that names the values of the event's record: the unit's
// place among its kind.
int ValueUnit(const runtime::RuntimeEvent& event);
// Takes the decoded record over rather than copy its tree.
std::string RecordPayload(const std::string& site, const runtime::RuntimeEvent& event,
                          std::int64_t seq, DecodedRecord&& decoded);
std::string AlarmPayload(const std::string& site, const runtime::RuntimeEvent& event,
                         std::int64_t seq);
std::string CommunicationPayload(const std::string& site, const runtime::RuntimeEvent& event,
                                 std::int64_t seq);
// `dropped`: messages dropped from the full outbox; `backlog`: messages waiting.
std::string HealthPayload(const std::string& site, const runtime::RuntimeEvent& event,
                          std::uint64_t dropped, std::uint64_t backlog);
// A stored payload with "replayed": true; unchanged when it is not a JSON object.
std::string Replayed(const std::string& payload);

}  // namespace mqtt
