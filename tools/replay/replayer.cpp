#include "tools/replay/replayer.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "host/host_clock.h"
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "runtime/local_time_text.h"
#include "tools/plugin_loader.h"
#include "records/json_text.h"
#include "tools/replay/replay_host.h"

namespace replay {

namespace {

using boost::posix_time::ptime;
using runtime::LocalTimeText;

// Fixes the host clock at a time that only the script moves, and skips the
// reply pause, until destroyed.
class ReplayClock {
 public:
  explicit ReplayClock(ptime start) : now_(start) {
    host_clock::SetClock([this] { return now_; });
    host_clock::SetPause([](unsigned int) {});
  }
  ~ReplayClock() {
    host_clock::SetClock(nullptr);
    host_clock::SetPause(nullptr);
  }
  ReplayClock(const ReplayClock&) = delete;
  ReplayClock& operator=(const ReplayClock&) = delete;

  ptime Now() const { return now_; }
  void Set(ptime time) { now_ = time; }

 private:
  ptime now_;
};

// `time` moved forward by `seconds`, if the result lies within the years
// 1400..9999 that the date library holds (it throws on any other).
std::optional<ptime> Shifted(ptime time, long long seconds) {
  if (time.is_special()) return time;
  try {
    const ptime shifted = time + boost::posix_time::seconds(seconds);
    if (shifted.is_special()) return std::nullopt;
    shifted.date();  // throws outside the years it holds
    return shifted;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

class Replayer {
 public:
  Replayer(const Script& script, std::ostream& out, std::ostream& err,
           const std::atomic<bool>* interrupted)
      : script_(script),
        interrupted_(interrupted),
        err_(err),
        log_(out),
        clock_(script.start),
        controller_(std::make_shared<ReplayController>(log_, script.batch_result)),
        transport_(std::make_shared<ReplayTransport>(log_)) {}

  int Run(const ProviderList& providers) {
    const int set_up = SetUp(providers);
    if (set_up != 0) return set_up;
    for (std::size_t i = 0; i < script_.steps.size(); ++i) {
      if (Interrupted()) {
        err_ << "korvan-host: replay: interrupted before step " << i
             << "; it and the steps after it did not run\n";
        return kInterrupted;
      }
      log_.BeginStep(static_cast<int>(i));
      bool done = false;
      bool failed = false;
      try {
        done = Perform(script_.steps[i]);
      } catch (const std::exception& failure) {
        failed = true;
        problem_ = std::string("the device failed: ") + failure.what();
      }
      log_.EndStep();
      if (failed) {
        err_ << "korvan-host: replay: step " << i << ": " << problem_ << "\n";
        return kDeviceFailed;
      }
      if (!done) {
        err_ << "korvan-host: replay: step " << i << ": " << problem_ << "\n";
        return kScriptError;
      }
    }
    if (Interrupted()) {
      err_ << "korvan-host: replay: interrupted during the last step\n";
      return kInterrupted;
    }
    return 0;
  }

 private:
  int SetUp(const ProviderList& providers) {
    bus_ = MakeDevice(providers, script_.device_type);
    protocol_ = std::dynamic_pointer_cast<PMBusProtocol>(bus_);
    if (!protocol_) {
      err_ << "korvan-host: replay: the plug-in makes no bus device of type \""
           << script_.device_type << "\"\n";
      return kDeviceRefused;
    }
    log_.BeginStep(-1);
    protocol_->AttachTransport(transport_);
    bool configured = false;
    std::string failure;
    try {
      configured = bus_->Init(controller_, script_.data_id, script_.config) &&
                   bus_->InitSetting(script_.config);
    } catch (const std::exception& error) {
      failure = std::string(": ") + error.what();
    }
    log_.Emit(Event("init")
                  .Add("device_type", script_.device_type)
                  .Add("data_id", script_.data_id)
                  .Add("time", LocalTimeText(clock_.Now()))
                  .Add("result", configured));
    log_.EndStep();
    if (!configured) {
      err_ << "korvan-host: replay: the device refused its configuration" << failure << "\n";
      return kDeviceRefused;
    }
    return 0;
  }

  std::shared_ptr<KMXVDevice> Find(const DeviceRef& ref) {
    switch (ref.kind) {
      case DeviceRef::Kind::kBus:
        return bus_;
      case DeviceRef::Kind::kRectifiers:
        for (const std::shared_ptr<KMXVDevice>& child : bus_->GetAllChildVDevices()) {
          if (child && child->DeviceType() == "korvan-rc") return child;
        }
        break;
      case DeviceRef::Kind::kDataId:
        if (std::shared_ptr<KMXVDevice> child = bus_->GetChildVDevice(ref.data_id)) return child;
        break;
    }
    problem_ = "unknown device " + DescribeDevice(ref);
    return nullptr;
  }

  // False when the step cannot be performed (`problem_` says why).
  bool Perform(const Step& step) {
    switch (step.kind) {
      case Step::Kind::kRefresh:
        log_.Emit(Event("refresh").Add("result", bus_->RefreshStatus()));
        return true;
      case Step::Kind::kReply:
        return Reply(step);
      case Step::Kind::kAge: {
        std::shared_ptr<KMXVDevice> device = Find(step.device);
        if (!device) return false;
        const std::optional<ptime> aged = Shifted(device->LastUpdate(), -step.seconds);
        if (!aged) {
          problem_ = "the last-update time would leave the years 1400 to 9999";
          return false;
        }
        device->SetLastUpdate(*aged);
        log_.Emit(Event("age")
                      .Add("data_id", device->DataId())
                      .Add("last_update", LocalTimeText(device->LastUpdate())));
        return true;
      }
      case Step::Kind::kRead:
        return Read(step);
      case Step::Kind::kRestore: {
        std::shared_ptr<KMXVDevice> device = Find(step.device);
        if (!device) return false;
        const bool taken =
            device->LoadFromCache(step.bytes.data(), static_cast<int>(step.bytes.size()));
        log_.Emit(Event("restore")
                      .Add("data_id", device->DataId())
                      .Add("length", static_cast<Json::UInt64>(step.bytes.size()))
                      .Add("result", taken));
        return true;
      }
      case Step::Kind::kJobs: {
        const int ran = controller_->RunJobs();
        log_.Emit(Event("jobs").Add("ran", ran));
        return true;
      }
      case Step::Kind::kClock: {
        const std::optional<ptime> time =
            step.time ? step.time : Shifted(clock_.Now(), step.seconds);
        if (!time) {
          problem_ = "the clock would leave the years 1400 to 9999";
          return false;
        }
        clock_.Set(*time);
        log_.Emit(Event("clock").Add("time", LocalTimeText(clock_.Now())));
        return true;
      }
      case Step::Kind::kLose:
        Lose();
        return true;
    }
    return true;
  }

  bool Reply(const Step& step) {
    const std::vector<unsigned char> record = pmbus_reply::Build(
        step.version.value_or(protocol_->ProtocolVersion()),
        step.address.value_or(protocol_->Address()), step.group, step.return_code, step.bytes);
    const int result =
        protocol_->DeliverDecodedReply(record.data(), static_cast<unsigned int>(record.size()));
    log_.Emit(Event("reply").Add("result", result));
    return true;
  }

  bool Read(const Step& step) {
    std::shared_ptr<KMXVDevice> device = Find(step.device);
    if (!device) return false;
    Event event("value");
    event.Add("data_id", device->DataId()).Add("name", step.name);
    try {
      event.Add("value", json_text::Float(device->Get_Value(device->DataId(), step.name)));
    } catch (const std::exception& failure) {
      event.Add("status", failure.what());
    }
    log_.Emit(event);
    return true;
  }

  // Waits (in real time) until the outstanding request's time-out has run
  // out, so that the next refresh counts its reply as lost.
  void Lose() {
    const bool outstanding = protocol_->IsProcessing();
    const auto limit =
        std::chrono::steady_clock::now() + protocol_->ReplyTimeout() + std::chrono::seconds(1);
    while (protocol_->IsProcessing() && !protocol_->IsStalled() &&
           std::chrono::steady_clock::now() < limit && !Interrupted()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    log_.Emit(Event("lose").Add("outstanding", outstanding));
  }

  bool Interrupted() const { return interrupted_ != nullptr && interrupted_->load(); }

  const Script& script_;
  const std::atomic<bool>* interrupted_;
  std::ostream& err_;
  EventLog log_;
  ReplayClock clock_;
  std::shared_ptr<ReplayController> controller_;
  std::shared_ptr<ReplayTransport> transport_;
  std::shared_ptr<KMXSPDevice> bus_;
  std::shared_ptr<PMBusProtocol> protocol_;
  std::string problem_;
};

}  // namespace

int RunScript(const Script& script, const ProviderList& providers, std::ostream& out,
              std::ostream& err, const std::atomic<bool>* interrupted) {
  Replayer replayer(script, out, err, interrupted);
  return replayer.Run(providers);
}

}  // namespace replay
