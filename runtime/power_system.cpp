#include "runtime/power_system.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "host/host_clock.h"
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "host/termios_port.h"
#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "runtime/event_id.h"
#include "runtime/local_time_text.h"
#include "runtime/record_types.h"
#include "runtime/stdout_trace.h"
#include "runtime/thread_name.h"
#include "tools/plugin_loader.h"

namespace runtime {

namespace {

// The point reads' status text of data older than their 60 seconds.
const char* const kStaleStatus = "数据已超时";
constexpr long long kFreshSeconds = 60;

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
  return text;
}

PointReading Read(const KMXVDevice& device, const std::string& name) {
  PointReading point;
  point.name = name;
  try {
    point.value = device.Get_Value(device.DataId(), name);
    point.ok = true;
  } catch (const std::exception& error) {
    point.status = error.what();
  }
  return point;
}

std::string Describe(const KMXVDevice& device, int record_type) {
  return device.DeviceType() + " " + std::to_string(device.DataId()) + " (record type " +
         std::to_string(record_type) + ")";
}

// "2 AC units (data ids 11, 12)", "1 DC unit (data id 21)", "0 DC units".
std::string UnitList(const Json::Value& units, const char* kind) {
  const Json::ArrayIndex count = units.isArray() ? units.size() : 0;
  std::string text = std::to_string(count) + " " + kind + (count == 1 ? " unit" : " units");
  if (count == 0) return text;
  text += count == 1 ? " (data id " : " (data ids ";
  for (Json::ArrayIndex i = 0; i < count; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(units[i]["data_id"].asUInt());
  }
  return text + ")";
}

}  // namespace

std::unique_ptr<PowerSystem> PowerSystem::Create(const SystemConfig& config,
                                                 const ProviderList& providers, EventStream& events,
                                                 PowerSystemOptions options,
                                                 ConfigProblem& problem) {
  problem = ConfigProblem{config.file, config.name, ""};
  std::unique_ptr<PowerSystem> system(new PowerSystem(config, events, options));
  system->providers_ = providers;
  system->bus_ = system->MakeBus(problem.reason);
  if (!system->bus_) return nullptr;
  return system;
}

std::shared_ptr<KMXSPDevice> PowerSystem::MakeBus(std::string& reason) {
  std::shared_ptr<KMXSPDevice> bus = MakeDevice(providers_, config_.device_type);
  if (!bus) {
    reason = "the plug-in has no provider for device type \"" + config_.device_type + "\"";
    return nullptr;
  }
  RuntimeController& controller = *controller_;
  controller.BindBus(bus.get());
  controller.StartCapture();
  bool configured = false;
  try {
    configured = bus->Init(controller_, config_.data_id, config_.settings) &&
                 bus->InitSetting(config_.settings);
  } catch (const std::exception& error) {
    controller.TakeCaptured();
    controller.BindBus(bus_.get());  // the device in service, if any, stays bound
    reason = std::string("the device failed while it was configured: ") + error.what();
    return nullptr;
  }
  const std::vector<std::string> lines = controller.TakeCaptured();
  if (!configured) {
    controller.BindBus(bus_.get());
    reason = "the device refused its configuration";
    if (config_.settings["rcSetting"].isNull()) {
      reason += ": no rcSetting (the rectifier group) given";
    } else if (!lines.empty()) {
      reason += ": " + Join(lines);
    }
    return nullptr;
  }
  if (auto* protocol = dynamic_cast<PMBusProtocol*>(bus.get())) {
    protocol->AttachTransport(controller.Watch());
  }
  return bus;
}

PowerSystem::PowerSystem(SystemConfig config, EventStream& events, PowerSystemOptions options)
    : config_(std::move(config)),
      events_(events),
      options_(options),
      controller_(std::make_shared<RuntimeController>(
          config_.name, events,
          // A table of its own: the controller may outlive this object.
          UnitPlaceLookup(config_))) {
  if (config_.comm_lost_after_s > 0) {
    options_.comm_lost_after =
        std::chrono::milliseconds(static_cast<long long>(config_.comm_lost_after_s * 1000));
  }
}

