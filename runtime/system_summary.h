#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "records/vocabulary.h"
#include "runtime/alarm_event.h"
#include "runtime/snapshot_views.h"

namespace runtime {

// One point read through Get_Value: its value, or the status text the read
// failed with.
struct PointReading {
  std::string name;
  bool ok = false;
  float value = 0;
  std::string status;
};

struct UnitSummary {
  std::uint32_t data_id = 0;
  std::vector<PointReading> points;
};

struct RectifierSummary {
  bool present = false;
  std::uint32_t data_id = 0;
  std::string status;  // what Get_Value answers
  // The record is older than the point reads' 60 seconds: what it shows is
  // no longer the power system's state.
  bool stale = false;
  long long age_seconds = -1;  // since the record was published or restored; -1: none
  bool has_record = false;
  RectifierView record;
};

struct LineHealth {
  bool port_open = false;
  std::string port_error;
  std::uint64_t frames_good = 0;
  std::vector<std::pair<std::string, std::uint64_t>> dropped;  // reasons with a count
  std::uint64_t dropped_total = 0;
  std::uint64_t error_replies = 0;
  std::uint64_t lost_replies = 0;
  std::uint64_t send_failures = 0;
  std::uint64_t early_repeats = 0;  // requests repeated after a damaged reply
  std::uint64_t cycles = 0;
  std::string last_cycle;  // local time; empty before the first
  std::string repeated_request;
  std::uint64_t repeated_times = 0;
  bool repeat_warning = false;
  std::string last_log;
};

// What a person sees of one power system after a cycle.
struct SystemSummary {
  std::string system;
  std::uint32_t data_id = 0;
  std::string time;
  std::string reason;  // "cycle", "restored", "waiting"
  // No cycle completed for the configured time: every value shown is old.
  bool communication_lost = false;
  std::vector<UnitSummary> ac_units;
  std::vector<UnitSummary> dc_units;
  RectifierSummary rectifiers;
  // The system's values by vocabulary name, from the records the runtime
  // holds for its devices (published or restored), then the standard names.
  std::vector<vocabulary::NamedValue> values;
  std::vector<AlarmEvent> alarms;
  LineHealth line;
};

// Readable text, several lines, each ended by a newline.
std::string FormatSummaryText(const SystemSummary& summary);
// One JSON object on one line, without the newline.
std::string FormatSummaryJson(const SystemSummary& summary);

}  // namespace runtime
