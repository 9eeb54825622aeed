#include "runtime/event_id.h"

#include <cstdint>

namespace runtime {

std::string EventIdHash(std::initializer_list<std::string_view> parts) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto add = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  };
  for (std::string_view part : parts) {
    for (char c : part) add(static_cast<unsigned char>(c));
    add(0x1f);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string id(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) id[static_cast<std::size_t>(i)] = kHex[hash & 0xf];
  return id;
}

std::string ChainLink(const AlarmEvent& event) {
  if (!event.event_id.empty()) return event.event_id;
  return (event.raised ? "raised@" : "cleared@") + event.time;
}

namespace {

std::string AlarmIdHash(const std::string& system, const AlarmEvent& event,
                        std::string_view transition, std::string_view link, std::string_view time) {
  const std::string data_id = std::to_string(event.data_id);
  const std::string record_type = std::to_string(event.record_type);
  return EventIdHash(
      {"alarm", system, data_id, record_type, event.id, event.text, transition, link, time});
}

}  // namespace

std::string RaiseEventId(const std::string& system, const AlarmEvent& raise,
                         const std::string& previous) {
  return AlarmIdHash(system, raise, "raised", previous, "");
}

std::string ClearEventId(const std::string& system, const AlarmEvent& clear,
                         const AlarmEvent& raise) {
  return AlarmIdHash(system, clear, "cleared", ChainLink(raise), raise.time);
}

std::string CommunicationEventId(bool restored, const std::string& alarm_event_id) {
  return EventIdHash({"communication", restored ? "restored" : "lost", alarm_event_id});
}

}  // namespace runtime
