#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/kmx_controller.h"
#include "host/kmx_vdevice.h"
#include "runtime/alarm_book.h"
#include "runtime/event_stream.h"
#include "runtime/request_watch.h"

namespace runtime {

// The controller of one power system: takes what its devices hand the host
// and tells the event stream. Published and saved records, log lines and the
// alarm book's raises and clears become events; deferred jobs wait until
// RunJobs. All calls come from the polling thread or from threads that hold
// the power system's lock, so the controller keeps no lock of its own.
class RuntimeController : public KMXController {
 public:
  // `unit_place`: a device's place among its kind (runtime::UnitPlace), for
  // the record events.
  RuntimeController(std::string system, EventStream& events,
                    std::function<int(std::uint32_t)> unit_place = nullptr);

  void OnInfoLog(unsigned int data_id, const std::string& line) override;
  bool OnSendSP(unsigned int data_id, int type, const unsigned char* data, unsigned int length,
                bool delayed) override;
  bool OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                           unsigned int length) override;
  void OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) override;
  bool OnDoBatchCheckThreshold(unsigned int data_id, const std::vector<rule_value>& rules) override;
  void OnReset(unsigned int data_id) override;

  // The bus device: its own pending rules (the model alarm) are processed by
  // RunJobs, and its resets after a published cycle count as completed cycles.
  void BindBus(KMXVDevice* bus) { bus_ = bus; }
  // Runs the queued jobs in order (jobs they queue run too), then the bus
  // device's own rules; reports a completed cycle to the listener.
  void RunJobs();
  void SetCycleListener(std::function<void()> listener) { cycle_listener_ = std::move(listener); }

  // A rule of the host itself about this power system, kept with the bus
  // device's own alarms.
  void ApplyHostRule(const rule_value& rule);
  // Forgets the records of devices that were replaced.
  void ForgetRecords() {
    records_.clear();
    record_times_.clear();
  }

  // Records as last published or restored, for the summary.
  void RememberRecord(const DeviceKey& device, const unsigned char* data, std::size_t length);
  const std::vector<unsigned char>* Record(const DeviceKey& device) const;
  // Seconds since the record of `device` was published or restored; empty
  // when there is none.
  std::optional<long long> RecordAge(const DeviceKey& device) const;

  AlarmBook& Alarms() { return alarms_; }
  const AlarmBook& Alarms() const { return alarms_; }
  const std::shared_ptr<RequestWatch>& Watch() const { return watch_; }
  std::uint64_t Cycles() const { return cycles_; }
  const std::string& LastCycle() const { return last_cycle_; }
  const std::string& LastLog() const { return last_log_; }
  std::size_t QueuedJobs() const { return jobs_.size(); }

  // Log lines from now until TakeCaptured, besides their usual way.
  void StartCapture();
  std::vector<std::string> TakeCaptured();

 private:
  struct Job {
    DeviceKey device;
    std::function<void()> run;
  };

  // The device that calls now: the one whose job runs, else the last one
  // that published under this data id.
  DeviceKey KeyFor(unsigned int data_id) const;
  bool ApplyRules(const DeviceKey& device, const std::vector<rule_value>& rules);
  void PublishRecord(RuntimeEvent::Kind kind, const DeviceKey& device, const unsigned char* data,
                     unsigned int length);

  std::string system_;
  std::function<int(std::uint32_t)> unit_place_;
  EventStream& events_;
  KMXVDevice* bus_ = nullptr;
  std::shared_ptr<RequestWatch> watch_ = std::make_shared<RequestWatch>();
  AlarmBook alarms_;

  std::deque<Job> jobs_;
  std::optional<DeviceKey> running_;
  DeviceKey last_published_;
  std::map<unsigned int, int> last_type_;  // data id → record type of its last record
  std::map<DeviceKey, std::vector<unsigned char>> records_;
  std::map<DeviceKey, std::chrono::steady_clock::time_point> record_times_;

  bool published_since_reset_ = false;
  bool cycle_completed_ = false;
  std::uint64_t cycles_ = 0;
  std::string last_cycle_;
  std::function<void()> cycle_listener_;

  std::string last_log_;
  bool capturing_ = false;
  std::vector<std::string> captured_;
};

}  // namespace runtime