PowerSystem::~PowerSystem() {
  Stop();
}

std::string PowerSystem::Plan() const {
  // The frame layer's default address when the configuration gives none.
  const Json::Value& address = config_.settings["address"];
  return "polling on " + config_.port + " at " + std::to_string(bus_->BaudRate()) +
         " baud, address " + (address.isNull() ? "1" : std::to_string(address.asUInt())) + ": " +
         UnitList(config_.settings["acSetting"], "AC") + ", " +
         UnitList(config_.settings["dcSetting"], "DC") + ", rectifier group (data id " +
         std::to_string(bus_->DataId()) + ")";
}

bool PowerSystem::OpenPort(ConfigProblem& problem, std::shared_ptr<SerialPort> port) {
  port_ = port ? std::move(port) : std::make_shared<TermiosPort>(config_.port);
  bus_->AttachPort(port_);
  if (!bus_->OpenPort()) {
    problem = ConfigProblem{config_.file, config_.name, bus_->LastPortError()};
    return false;
  }
  driver_ =
      std::make_unique<LineDriver>(bus_, port_, options_.line, [this] { controller_->RunJobs(); });
  return true;
}

int PowerSystem::Restore(CacheSource& store) {
  std::lock_guard<std::mutex> lock(mutex_);
  int restored = 0;
  std::set<std::uint32_t> ids{bus_->DataId()};
  for (const std::shared_ptr<KMXVDevice>& child : bus_->GetAllChildVDevices()) {
    if (!child) continue;
    ids.insert(child->DataId());
    int type = record_types::OfDeviceType(child->DeviceType());
    if (type == record_types::kUnknown) {
      // A device this runtime does not know: its one cached record, if any.
      const std::vector<int> types = store.CacheTypes(child->DataId());
      if (types.size() != 1) continue;
      type = types.front();
    }
    std::optional<std::vector<unsigned char>> blob = store.FindCache(child->DataId(), type);
    if (!blob) continue;
    if (child->LoadFromCache(blob->data(), static_cast<int>(blob->size()))) {
      controller_->RememberRecord(DeviceKey{child->DataId(), type}, blob->data(), blob->size());
      events_.Note(config_.name, "restored " + Describe(*child, type) + " from its cache row (" +
                                     std::to_string(blob->size()) + " bytes)");
      ++restored;
    } else {
      events_.Problem(config_.name, "last run's values of " + Describe(*child, type) +
                                        " not restored: its cache row (" +
                                        std::to_string(blob->size()) +
                                        " bytes) was refused by the device");
    }
  }
  std::vector<AlarmEvent> last;
  for (const AlarmEvent& alarm : store.LastAlarmEvents()) {
    if (ids.count(alarm.data_id) == 0) continue;
    last.push_back(alarm);
    if (!alarm.raised) continue;
    // A host alarm still active from before (communication lost across a
    // restart) is this run's as well: not raised again while it lasts, and
    // its end is told when the first cycle completes.
    const bool own = alarm.data_id == bus_->DataId() && alarm.record_type == 0;
    for (const HostAlarm& host : {host_alarms::kRestartFailed, host_alarms::kCommunicationLost,
                                  host_alarms::kConfigMismatch}) {
      if (own && alarm.id == host.id && !alarm.text.empty()) host_alarms_[alarm.id] = alarm.text;
    }
  }
  controller_->Alarms().Restore(last);
  return restored;
}

void PowerSystem::Start() {
  if (thread_.joinable() || !driver_) return;
  last_progress_ = std::chrono::steady_clock::now();
  stop_.store(false);
  thread_ = std::thread([this] { PollLoop(); });
}

