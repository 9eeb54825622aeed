#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "runtime/alarm_book.h"
#include "runtime/alarm_event.h"
#include "runtime/event_stream.h"
#include "runtime/system_summary.h"

namespace serving {

// A device of a power system as the HTTP interface lists it.
struct DeviceEntry {
  std::uint32_t data_id = 0;
  std::string kind;  // "ac", "dc", "rectifiers"
  int record_type = 0;
  int unit = 1;  // its place among the system's units of its kind, from 1
};

// The newest published record of a device.
struct LatestRecord {
  std::shared_ptr<const std::vector<unsigned char>> bytes;
  std::string time;  // local time of the publication
  std::chrono::steady_clock::time_point received;
  int unit = 0;  // the device's place among its kind as the runtime told it; 0: unknown
};

// What the HTTP interface knows of one power system without reading it.
struct SystemState {
  std::string name;
  std::uint32_t data_id = 0;
  std::vector<DeviceEntry> devices;
  std::map<runtime::DeviceKey, LatestRecord> records;
  // Active alarms by (device, id, text).
  std::map<std::tuple<std::uint32_t, int, std::string, std::string>, runtime::AlarmEvent> alarms;
  bool communication_lost = false;
  std::string lost_since;  // local time; empty while communication is up
  runtime::LineHealth line;
  std::string last_cycle;  // local time; empty before the first
  std::optional<std::chrono::steady_clock::time_point> last_cycle_received;
};

// Devices of a summary, in its order: AC units, DC units, rectifier group.
std::vector<DeviceEntry> DevicesOf(const runtime::SystemSummary& summary);

// Subscribes to the runtime's event stream and keeps the latest state of
// every system under its own lock, so that requests never wait for polling.
class LatestState : public runtime::EventSubscriber {
 public:
  // Seeds a system from a summary (taken at start): its devices, its active
  // alarms (also those restored from the store) and its line.
  void Seed(const runtime::SystemSummary& summary);

  void OnEvent(const runtime::RuntimeEvent& event) override;
  bool Wants(runtime::RuntimeEvent::Kind kind) const override;
  // Records and cycles are taken at most once a second, not at every
  // system's every batch (ages count from when each was published); alarms
  // and communication changes at once.
  std::chrono::milliseconds Patience() const override { return std::chrono::seconds(1); }
  bool Prompt(runtime::RuntimeEvent::Kind kind) const override {
    return kind == runtime::RuntimeEvent::Kind::kAlarm ||
           kind == runtime::RuntimeEvent::Kind::kCommunication;
  }

  // A copy of one system's state; empty for an unknown name.
  std::optional<SystemState> System(const std::string& name) const;
  // Every system's state, in the order they were seeded.
  std::vector<SystemState> Systems() const;

 private:
  SystemState* Find(const std::string& name);

  mutable std::mutex mutex_;
  std::vector<SystemState> systems_;
};

}  // namespace serving
