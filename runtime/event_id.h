#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "runtime/alarm_event.h"

namespace runtime {

// Stable ids of alarm and communication events. Delivery to the notify
// command and the broker is at least once: an event sent shortly before a
// crash whose store commit was lost is raised or cleared again after the
// restart. The id is derived only from what survives that restart, so the
// repeat carries the same id and a receiver can drop it.
//
// Every alarm (system, data id, record type, alarm id, text) forms a chain of
// events; each event's id hashes the alarm, the transition and the link of
// the event before it in the chain:
//   raise: the link of the alarm's last clear (empty when it has none);
//   clear: the link of the raise it ends and that raise's time.
// After a restart the chain goes on from the last stored event of each alarm,
// which is what the lost events had followed as well.

// 16 lowercase hex digits: 64-bit FNV-1a over the parts, each ended by a 0x1f.
std::string EventIdHash(std::initializer_list<std::string_view> parts);
// What an event leaves its chain's next event: its id, or for one stored
// without an id, its transition and time.
std::string ChainLink(const AlarmEvent& event);
// The id of `raise`, following the event linked by `previous`.
std::string RaiseEventId(const std::string& system, const AlarmEvent& raise,
                         const std::string& previous);
// The id of `clear`, ending `raise`.
std::string ClearEventId(const std::string& system, const AlarmEvent& clear,
                         const AlarmEvent& raise);
// The id of the communication event (lost or restored) told with the
// communication_lost alarm event `alarm_event_id`.
std::string CommunicationEventId(bool restored, const std::string& alarm_event_id);

}  // namespace runtime