void PowerSystem::Stop() {
  stop_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (driver_) driver_->Wake();
  }
  {
    // Ends a hand-over wait: its predicate is checked under this mutex.
    std::lock_guard<std::mutex> lock(handover_mutex_);
  }
  handover_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (bus_) bus_->ClosePort();
}

void PowerSystem::PollLoop() {
  NameThisThread("poll " + config_.name);
  using Clock = std::chrono::steady_clock;
  // A cycle's records and log lines reach the outputs as one batch, when the
  // cycle completes: one hand-off per output instead of one per event.
  // Everything else goes out at the end of the step that told it, with
  // what was held before it (a cycle's end, its summary and line health:
  // one hand-off). Nothing waits longer than about twice kHoldFor: a step
  // that ends with events held that long, or before a longer sleep,
  // publishes them.
  constexpr auto kHoldFor = std::chrono::seconds(2);
  EventBatch batch(events_, {RuntimeEvent::Kind::kAlarm, RuntimeEvent::Kind::kCommunication,
                             RuntimeEvent::Kind::kCycleCompleted, RuntimeEvent::Kind::kLineHealth,
                             RuntimeEvent::Kind::kSummary, RuntimeEvent::Kind::kDriverRestarted,
                             RuntimeEvent::Kind::kNote, RuntimeEvent::Kind::kProblem});
  batch.UrgentPerStep(true);
  Clock::time_point due = Clock::time_point::min();
  while (!stop_.load()) {
    bool failed = false;
    try {
      // The wait touches no device state (and the driver is replaced only on
      // this thread): readers take the lock meanwhile.
      progress_.SleepUntil(due);
      const bool readable = driver_->Wait(due);
      std::lock_guard<std::mutex> lock(mutex_);
      driver_->Work(readable);
      WatchRefusals();
      WatchCommunication();
      WatchCountMismatch();
      // The driver may have been made anew: its first step is due at once.
      due = std::min(driver_->NextDue(), NextWatch());
    } catch (const std::exception& error) {
      // A device that throws must not end the process; polling goes on.
      events_.Problem(config_.name, std::string("polling step failed: ") + error.what());
      failed = true;
    } catch (...) {
      events_.Problem(config_.name, "polling step failed: an exception of unknown type");
      failed = true;
    }
    if (!batch.Empty()) {
      const Clock::time_point now = Clock::now();
      if (now - batch.Since() >= kHoldFor || (due > now && due - now >= kHoldFor)) batch.Release();
    }
    // The devices' trace lines (standard output, caught by StdoutTrace) go
    // out with the step that wrote them; nothing to do when none did.
    FlushTraceLines();
    TellAttention();
    progress_.Touch();
    batch.EndOfStep();
    if (failed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      due = Clock::time_point::min();
    }
    // Let waiting readers take the lock before the next step does.
    if (readers_waiting_.load() > 0) {
      std::unique_lock<std::mutex> lock(handover_mutex_);
      handover_.wait(lock, [this] { return readers_waiting_.load() == 0 || stop_.load(); });
    }
  }
}

std::chrono::steady_clock::time_point PowerSystem::NextWatch() const {
  auto next = std::chrono::steady_clock::time_point::max();
  if (!HostAlarmActive(host_alarms::kCommunicationLost) && options_.comm_lost_after.count() > 0) {
    next = last_progress_ + options_.comm_lost_after;
  }
  if (next_restart_) next = std::min(next, *next_restart_);
  return next;
}

void PowerSystem::TellAttention() {
  const bool attention = Repeating() || Failing();
  if (attention && !attention_ && attention_listener_) attention_listener_();
  attention_ = attention;
}

