#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/alarm_book.h"
#include "runtime/alarm_event.h"
#include "runtime/system_summary.h"

namespace runtime {

// One thing that happened in the runtime. The polling core publishes these on
// its event stream; every output (console, store, notifier, ...) subscribes.
struct RuntimeEvent {
  enum class Kind {
    kRecordPublished,  // `device` published `record` (SendSP): its latest record
    kHistorySaved,     // `device` saved `record` as history (SaveDeviceHistory)
    kAlarm,            // `alarm` was raised or cleared
    kCommunication,    // communication lost (`ok` false) or restored (`ok` true); `text` why
    kCycleCompleted,   // a polling cycle of the system completed
    kLineHealth,       // `line`: the serial line's figures, after each summary
    kSummary,          // `summary`: what a person sees of the system
    kDriverRestarted,  // the bus device was made anew; `text` why, `data_ids` the devices replaced
    kLog,              // a device's log line `text`, logged under `device.data_id`
    kNote,             // `text`: something a person should know that is not an error
    kProblem,          // `text`: something that went wrong but does not stop the system
  };
  static constexpr int kKinds = static_cast<int>(Kind::kProblem) + 1;

  Kind kind = Kind::kNote;
  std::string system;             // empty: the runtime as a whole
  boost::posix_time::ptime time;  // local time when it happened
  DeviceKey device;
  int unit = 0;  // kRecordPublished, kHistorySaved: the device's place among its kind, from 1
  std::shared_ptr<const std::vector<unsigned char>> record;
  AlarmEvent alarm;
  bool ok = false;
  std::string text;
  std::string event_id;  // kCommunication: its stable id (runtime/event_id.h)
  std::vector<std::uint32_t> data_ids;
  std::shared_ptr<const SystemSummary> summary;
  LineHealth line;
  // When the stream took it (EventStream::PublishBatch): an output that
  // takes events in batches still knows how old each one is.
  std::chrono::steady_clock::time_point published{};
};

}  // namespace runtime
