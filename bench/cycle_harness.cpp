#include "bench/cycle_harness.h"

#include <dlfcn.h>
#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/host_clock.h"
#include "host/plugin_entry.h"
#include "host/provider.h"

namespace bench_cycle {
namespace {

constexpr unsigned int kBusId = 1000;

// The plug-in stays loaded for the life of the process: devices made from it
// may outlive any one harness.
GetProvidersFunction LoadPlugin(std::string& error) {
  static void* handle = nullptr;
  if (handle == nullptr) handle = dlopen(KORVAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = std::string("cannot load ") + KORVAN_PLUGIN_PATH + ": " + (reason ? reason : "?");
    return nullptr;
  }
  auto entry = reinterpret_cast<GetProvidersFunction>(dlsym(handle, kGetProvidersSymbol));
  if (entry == nullptr) error = "the plug-in has no get_providers";
  return entry;
}

Json::Value Configuration(const bench_system::Shape& shape) {
  Json::Value config(Json::objectValue);
  config["acSetting"] = Json::Value(Json::arrayValue);
  config["dcSetting"] = Json::Value(Json::arrayValue);
  for (int unit = 0; unit < shape.ac_units; ++unit) {
    Json::Value element(Json::objectValue);
    element["data_id"] = 100 + unit;
    config["acSetting"].append(element);
  }
  for (int unit = 0; unit < shape.dc_units; ++unit) {
    Json::Value element(Json::objectValue);
    element["data_id"] = 200 + unit;
    config["dcSetting"].append(element);
  }
  config["rcSetting"] = Json::Value(Json::objectValue);
  return config;
}

}  // namespace

boost::posix_time::ptime& HarnessNow() {
  static boost::posix_time::ptime now = boost::posix_time::time_from_string("2026-12-08 10:00:00");
  return now;
}

void NullController::RunJobs() {
  // A job may hand over another; index, as the list can grow meanwhile.
  for (std::size_t i = 0; i < jobs_.size(); ++i) jobs_[i]();
  jobs_.clear();
}

CycleHarness::CycleHarness(const bench_system::Shape& shape)
    : shape_(shape),
      controller_(std::make_shared<NullController>()),
      transport_(std::make_shared<NullTransport>()) {
  host_clock::SetClock([] { return HarnessNow(); });
  host_clock::SetPause([](unsigned int) {});

  static const std::uint8_t kRequests[][2] = {
      {0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
      {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};
  for (const auto& request : kRequests) {
    const bench_system::Bytes info = bench_system::ReplyInfo(shape_, request[0], request[1]);
    replies_.push_back({request[0], request[1], pmbus_reply::Build(0x20, 1, request[0], 0, info)});
  }

  GetProvidersFunction get_providers = LoadPlugin(error_);
  if (get_providers == nullptr) return;
  const ProviderList providers = get_providers();
  auto factory =
      providers.empty() ? nullptr : std::dynamic_pointer_cast<KMXSPDeviceProvider>(providers[0]);
  if (!factory) {
    Fail("the plug-in's first provider makes no serial device");
    return;
  }
  device_.reset(factory->create());
  bus_ = dynamic_cast<PMBusProtocol*>(device_.get());
  if (bus_ == nullptr || device_->DeviceType() != "korvan") {
    Fail("the plug-in's first provider does not make the bus device");
    return;
  }
  device_->Init(controller_, kBusId, Json::Value());
  bus_->AttachTransport(transport_);
  if (!device_->InitSetting(Configuration(shape_))) {
    Fail("the bus device refused its configuration");
    return;
  }
  // The first exchange of a device's life is the model query.
  if (!device_->RefreshStatus() || transport_->command != 0x51) {
    Fail("the bus device did not ask for its model");
    return;
  }
  // The model reply goes straight on to the first cycle.
  if (AnswerUntilCycleEnds()) controller_->RunJobs();
}

CycleHarness::~CycleHarness() {
  // The devices go before the clock hooks they use.
  device_.reset();
  controller_->RunJobs();
  host_clock::SetClock(nullptr);
  host_clock::SetPause(nullptr);
}

const CycleHarness::Reply* CycleHarness::ReplyTo(std::uint8_t group, std::uint8_t command) const {
  for (const Reply& reply : replies_) {
    if (reply.group == group && reply.command == command) return &reply;
  }
  return nullptr;
}

bool CycleHarness::Deliver(const Reply& reply, int& result) {
  const std::uint64_t requests_before = transport_->requests;
  result = bus_->DeliverDecodedReply(reply.record.data(),
                                     static_cast<unsigned int>(reply.record.size()));
  ++last_.replies;
  last_.characters += bench_system::FrameCharacters(reply.record.size() - pmbus_reply::kInfoOffset);
  if (result == 1 && transport_->requests == requests_before) {
    return Fail("the reply to " + std::to_string(reply.group) + "/" +
                std::to_string(reply.command) + " was refused");
  }
  return result >= 0 || Fail("a reply record was malformed");
}

bool CycleHarness::AnswerUntilCycleEnds() {
  int result = 1;
  for (int guard = 0; result == 1 && guard < 32; ++guard) {
    const Reply* reply = ReplyTo(transport_->group, transport_->command);
    if (reply == nullptr) return Fail("a request without a prepared reply");
    if (!Deliver(*reply, result)) return false;
  }
  return result == 0 || Fail("the cycle did not end");
}

bool CycleHarness::RunCycle() {
  if (bus_ == nullptr || !error_.empty()) return false;
  HarnessNow() += boost::posix_time::seconds(3);
  last_ = CycleFigures();
  controller_->Clear();
  const std::uint64_t requests_before = transport_->requests;
  const std::uint64_t characters_before = transport_->characters;

  if (!device_->RefreshStatus()) return Fail("the bus device declined to poll");
  if (!AnswerUntilCycleEnds()) return false;
  controller_->RunJobs();

  last_.requests = transport_->requests - requests_before;
  last_.characters += transport_->characters - characters_before;
  const std::uint64_t children = shape_.ac_units + shape_.dc_units + 1;
  if (controller_->records != children || controller_->batches != children ||
      controller_->history != children || controller_->log_lines != 0) {
    return Fail("the children did not publish, batch and save once each without a log line");
  }
  return true;
}

bool CycleHarness::Fail(std::string error) {
  if (error_.empty()) error_ = std::move(error);
  return false;
}

}  // namespace bench_cycle