void PowerSystem::WatchRefusals() {
  using Clock = std::chrono::steady_clock;
  const std::uint64_t cycles = controller_->Cycles();
  if (cycles != cycles_seen_) {
    // A completed cycle: whatever was refused before is taken now.
    cycles_seen_ = cycles;
    restarted_without_cycle_ = false;
    next_restart_.reset();
    restart_backoff_ = options_.restart_backoff_first;
    last_progress_ = Clock::now();
    for (const HostAlarm& alarm : {host_alarms::kRestartFailed, host_alarms::kConfigMismatch}) {
      if (HostAlarmActive(alarm)) SetHostAlarm(alarm, std::string());
    }
    if (HostAlarmActive(host_alarms::kCommunicationLost)) {
      // Told with the alarm's clear, also when the cycle's end cleared a
      // restored alarm already.
      const std::string clear = SetHostAlarm(host_alarms::kCommunicationLost, std::string());
      PublishCommunication(true, "a polling cycle completed", clear);
    }
    failing_.store(false);
    return;
  }
  if (options_.refusals_before_restart == 0) return;
  const RequestWatch::Refusals refusals = controller_->Watch()->CurrentRefusals();
  // A count that differs from the configuration is the configuration's error.
  if (refusals.times < options_.refusals_before_restart || refusals.count_mismatch) return;

  const Clock::time_point now = Clock::now();
  const std::string& last_log = controller_->LastLog();
  // A unit that refuses a reply without a log line of its own leaves none to quote.
  const std::string detail = "request " + refusals.request + " refused " +
                             std::to_string(refusals.times) + " times in a row" +
                             (last_log.empty() ? "" : " (last log line: " + last_log + ")");
  const std::string why = "the driver does not take the power system's replies: " + detail;
  if (restarted_without_cycle_) {
    if (!next_restart_) {
      if (restart_backoff_.count() == 0) restart_backoff_ = options_.restart_backoff_first;
      next_restart_ = now + restart_backoff_;
      events_.Problem(config_.name,
                      "the driver still does not take the power system's replies after it was "
                      "restarted; next restart in " +
                          std::to_string(restart_backoff_.count() / 1000) + " s: " + detail);
      if (!HostAlarmActive(host_alarms::kRestartFailed)) {
        SetHostAlarm(
            host_alarms::kRestartFailed,
            "request " + refusals.request + " still refused after the driver was restarted");
      }
      restart_backoff_ = std::min(restart_backoff_ * 2, options_.restart_backoff_max);
      return;
    }
    if (now < *next_restart_) return;
    next_restart_.reset();
  }
  RestartDriver(why);
  restarted_without_cycle_ = true;
}

void PowerSystem::RestartDriver(const std::string& why) {
  // The old devices' deferred jobs finish with their own records first.
  controller_->RunJobs();
  std::vector<std::uint32_t> ids{bus_->DataId()};
  for (const std::shared_ptr<KMXVDevice>& child : bus_->GetAllChildVDevices()) {
    if (child) ids.push_back(child->DataId());
  }
  std::string reason;
  std::shared_ptr<KMXSPDevice> fresh = MakeBus(reason);
  if (!fresh) {
    events_.Problem(config_.name, why + "; the driver cannot be restarted: " + reason);
    return;
  }
  if (restart_listener_) restart_listener_();
  // The port stays open and passes to the new device.
  bus_->AttachPort(nullptr);
  bus_ = std::move(fresh);
  controller_->ForgetRecords();
  controller_->Watch()->Clear();
  // Alarms of the old devices last only if the new ones raise them again.
  controller_->Alarms().Unconfirm(ids);
  driver_ =
      std::make_unique<LineDriver>(bus_, port_, options_.line, [this] { controller_->RunJobs(); });
  restarts_.fetch_add(1);
  // The store discards the cache rows of the replaced devices: they hold the
  // old counts, and a restart of the runtime must not restore them.
  RuntimeEvent event;
  event.kind = RuntimeEvent::Kind::kDriverRestarted;
  event.system = config_.name;
  event.time = host_clock::LocalNow();
  event.text = why + "; cache rows discarded, bus device made anew";
  event.data_ids = ids;
  events_.Publish(std::move(event));
}

