// Fuzz target: the KORVAN bus device as a whole. A configuration chosen from
// the input (0 to 3 AC units, 0 to 4 DC units, the rectifier group), then
// RefreshStatus calls and decoded replies whose group code and INFO come
// from the input, through whole polling cycles with RoundDone and the
// deferred jobs. Checked after every step:
// - a reply is answered with 0 or 1 and leaves the polling step a known one;
// - a reply of the wrong group or with an error code sends nothing, ends no
//   cycle and keeps the step;
// - every request sent is the one of the step now pending, with its INFO;
// - a cycle ends with exactly one record from every child, in list order,
//   each of its type's length (CheckingController), and the step back at 0;
// - the children keep their channel and module counts once fixed, until a
//   restore from the host's cache sets new ones (between replies, as the
//   host may);
// - every float in a child's record is the one encoded in the reply that it
//   came from, at the place that the reply layouts and the dispatch give it
//   (a no-data marker stored as the unit's value for it): a reply that the
//   bus device takes stores every float it carries, a refused one some of
//   them, and nothing else moves; a cycle publishes each child's record as
//   it stands;
// - the model alarm is raised at most once and the model check, once done,
//   stays done.
//
// Input: see bus_program.h.

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/korvan.h"
#include "bus/polling_steps.h"
#include "fuzz/bus_program.h"
#include "fuzz/checking_controller.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/reply_floats.h"
#include "host/pmbus_protocol.h"

namespace {

constexpr unsigned int kBusId = 1;
constexpr int kMaxSteps = 4000;

class RequestLog : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override { requests.push_back(request); }
  std::vector<PMBusRequest> requests;
};

bool KnownStep(std::int32_t step) {
  return polling::FindStepRequest(step) != nullptr;
}

class BusRun {
 public:
  explicit BusRun(std::uint8_t config)
      : controller_(std::make_shared<CheckingController>()),
        log_(std::make_shared<RequestLog>()),
        bus_(std::make_shared<KORVAN>()) {
    Json::Value setting(Json::objectValue);
    setting["acSetting"] = Json::Value(Json::arrayValue);
    setting["dcSetting"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < bus_program::AcChildren(config); ++i) {
      setting["acSetting"][i]["data_id"] = 100 + i;
    }
    for (int i = 0; i < bus_program::DcChildren(config); ++i) {
      setting["dcSetting"][i]["data_id"] = 200 + i;
    }
    setting["rcSetting"] = Json::Value(Json::objectValue);
    bus_->Init(controller_, kBusId, Json::Value());
    bus_->AttachTransport(log_);
    FUZZ_CHECK(bus_->InitSetting(setting), "a well-formed configuration is taken");
    for (const auto& child : bus_->GetAllChildVDevices()) {
      if (auto ac = std::dynamic_pointer_cast<KORVAN_AC>(child)) ac_.push_back({ac, 0});
      if (auto dc = std::dynamic_pointer_cast<KORVAN_DC>(child)) dc_.push_back(dc);
      if (auto rc = std::dynamic_pointer_cast<KORVAN_RC>(child)) rc_ = {rc, 0};
    }
    FUZZ_CHECK(static_cast<int>(ac_.size()) == bus_program::AcChildren(config) &&
                   static_cast<int>(dc_.size()) == bus_program::DcChildren(config) && rc_.unit,
               "one child per configured unit");
  }

  void Step(FuzzInput& input) {
    switch (input.Byte() % bus_program::kOperations) {
      case bus_program::kAnyReply: {
        const std::uint8_t group = input.Byte();
        const std::uint8_t return_code = input.Byte();
        Reply(group, return_code, input.Block());
        break;
      }
      case bus_program::kRefresh:
        Refresh();
        break;
      case bus_program::kAdvance:
        fixed_host::Advance(input.Byte());
        break;
      case bus_program::kBatchResult:
        controller_->SetBatchResult(input.Byte() & 1);
        break;
      case bus_program::kRestore: {
        const std::uint8_t child = input.Byte();
        Restore(child, input.Block());
        break;
      }
      default:
        Reply(polling::FindStepRequest(bus_->PollingStep())->group, 0, input.Block());
        break;
    }
    CheckChildren();
    CheckModel();
  }

