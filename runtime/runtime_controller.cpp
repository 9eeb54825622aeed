#include "runtime/runtime_controller.h"

#include <exception>

#include "host/host_clock.h"
#include "runtime/local_time_text.h"

namespace runtime {

RuntimeController::RuntimeController(std::string system, EventStream& events,
                                     std::function<int(std::uint32_t)> unit_place)
    : system_(std::move(system)),
      unit_place_(std::move(unit_place)),
      events_(events),
      alarms_(system_) {}

void RuntimeController::OnInfoLog(unsigned int data_id, const std::string& line) {
  last_log_ = line;
  // The bus device's count checks against its configuration.
  if (line.find(" read ac_number is ") != std::string::npos ||
      line.find(" read dc_number is ") != std::string::npos) {
    watch_->NoteCountMismatch();
  }
  if (capturing_) captured_.push_back(line);
  events_.Log(system_, data_id, line);
}

bool RuntimeController::OnSendSP(unsigned int data_id, int type, const unsigned char* data,
                                 unsigned int length, bool) {
  const DeviceKey device{data_id, type};
  last_published_ = device;
  last_type_[data_id] = type;
  published_since_reset_ = true;
  RememberRecord(device, data, length);
  PublishRecord(RuntimeEvent::Kind::kRecordPublished, device, data, length);
  return true;
}

bool RuntimeController::OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                                            unsigned int length) {
  PublishRecord(RuntimeEvent::Kind::kHistorySaved, KeyFor(data_id), data, length);
  return true;
}

void RuntimeController::OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) {
  // A unit publishes its record right before it hands over its job, so the
  // job belongs to the last record published under its data id.
  DeviceKey device = last_published_.data_id == data_id ? last_published_ : KeyFor(data_id);
  jobs_.push_back(Job{device, std::move(job)});
}

bool RuntimeController::OnDoBatchCheckThreshold(unsigned int data_id,
                                                const std::vector<rule_value>& rules) {
  return ApplyRules(KeyFor(data_id), rules);
}

void RuntimeController::OnReset(unsigned int data_id) {
  if (bus_ == nullptr || data_id != bus_->DataId()) return;
  // The bus device resets itself after every exchange that ends a cycle; the
  // cycle completed when its units published their records first.
  if (published_since_reset_) cycle_completed_ = true;
  published_since_reset_ = false;
}

void RuntimeController::RunJobs() {
  while (!jobs_.empty()) {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    running_ = job.device;
    try {
      job.run();
    } catch (const std::exception& error) {
      events_.Problem(system_, std::string("a device's deferred job failed: ") + error.what());
    }
    running_.reset();
  }
  if (bus_ != nullptr && !bus_->PendingRules().empty()) {
    ApplyRules(DeviceKey{bus_->DataId(), 0}, bus_->TakePendingRules());
  }
  if (cycle_completed_) {
    cycle_completed_ = false;
    // Restored alarms that no device named again in this cycle are over.
    if (alarms_.HasUnconfirmed()) {
      for (const AlarmEvent& event :
           alarms_.ClearUnconfirmed(LocalTimeText(host_clock::LocalNow()))) {
        events_.Alarm(system_, event);
      }
    }
    ++cycles_;
    last_cycle_ = LocalTimeText(host_clock::LocalNow());
    watch_->CycleCompleted();
    RuntimeEvent event;
    event.kind = RuntimeEvent::Kind::kCycleCompleted;
    event.system = system_;
    event.time = host_clock::LocalNow();
    events_.Publish(std::move(event));
    if (cycle_listener_) cycle_listener_();
  }
}

void RuntimeController::ApplyHostRule(const rule_value& rule) {
  ApplyRules(DeviceKey{bus_ != nullptr ? bus_->DataId() : rule.data_id, 0}, {rule});
}

void RuntimeController::RememberRecord(const DeviceKey& device, const unsigned char* data,
                                       std::size_t length) {
  // Assigned in place: a record of unchanged length reuses its buffer.
  records_[device].assign(data, data + length);
  record_times_[device] = std::chrono::steady_clock::now();
  last_type_.emplace(device.data_id, device.record_type);
}

std::optional<long long> RuntimeController::RecordAge(const DeviceKey& device) const {
  auto found = record_times_.find(device);
  if (found == record_times_.end()) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                          found->second)
      .count();
}

const std::vector<unsigned char>* RuntimeController::Record(const DeviceKey& device) const {
  auto found = records_.find(device);
  return found == records_.end() ? nullptr : &found->second;
}

void RuntimeController::StartCapture() {
  capturing_ = true;
  captured_.clear();
}

std::vector<std::string> RuntimeController::TakeCaptured() {
  capturing_ = false;
  return std::move(captured_);
}

DeviceKey RuntimeController::KeyFor(unsigned int data_id) const {
  if (running_ && running_->data_id == data_id) return *running_;
  auto found = last_type_.find(data_id);
  return DeviceKey{data_id, found == last_type_.end() ? 0 : found->second};
}

bool RuntimeController::ApplyRules(const DeviceKey& device, const std::vector<rule_value>& rules) {
  const std::vector<AlarmEvent> changes =
      alarms_.Apply(device, rules, [] { return LocalTimeText(host_clock::LocalNow()); });
  for (const AlarmEvent& event : changes) events_.Alarm(system_, event);
  return !changes.empty();
}

void RuntimeController::PublishRecord(RuntimeEvent::Kind kind, const DeviceKey& device,
                                      const unsigned char* data, unsigned int length) {
  RuntimeEvent event;
  event.kind = kind;
  event.system = system_;
  event.time = host_clock::LocalNow();
  event.device = device;
  event.unit = unit_place_ ? unit_place_(device.data_id) : 1;
  event.record = std::make_shared<const std::vector<unsigned char>>(data, data + length);
  events_.Publish(std::move(event));
}

}  // namespace runtime