void PowerSystem::WatchCommunication() {
  if (HostAlarmActive(host_alarms::kCommunicationLost) || options_.comm_lost_after.count() <= 0) {
    return;
  }
  const auto silent = std::chrono::steady_clock::now() - last_progress_;
  if (silent < options_.comm_lost_after) return;
  const std::string text =
      fmt::format("no polling cycle completed for {:g} s",
                  static_cast<double>(options_.comm_lost_after.count()) / 1000);
  const std::string raise = SetHostAlarm(host_alarms::kCommunicationLost, text);
  PublishCommunication(false, text + " (last log line: " + controller_->LastLog() + ")", raise);
  failing_.store(true);
}

void PowerSystem::WatchCountMismatch() {
  // Counted as the repeat warning counts, also when that warning is off.
  const std::uint64_t threshold =
      options_.repeat_warning != 0 ? options_.repeat_warning : PowerSystemOptions().repeat_warning;
  if (HostAlarmActive(host_alarms::kConfigMismatch) || controller_->Watch()->Times() < threshold) {
    return;
  }
  if (!controller_->Watch()->CurrentRefusals().count_mismatch) return;
  // The bus device's own line: "... read dc_number is 1, configured dc_number is 2".
  const std::string& line = controller_->LastLog();
  const std::size_t read = line.find(" read ");
  const std::string counts = read == std::string::npos ? line : line.substr(read + 6);
  SetHostAlarm(host_alarms::kConfigMismatch,
               "the power system reports other unit counts than configured: " + counts);
  failing_.store(true);
}

void PowerSystem::PublishCommunication(bool ok, const std::string& text,
                                       const std::string& alarm_event_id) {
  RuntimeEvent event;
  event.kind = RuntimeEvent::Kind::kCommunication;
  event.system = config_.name;
  event.time = host_clock::LocalNow();
  event.device = DeviceKey{bus_->DataId(), 0};
  event.ok = ok;
  event.text = text;
  event.event_id = CommunicationEventId(ok, alarm_event_id);
  events_.Publish(std::move(event));
}

std::string PowerSystem::SetHostAlarm(const HostAlarm& alarm, const std::string& text) {
  const bool active = !text.empty();
  rule_value rule;
  rule.active = active;
  rule.id = alarm.id;
  rule.code = alarm.code;
  rule.level = alarm.level;
  rule.name = alarm.name;
  if (active) {
    rule.text = text;
    host_alarms_[alarm.id] = text;
  } else {
    auto found = host_alarms_.find(alarm.id);
    if (found == host_alarms_.end()) return std::string();
    rule.text = found->second;
    host_alarms_.erase(found);
  }
  rule.data_id = bus_->DataId();
  controller_->ApplyHostRule(rule);
  return controller_->Alarms().LastEventId(DeviceKey{bus_->DataId(), 0}, rule.id, rule.text);
}

void PowerSystem::WithLock(const std::function<void()>& read) {
  readers_waiting_.fetch_add(1);
  std::lock_guard<std::mutex> lock(mutex_);
  {
    std::lock_guard<std::mutex> handover(handover_mutex_);
    readers_waiting_.fetch_sub(1);
  }
  handover_.notify_all();
  read();
}

void PowerSystem::SetAttentionListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  attention_listener_ = std::move(listener);
}

void PowerSystem::SetCycleListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  controller_->SetCycleListener(std::move(listener));
}

void PowerSystem::SetRestartListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  restart_listener_ = std::move(listener);
}

bool PowerSystem::Repeating() const {
  return options_.repeat_warning != 0 && controller_->Watch()->Times() >= options_.repeat_warning;
}

SystemSummary PowerSystem::Summarize(const std::string& reason) {
  SystemSummary summary;
  WithLock([&] { summary = SummarizeLocked(reason); });
  return summary;
}