 private:
  template <typename Unit>
  struct Counted {
    std::shared_ptr<Unit> unit;
    std::size_t fixed;  // 0 while the count is open
  };

  void Refresh() {
    const std::size_t sent = log_->requests.size();
    if (bus_->RefreshStatus()) {
      FUZZ_CHECK(log_->requests.size() == sent + 1, "a poll sends one request");
      CheckRequest(log_->requests.back());
    } else {
      FUZZ_CHECK(log_->requests.size() == sent, "a declined poll sends nothing");
    }
  }

  // A taken blob sets the child's count anew; a refused one changes nothing
  // (checked in depth by the cache target).
  void Restore(std::uint8_t choice, const std::vector<unsigned char>& blob) {
    const std::vector<std::shared_ptr<KMXVDevice>> children = bus_->GetAllChildVDevices();
    const std::shared_ptr<KMXVDevice>& child = children[choice % children.size()];
    const bool taken =
        child->LoadFromCache(blob.empty() ? nullptr : blob.data(), static_cast<int>(blob.size()));
    if (!taken) return;
    for (auto& ac : ac_) {
      if (ac.unit == child) ac.fixed = ac.unit->channels().size();
    }
    if (rc_.unit == child) rc_.fixed = rc_.unit->Channels().size();
  }

  void Reply(std::uint8_t group, std::uint8_t return_code, const std::vector<unsigned char>& info) {
    const std::int32_t step = bus_->PollingStep();
    const std::size_t sent = log_->requests.size();
    const Records before = TakeRecords();
    controller_->TakePublished();
    const std::vector<unsigned char> record = pmbus_reply::Build(0x20, 1, group, return_code, info);
    const int result =
        bus_->DeliverDecodedReply(record.data(), static_cast<unsigned int>(record.size()));
    const std::vector<CheckingController::Published> published = controller_->TakePublished();
    FUZZ_CHECK(result == 0 || result == 1, "a reply is answered with 0 or 1");
    FUZZ_CHECK(KnownStep(bus_->PollingStep()), "the polling step is a known one");
    const bool delivered = return_code == 0 && group == polling::FindStepRequest(step)->group;
    CheckFloats(delivered ? step : kNoStep, info,
                log_->requests.size() != sent || !published.empty(), before);

    const bool wrong_group = group != polling::FindStepRequest(step)->group;
    if (return_code != 0 || wrong_group) {
      FUZZ_CHECK(bus_->PollingStep() == step && log_->requests.size() == sent && published.empty(),
                 "a reply of another group or with an error code keeps the step");
      FUZZ_CHECK(result == (return_code == 0 && step == polling::kAcAnalog ? 0 : 1),
                 "only a wrong group in the AC analog step resets the device");
    }
    if (!published.empty()) {
      CheckCycleEnd(published);
      FUZZ_CHECK(result == 0 && bus_->PollingStep() == polling::kAcAnalog,
                 "a cycle ends with 0 and starts over");
      controller_->RunJobs();
    } else if (result == 0) {
      FUZZ_CHECK(step == polling::kAcAnalog && bus_->PollingStep() == step,
                 "without a cycle end only the AC analog step resets the device");
    } else if (log_->requests.size() != sent) {
      FUZZ_CHECK(log_->requests.size() == sent + 1, "an accepted reply sends one request");
      CheckRequest(log_->requests.back());
    } else {
      FUZZ_CHECK(bus_->PollingStep() == step, "a dropped reply keeps the step");
    }
  }

  struct Records {
    std::vector<reply_floats::Bytes> ac;
    std::vector<reply_floats::Bytes> dc;
    reply_floats::Bytes rc;
  };
  static constexpr std::int32_t kNoStep = -100;  // a reply that no step takes

