#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "runtime/alarm_event.h"

namespace runtime {

// Where the records and alarms of an earlier run are read back at start-up
// (the store implements it).
class CacheSource {
 public:
  virtual ~CacheSource() = default;
  virtual std::optional<std::vector<unsigned char>> FindCache(std::uint32_t data_id,
                                                              int record_type) = 0;
  // Record types with a cache row under `data_id`, in ascending order.
  virtual std::vector<int> CacheTypes(std::uint32_t data_id) = 0;
  // Alarms whose last stored event is a raise, oldest first.
  virtual std::vector<AlarmEvent> ActiveAlarms() = 0;
  // The last stored event (raise or clear) of every alarm, oldest first.
  virtual std::vector<AlarmEvent> LastAlarmEvents() = 0;
};

}  // namespace runtime