SystemSummary PowerSystem::SummarizeLocked(const std::string& reason) {
  SystemSummary summary;
  summary.system = config_.name;
  summary.data_id = bus_->DataId();
  summary.time = LocalTimeText(host_clock::LocalNow());
  summary.reason = reason;

  for (const std::shared_ptr<KMXVDevice>& child : bus_->GetAllChildVDevices()) {
    if (!child) continue;
    const int type = record_types::OfDeviceType(child->DeviceType());
    const DeviceKey key{child->DataId(), type};
    const std::vector<unsigned char>* record = controller_->Record(key);
    Json::Value decoded;
    std::string error;
    if (record && records::Decode(type, record->data(), record->size(), decoded, error)) {
      const std::vector<vocabulary::NamedValue> own =
          vocabulary::ValuesOf(type, UnitPlace(config_, child->DataId()), decoded);
      summary.values.insert(summary.values.end(), own.begin(), own.end());
    }
    if (type == record_types::kAcUnit) {
      UnitSummary unit;
      unit.data_id = child->DataId();
      for (const char* name : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"}) {
        unit.points.push_back(Read(*child, name));
      }
      const unsigned int channels = record ? AcChannelCount(*record).value_or(0) : 0;
      for (unsigned int k = 0; k < channels; ++k) {
        for (const char* field : {"a", "b", "c", "f"}) {
          unit.points.push_back(Read(*child, "channel_" + std::to_string(k) + "_" + field));
        }
      }
      summary.ac_units.push_back(std::move(unit));
    } else if (type == record_types::kDcUnit) {
      UnitSummary unit;
      unit.data_id = child->DataId();
      unit.points.push_back(Read(*child, "v"));
      unit.points.push_back(Read(*child, "i"));
      summary.dc_units.push_back(std::move(unit));
    } else if (type == record_types::kRectifierGroup) {
      RectifierSummary& group = summary.rectifiers;
      group.present = true;
      group.data_id = child->DataId();
      group.status = Read(*child, "output_voltage").status;
      group.age_seconds = controller_->RecordAge(key).value_or(-1);
      group.stale = group.status == kStaleStatus || group.age_seconds > kFreshSeconds;
      if (record) {
        std::optional<RectifierView> view = ReadRectifierSnapshot(*record);
        group.has_record = view.has_value();
        if (view) group.record = std::move(*view);
      }
    }
  }
  const std::vector<vocabulary::NamedValue> standard = vocabulary::StandardValues(summary.values);
  summary.values.insert(summary.values.end(), standard.begin(), standard.end());
  summary.alarms = controller_->Alarms().Active();
  summary.communication_lost = HostAlarmActive(host_alarms::kCommunicationLost);

  summary.line = HealthLocked();
  return summary;
}

LineHealth PowerSystem::Health() {
  LineHealth health;
  WithLock([&] { health = HealthLocked(); });
  return health;
}

LineHealth PowerSystem::HealthLocked() {
  LineHealth line;
  const LineQuality quality = bus_->Quality();
  line.port_open = port_ && port_->IsOpen();
  line.port_error = driver_ ? driver_->LastError() : bus_->LastPortError();
  line.frames_good = quality.frames_good;
  for (std::size_t i = 0; i < pmbus_frame::kDropReasons; ++i) {
    if (quality.dropped[i] == 0) continue;
    line.dropped.emplace_back(pmbus_frame::DropName(static_cast<pmbus_frame::Drop>(i)),
                              quality.dropped[i]);
  }
  line.dropped_total = quality.DroppedTotal();
  line.error_replies = quality.error_replies;
  line.lost_replies = quality.lost_replies;
  line.send_failures = quality.send_failures;
  line.early_repeats = quality.early_repeats;
  line.cycles = controller_->Cycles();
  line.last_cycle = controller_->LastCycle();
  const RequestWatch::Repeat repeat = controller_->Watch()->Current();
  line.repeated_request = repeat.request;
  line.repeated_times = repeat.times;
  line.repeat_warning = options_.repeat_warning != 0 && repeat.times >= options_.repeat_warning;
  line.last_log = controller_->LastLog();
  return line;
}

}  // namespace runtime