  Records TakeRecords() const {
    Records records;
    for (const auto& ac : ac_) records.ac.push_back(reply_floats::Record(*ac.unit));
    for (const auto& dc : dc_) records.dc.push_back(reply_floats::Record(*dc));
    records.rc = reply_floats::Record(*rc_.unit);
    return records;
  }

  // The walks of the children's blocks, one after the other from `start`, as
  // far as each block lies whole within INFO; `complete` when all do.
  template <typename WalkOf>
  static std::vector<reply_floats::Walk> Chain(std::size_t children,
                                               const std::vector<unsigned char>& info,
                                               std::size_t start, WalkOf walk_of, bool& complete) {
    std::vector<reply_floats::Walk> walks(children);
    std::size_t at = start;
    complete = true;
    for (std::size_t k = 0; k < children; ++k) {
      if (at > info.size()) {
        complete = false;
        break;
      }
      walks[k] = walk_of(k, info.data() + at, info.size() - at);
      if (!walks[k].complete) {
        complete = false;
        break;
      }
      at += walks[k].end;
    }
    return walks;
  }

  // The children's floats against the reply that `step` handed them (kNoStep:
  // none); `moved_on` when the bus device took the reply.
  void CheckFloats(std::int32_t step, const std::vector<unsigned char>& info, bool moved_on,
                   const Records& before) const {
    std::vector<reply_floats::Walk> ac(ac_.size());
    std::vector<reply_floats::Walk> dc(dc_.size());
    reply_floats::Walk rc;
    bool ac_taken = false;
    bool dc_taken = false;
    bool rc_taken = false;
    const std::size_t modules =
        (before.rc.size() - sizeof(tele_c_korvan_rc)) / sizeof(tele_c_korvan_rc_channel);
    bool complete = false;
    switch (step) {
      case polling::kAcAnalog:
        if (info.size() >= 2 && info[1] == ac_.size()) {
          ac = Chain(
              ac_.size(), info, 2,
              [&](std::size_t k, const unsigned char* data, std::size_t size) {
                const std::size_t channels = (before.ac[k].size() - sizeof(tele_c_korvan_ac)) /
                                             sizeof(tele_c_korvan_ac_channel);
                return reply_floats::AcAnalog(data, size, channels);
              },
              complete);
          ac_taken = moved_on;
        }
        break;
      case polling::kDcAnalog:
        if (info.size() >= 2 && info[1] == dc_.size()) {
          dc = Chain(
              dc_.size(), info, info[1] <= 3 ? 2 : 1,
              [](std::size_t, const unsigned char* data, std::size_t size) {
                return reply_floats::DcAnalog(data, size);
              },
              complete);
          dc_taken = moved_on && complete;
        }
        break;
      case polling::kRcAnalog:
        rc = reply_floats::RcAnalog(info.data(), info.size(), modules);
        rc_taken = moved_on;
        break;
      case polling::kAcParameters:
        rc = reply_floats::RcAcParameters(info.data(), info.size());
        rc_taken = moved_on;
        break;
      case polling::kDcParameters:
        rc = reply_floats::RcDcParameters(info.data(), info.size());
        rc_taken = moved_on;
        break;
      default:
        break;
    }
    for (std::size_t k = 0; k < ac_.size(); ++k) {
      reply_floats::Check(reply_floats::Kind::kAc, before.ac[k], reply_floats::Record(*ac_[k].unit),
                          ac[k], ac_taken);
    }
    for (std::size_t k = 0; k < dc_.size(); ++k) {
      reply_floats::Check(reply_floats::Kind::kDc, before.dc[k], reply_floats::Record(*dc_[k]),
                          dc[k], dc_taken);
    }
    reply_floats::Check(reply_floats::Kind::kRc, before.rc, reply_floats::Record(*rc_.unit), rc,
                        rc_taken);
  }

