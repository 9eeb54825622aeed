// Fuzz target: InitSetting of the KORVAN bus device with arbitrary JSON.
// Checked:
// - InitSetting never throws;
// - a taken configuration (an object with rcSetting) gives one AC child per
//   element of an acSetting array and one DC child per element of a
//   dcSetting array, in order, with their elements' data ids, then the
//   rectifier group under the bus device's id; GetChildVDevice finds the
//   first AC, then the first DC child of an id, never the group;
// - a refused one leaves no child, except that without rcSetting the AC and
//   DC children stay;
// - a taken configuration that a power system can answer (up to 8 AC units,
//   up to 3 DC units) completes a whole polling cycle of simulator replies
//   without a protocol error, with one record from every child.
//
// Input: JSON text.

#include <json/reader.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/korvan.h"
#include "fuzz/checking_controller.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_check.h"
#include "host/pmbus_protocol.h"
#include "sim/power_system.h"
#include "sim/replies.h"

namespace {

constexpr unsigned int kBusId = 9;
constexpr int kMaxReplies = 16;

class RequestLog : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override { requests.push_back(request); }
  std::vector<PMBusRequest> requests;
};

Json::ArrayIndex Elements(const Json::Value& config, const char* key) {
  const Json::Value& list = config[key];
  return list.isArray() ? list.size() : 0;
}

// The children of a bus device against the lists they were made from.
void CheckChildren(KORVAN& bus, const Json::Value& config, bool with_group) {
  const std::vector<std::shared_ptr<KMXVDevice>> children = bus.GetAllChildVDevices();
  const Json::ArrayIndex ac = Elements(config, "acSetting");
  const Json::ArrayIndex dc = Elements(config, "dcSetting");
  FUZZ_CHECK(children.size() == ac + dc + (with_group ? 1 : 0), "one child per element");
  for (Json::ArrayIndex i = 0; i < ac + dc; ++i) {
    const bool is_ac = i < ac;
    const Json::Value& element = is_ac ? config["acSetting"][i] : config["dcSetting"][i - ac];
    FUZZ_CHECK(children[i]->DeviceType() == (is_ac ? "korvan-ac" : "korvan-dc"),
               "AC children first, then DC children");
    FUZZ_CHECK(children[i]->DataId() == element["data_id"].asUInt(),
               "a child carries its element's data id");
    // The first AC child of an id, else the first DC child.
    Json::ArrayIndex first = i;
    for (Json::ArrayIndex j = 0; j < ac + dc; ++j) {
      if (children[j]->DataId() == children[i]->DataId()) {
        first = j;
        break;
      }
    }
    FUZZ_CHECK(bus.GetChildVDevice(children[i]->DataId()) == children[first],
               "a child is found by its data id");
  }
  if (with_group) {
    FUZZ_CHECK(children.back()->DeviceType() == "korvan-rc" && children.back()->DataId() == kBusId,
               "the rectifier group comes last, under the bus device's id");
  }
}

// Polls one cycle, answering every request as a power system of the
// configured size would.
void PollOneCycle(KORVAN& bus, CheckingController& controller, const RequestLog& log,
                  Json::ArrayIndex ac, Json::ArrayIndex dc) {
  SystemConfig system_config;
  system_config.ac_channels.assign(ac, 1);
  system_config.dc_units = static_cast<int>(dc);
  system_config.rectifier_modules = 2;
  const PowerSystem system(system_config);

  controller.TakePublished();
  FUZZ_CHECK(bus.RefreshStatus(), "a new bus device polls");
  bool ended = false;
  for (int reply = 0; reply < kMaxReplies && !ended; ++reply) {
    const PMBusRequest& request = log.requests.back();
    std::vector<std::uint8_t> info;
    FUZZ_CHECK(replies::Build(system, request.group, request.command, info),
               "every request is one that a power system answers");
    const std::vector<unsigned char> record =
        pmbus_reply::Build(request.version, request.address, request.group, 0, info);
    ended = bus.DeliverDecodedReply(record.data(), static_cast<unsigned int>(record.size())) == 0;
  }
  FUZZ_CHECK(ended, "a cycle of well-formed replies ends");
  FUZZ_CHECK(controller.ProtocolErrorLines() == 0, "well-formed replies raise no protocol error");
  FUZZ_CHECK(controller.TakePublished().size() == ac + dc + 1, "every child publishes once");
  controller.RunJobs();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixed_host::BeginInput();
  Json::Value config;
  {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    if (!reader->parse(text, text + size, &config, nullptr)) return 0;
  }

  auto controller = std::make_shared<CheckingController>();
  auto log = std::make_shared<RequestLog>();
  auto bus = std::make_shared<KORVAN>();
  bus->Init(controller, kBusId, Json::Value());
  bus->AttachTransport(log);
  const bool taken = bus->InitSetting(config);

  if (!taken) {
    if (!bus->GetAllChildVDevices().empty()) {
      FUZZ_CHECK(config.isObject() && config["rcSetting"].isNull(),
                 "a refused configuration leaves children only when it lacks rcSetting");
      CheckChildren(*bus, config, false);
    }
    return 0;
  }
  FUZZ_CHECK(config.isObject(), "only an object is taken");
  CheckChildren(*bus, config, true);
  const Json::ArrayIndex ac = Elements(config, "acSetting");
  const Json::ArrayIndex dc = Elements(config, "dcSetting");
  if (ac <= 8 && dc <= 3) PollOneCycle(*bus, *controller, *log, ac, dc);
  return 0;
}