  // The request must be the one that the pending step asks for.
  void CheckRequest(const PMBusRequest& request) const {
    const polling::StepRequest* expected = polling::FindStepRequest(bus_->PollingStep());
    FUZZ_CHECK(expected != nullptr && request.group == expected->group &&
                   request.command == expected->command,
               "the request is the pending step's");
    const bool with_info = expected->info == polling::InfoField::kCommandGroup;
    FUZZ_CHECK(with_info ? request.info == std::vector<std::uint8_t>{0xFF} : request.info.empty(),
               "the request carries its step's INFO");
    FUZZ_CHECK(request.address == 1 && request.version == 0x20, "the request is addressed");
  }

  // One record per child, AC units first, then DC units, then the group.
  void CheckCycleEnd(const std::vector<CheckingController::Published>& published) const {
    FUZZ_CHECK(published.size() == ac_.size() + dc_.size() + 1, "every child publishes once");
    std::size_t at = 0;
    for (const auto& ac : ac_) {
      FUZZ_CHECK(published[at].type == 5209 && published[at].data_id == ac.unit->DataId(),
                 "AC records come first, in list order");
      FUZZ_CHECK(published[at].bytes == reply_floats::Record(*ac.unit),
                 "a child publishes its record as it stands");
      ++at;
    }
    for (const auto& dc : dc_) {
      FUZZ_CHECK(published[at].type == 5210 && published[at].data_id == dc->DataId(),
                 "DC records follow, in list order");
      FUZZ_CHECK(published[at].bytes == reply_floats::Record(*dc),
                 "a child publishes its record as it stands");
      ++at;
    }
    FUZZ_CHECK(published[at].type == 5211 && published[at].data_id == kBusId,
               "the rectifier group's record comes last, under the bus device's id");
    FUZZ_CHECK(published[at].bytes == reply_floats::Record(*rc_.unit),
               "a child publishes its record as it stands");
    FUZZ_CHECK(bus_->DataReady(), "a completed cycle makes the bus device's data ready");
    for (const auto& child : bus_->GetAllChildVDevices()) {
      FUZZ_CHECK(child->DataReady(), "a completed cycle makes every child's data ready");
    }
  }

  template <typename Unit, typename Count>
  static void CheckCount(Counted<Unit>& child, std::size_t modules, Count count_byte) {
    FUZZ_CHECK(count_byte == modules, "a child's count byte equals its number of records");
    if (child.fixed != 0) {
      FUZZ_CHECK(modules == child.fixed, "a child's count stays once fixed");
    } else {
      child.fixed = modules;
    }
  }

  void CheckChildren() {
    for (auto& ac : ac_) CheckCount(ac, ac.unit->channels().size(), ac.unit->tele().channel_count);
    CheckCount(rc_, rc_.unit->Channels().size(), rc_.unit->Tele().module_count);
  }

  void CheckModel() {
    std::size_t alarms = 0;
    for (const rule_value& rule : bus_->PendingRules()) {
      if (rule.id != "device_model") continue;
      ++alarms;
      FUZZ_CHECK(rule.text == "本驱动类型:korvan 检测型号:" + bus_->DetectedModel(),
                 "the model alarm names the detected model");
    }
    FUZZ_CHECK(alarms <= 1, "the model alarm is raised at most once");
    FUZZ_CHECK(bus_->DetectedModel().size() <= 20, "the model is at most its field's width");
    if (!bus_->ModelCheckPending()) model_checked_ = true;
    FUZZ_CHECK(!model_checked_ || !bus_->ModelCheckPending(), "the model check is done once");
  }

  std::shared_ptr<CheckingController> controller_;
  std::shared_ptr<RequestLog> log_;
  std::shared_ptr<KORVAN> bus_;
  std::vector<Counted<KORVAN_AC>> ac_;
  std::vector<std::shared_ptr<KORVAN_DC>> dc_;
  Counted<KORVAN_RC> rc_{nullptr, 0};
  bool model_checked_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixed_host::BeginInput();
  FuzzInput input(data, size);
  BusRun run(input.Byte());
  for (int step = 0; step < kMaxSteps && !input.Empty(); ++step) run.Step(input);
  return 0;
}
