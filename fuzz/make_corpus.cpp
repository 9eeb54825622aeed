// Writes the seed corpora of the fuzz targets from simulator replies:
//   make_corpus <corpus directory>
// fills <corpus directory>/<target>/ with small well-formed inputs (and a few
// near misses) in each target's input language.

#include <json/value.h>
#include <json/writer.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bus/korvan.h"
#include "bus/polling_steps.h"
#include "fuzz/bus_program.h"
#include "fuzz/checking_controller.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unit_drivers.h"
#include "host/pmbus_frame.h"
#include "host/pmbus_protocol.h"
#include "sim/power_system.h"
#include "sim/replies.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

fs::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes Info(const PowerSystem& system, std::uint8_t group, std::uint8_t command) {
  std::vector<std::uint8_t> info;
  replies::Build(system, group, command, info);
  return info;
}

// The block of the first unit: AC and DC replies carry a flag and a unit
// count before the blocks; the rectifier group takes the whole INFO.
Bytes FirstBlock(const PowerSystem& system, std::uint8_t group, std::uint8_t command) {
  const Bytes info = Info(system, group, command);
  return Bytes(info.begin() + 2, info.end());
}

SystemConfig Config(std::vector<int> ac_channels, int dc_units, int modules) {
  SystemConfig config;
  config.ac_channels = std::move(ac_channels);
  config.dc_units = dc_units;
  config.rectifier_modules = modules;
  return config;
}

// The parse steps of one unit over a cycle of the power system's replies.
struct UnitSeed {
  std::uint8_t kind;
  std::vector<std::pair<int, Bytes>> parses;  // operation, section
};

UnitSeed AcSeed(const PowerSystem& system) {
  return {0,
          {{0, FirstBlock(system, replies::kAc, replies::kAnalog)},
           {1, FirstBlock(system, replies::kAc, replies::kSwitches)},
           {2, FirstBlock(system, replies::kAc, replies::kAlarms)}}};
}

UnitSeed DcSeed(const PowerSystem& system) {
  return {1,
          {{0, FirstBlock(system, replies::kDc, replies::kAnalog)},
           {1, FirstBlock(system, replies::kDc, replies::kAlarms)}}};
}

UnitSeed RcSeed(const PowerSystem& system) {
  return {2,
          {{0, Info(system, replies::kRectifier, replies::kAnalog)},
           {1, Info(system, replies::kRectifier, replies::kSwitches)},
           {2, Info(system, replies::kRectifier, replies::kAlarms)},
           {3, Info(system, replies::kAc, replies::kParameters)},
           {4, Info(system, replies::kDc, replies::kParameters)}}};
}

// Two cycles of the unit's replies with point reads, as unit steps.
void AddCycles(FuzzProgram& program, const UnitDriver& driver, const UnitSeed& seed,
               bool alarms_first) {
  for (int cycle = 0; cycle < 2; ++cycle) {
    if (alarms_first) program.Byte(seed.parses.back().first).Block(seed.parses.back().second);
    for (const auto& [operation, section] : seed.parses) program.Byte(operation).Block(section);
    program.Byte(driver.EndCycleOperation());
    program.Byte(driver.ReadPointOperation()).Byte(static_cast<std::uint8_t>(cycle));
    for (const std::string name : {"channel_0_b", "xchannel_00_c", "channel_0_", "ic_alert"}) {
      program.Byte(driver.ReadPointOperation()).Byte(0x80).Block(Bytes(name.begin(), name.end()));
    }
    program.Byte(driver.AdvanceOperation()).Byte(61);
    program.Byte(driver.ReadPointOperation()).Byte(0);
  }
}

// The record that a unit publishes after one cycle of these replies.
Bytes PublishedRecord(const UnitSeed& seed) {
  auto controller = std::make_shared<CheckingController>();
  std::unique_ptr<UnitDriver> driver = UnitDriver::Make(seed.kind, controller);
  for (const auto& [operation, section] : seed.parses) driver->Parse(operation, section);
  driver->EndCycle();
  return driver->LastRecord();
}

void UnitCorpora() {
  const PowerSystem one(Config({1}, 1, 3));
  const PowerSystem two(Config({2}, 1, 0));
  const PowerSystem many(Config({8}, 1, 12));
  auto controller = std::make_shared<CheckingController>();
  int index = 0;
  for (const PowerSystem* system : {&one, &two, &many}) {
    for (const UnitSeed& seed : {AcSeed(*system), DcSeed(*system), RcSeed(*system)}) {
      std::unique_ptr<UnitDriver> driver = UnitDriver::Make(seed.kind, controller);
      const std::string name = std::to_string(index++);
      for (bool alarms_first : {false, true}) {
        FuzzProgram program;
        program.Byte(seed.kind);
        AddCycles(program, *driver, seed, alarms_first);
        Write("unit_parse", "unit" + name + (alarms_first ? "_open_count" : ""), program.Bytes());
      }

      // The jobs of both cycles held while the next replies arrive.
      {
        FuzzProgram program;
        program.Byte(seed.kind);
        program.Byte(static_cast<std::uint8_t>(driver->HoldJobsOperation())).Byte(1);
        AddCycles(program, *driver, seed, false);
        program.Byte(static_cast<std::uint8_t>(driver->HoldJobsOperation())).Byte(0);
        Write("unit_parse", "unit" + name + "_held_jobs", program.Bytes());
      }

      // Cache: the unit's own record, a truncated one and one whose count
      // byte disagrees, on a fresh unit and after one reply.
      const Bytes record = PublishedRecord(seed);
      Bytes truncated(record.begin(), record.end() - 1);
      Bytes miscounted = record;
      if (seed.kind == 0) miscounted[16] += 1;
      if (seed.kind == 2) miscounted[93] += 1;
      const std::vector<std::pair<std::string, Bytes>> blobs = {
          {"own", record}, {"truncated", truncated}, {"miscounted", miscounted}};
      for (const auto& [kind, blob] : blobs) {
        for (int before : {0, 1}) {
          FuzzProgram program;
          program.Byte(seed.kind).Byte(static_cast<std::uint8_t>(before));
          if (before) program.Byte(seed.parses.front().first).Block(seed.parses.front().second);
          program.Block(blob);
          AddCycles(program, *driver, seed, false);
          Write("cache", "unit" + name + "_" + kind + (before ? "_after_reply" : ""),
                program.Bytes());
        }
      }
    }
  }
}

class RequestLog : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override { requests.push_back(request); }
  std::vector<PMBusRequest> requests;
};

// Two polling cycles of a bus device against a simulated power system, as a
// bus target program; the second cycle sees a rectifier fault and an AC
// under-voltage. With `restore`, the host restores every child from its
// record between the cycles.
void BusCorpus(int ac, int dc, int modules, bool restore) {
  fixed_host::BeginInput();
  PowerSystem system(Config(std::vector<int>(ac, 1), dc, modules));
  FuzzProgram program;
  const std::uint8_t config = bus_program::Config(ac, dc);
  program.Byte(config);

  auto controller = std::make_shared<CheckingController>();
  auto log = std::make_shared<RequestLog>();
  auto bus = std::make_shared<KORVAN>();
  bus->Init(controller, 1, Json::Value());
  bus->AttachTransport(log);
  Json::Value setting(Json::objectValue);
  for (int i = 0; i < ac; ++i) setting["acSetting"][i]["data_id"] = 100 + i;
  for (int i = 0; i < dc; ++i) setting["dcSetting"][i]["data_id"] = 200 + i;
  setting["rcSetting"] = Json::Value(Json::objectValue);
  bus->InitSetting(setting);

  for (int cycle = 0; cycle < 2; ++cycle) {
    program.Byte(bus_program::kRefresh);
    bus->RefreshStatus();
    for (int reply = 0; reply < 16; ++reply) {
      const PMBusRequest request = log->requests.back();
      const Bytes info = Info(system, request.group, request.command);
      if (request.command == replies::kSwitches || request.command == replies::kAlarms) {
        request.command == replies::kSwitches ? system.SwitchStatesSent(request.group)
                                              : system.AlarmStatesSent(request.group);
      }
      program.Byte(bus_program::kReply).Block(info);
      const Bytes record = pmbus_reply::Build(0x20, 1, request.group, 0, info);
      if (bus->DeliverDecodedReply(record.data(), static_cast<unsigned int>(record.size())) == 0) {
        break;
      }
    }
    controller->RunJobs();
    if (restore && cycle == 0) {
      const std::vector<CheckingController::Published> published = controller->TakePublished();
      for (std::size_t child = 0; child < published.size(); ++child) {
        program.Byte(bus_program::kRestore).Byte(static_cast<std::uint8_t>(child));
        program.Block(published[child].bytes);
      }
    }
    program.Byte(bus_program::kAdvance).Byte(3);
    fixed_host::Advance(3);
    if (modules > 0) system.SetRectifierFault(0, true);
    if (ac > 0) system.SetAcUnderVoltage(0, 0, true);
  }
  Write("bus",
        "ac" + std::to_string(ac) + "_dc" + std::to_string(dc) + "_rc" + std::to_string(modules),
        program.Bytes());
}

std::string Frame(const PowerSystem& system, std::uint8_t group, std::uint8_t command,
                  std::uint8_t address, std::uint8_t return_code = 0) {
  pmbus_frame::Frame frame;
  frame.version = 0x20;
  frame.address = address;
  frame.cid1 = group;
  frame.cid2 = return_code;
  frame.info = Info(system, group, command);
  return pmbus_frame::Encode(frame);
}

// An upper-case frame sent with lower-case hex letters, in INFO only or
// everywhere, its check sum taken over the characters as sent (in upper or
// lower case).
std::string InCase(std::string frame, bool info_only, bool upper_checksum) {
  const std::size_t checksum_at = frame.size() - 1 - pmbus_frame::kChecksumCharacters;
  const std::size_t first = info_only ? 1 + pmbus_frame::kHeaderCharacters : 1;
  for (std::size_t i = first; i < checksum_at; ++i) {
    if (frame[i] >= 'A' && frame[i] <= 'F') frame[i] = static_cast<char>(frame[i] - 'A' + 'a');
  }
  const std::uint16_t checksum = pmbus_frame::Checksum(frame.data() + 1, checksum_at - 1);
  const char* digits = upper_checksum ? "0123456789ABCDEF" : "0123456789abcdef";
  for (std::size_t k = 0; k < pmbus_frame::kChecksumCharacters; ++k) {
    frame[checksum_at + k] = digits[(checksum >> (12 - 4 * k)) & 0x0F];
  }
  return frame;
}

void FrameCorpus() {
  const PowerSystem system(Config({1}, 1, 3));
  const std::string analog = Frame(system, replies::kAc, replies::kAnalog, 1);
  const std::string model = Frame(system, replies::kAc, replies::kModel, 1);
  const std::string rectifier = Frame(system, replies::kRectifier, replies::kAnalog, 1);
  const std::string other = Frame(system, replies::kDc, replies::kAnalog, 2);
  std::string lower = analog;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::string lower_sent = InCase(analog, false, false);
  const std::string mixed_case = InCase(rectifier, true, true);
  std::string bad_checksum = rectifier;
  bad_checksum[bad_checksum.size() - 2] = bad_checksum[bad_checksum.size() - 2] == '0' ? '1' : '0';
  const std::string error_reply = Frame(system, replies::kAc, replies::kModel, 1, 0x04);
  const std::vector<std::pair<std::string, std::string>> streams = {
      {"one_reply", analog},
      {"replies", model + analog + rectifier},
      {"noise_between", "\x01\x02" + analog + "zz\r" + other + "\x7E" + rectifier},
      {"lower_case", lower},
      {"bad_checksum", bad_checksum + analog},
      {"cut_short", analog.substr(0, analog.size() / 2) + model},
      {"error_reply", error_reply},
      {"lower_case_sent", lower_sent + model},
      {"mixed_case", model + mixed_case},
  };
  const std::vector<std::vector<std::uint8_t>> chunkings = {
      {0}, {2, 4, 16, 63}, {7, 0, 0, 0, 0, 0, 0, 0}};
  int index = 0;
  for (const auto& [name, stream] : streams) {
    const std::vector<std::uint8_t>& chunking = chunkings[index++ % chunkings.size()];
    Bytes input(chunking.begin(), chunking.end());
    input.insert(input.end(), stream.begin(), stream.end());
    Write("frame", name, input);
  }
}

void ConfigCorpus() {
  const std::vector<std::pair<std::string, std::string>> configs = {
      {"typical", R"({"acSetting":[{"data_id":11,"appSetting":{"diff_v":"5","diff_i":2}}],)"
                  R"("dcSetting":[{"data_id":21,"appSetting":{"diff_v":0.5}}],"rcSetting":{}})"},
      {"two_ac", R"({"acSetting":[{"data_id":11},{"data_id":12}],"dcSetting":[{"data_id":21}],)"
                 R"("rcSetting":{},"address":3,"timeout_ms":1500})"},
      {"same_ids", R"({"acSetting":[{"data_id":5}],"dcSetting":[{"data_id":5}],"rcSetting":{}})"},
      {"no_rc", R"({"acSetting":[{"data_id":1}],"dcSetting":[{"data_id":2}]})"},
      {"not_arrays", R"({"acSetting":{"data_id":1},"dcSetting":7,"rcSetting":[]})"},
      {"bad_elements", R"({"acSetting":[3],"rcSetting":{}})"},
      {"bad_id", R"({"dcSetting":[{"data_id":-4}],"rcSetting":{}})"},
      {"four_dc", R"({"dcSetting":[{"data_id":1},{"data_id":2},{"data_id":3},{"data_id":4}],)"
                  R"("rcSetting":{}})"},
      {"bad_address", R"({"address":300,"rcSetting":{}})"},
      {"not_object", R"([1,2,3])"},
  };
  for (const auto& [name, text] : configs) Write("config", name, Bytes(text.begin(), text.end()));
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The runtime's own parsers: configuration files, replay scripts, hex text,
// records as the decoder and the store take them.
void RuntimeCorpora() {
  const std::vector<std::pair<std::string, std::string>> configs = {
      {"one_system",
       R"({"name":"site-a","port":"/dev/ttyS1","data_id":1,"address":1,)"
       R"("acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}],"rcSetting":{}})"},
      {"systems", R"({"systems":[{"port":"/dev/ttyS1","data_id":1,"rcSetting":{}},)"
                  R"({"name":"b","port":"/dev/ttyS2","device_type":"korvan","data_id":2},)"
                  R"({"name":"","port":"/dev/ttyS3"},{"port":7},3]})"},
      {"no_port", R"({"name":"x","data_id":4})"},
      {"bad_id", R"({"port":"/dev/ttyS1","data_id":-1})"},
      {"empty_list", R"({"systems":[]})"},
      {"not_json", R"({"port":"/dev/ttyS1",)"},
      {"not_object", R"(["port"])"},
      {"name_not_utf8", "{\"name\":\"/dev/\xFF\xFE\xC0yS1\",\"\":{}}"},
  };
  for (const auto& [name, text] : configs) Write("system_config", name, Text(text));

  const std::vector<std::pair<std::string, std::string>> scripts = {
      {"every_step",
       R"({"device_type":"korvan","data_id":1,"start":"2026-12-08 10:00:00","batch_result":true,)"
       R"("config":{"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}],"rcSetting":{}},)"
       R"("steps":[{"do":"refresh"},{"do":"reply","group":"40","info":"11 01 00 00 5C 43",)"
       R"("rtn":"00h","version":32,"address":"01"},{"do":"age","device":"rc","seconds":30},)"
       R"({"do":"read","device":11,"name":"channel_0_a"},)"
       R"({"do":"restore","device":21,"blob":"0b000000"},{"do":"jobs"},)"
       R"({"do":"clock","advance":61},{"do":"clock","time":"2026-12-08 11:00:00.5"},)"
       R"({"do":"lose"}]})"},
      {"bad_step", R"({"config":{},"steps":[{"do":"reply","group":"400"}]})"},
      {"unknown_member", R"({"config":{},"steps":[{"do":"jobs","x":1}]})"},
      {"bad_hex", R"({"config":{},"steps":[{"do":"restore","device":"bus","blob":"4 0"}]})"},
      {"no_config", R"({"steps":[]})"},
  };
  for (const auto& [name, text] : scripts) Write("replay_script", name, Text(text));

  const std::vector<std::pair<std::string, std::string>> hex = {
      {"pairs", "40FF0a"},   {"blanks", " 40 ff\n\t0A\r\n"},
      {"split_pair", "4 0"}, {"odd", "abc"},
      {"not_hex", "4g"},     {"empty", ""},
  };
  for (const auto& [name, text] : hex) Write("hex_text", name, Text(text));

  // Records as the units publish them, and near misses.
  const PowerSystem system(Config({2}, 1, 3));
  const std::vector<std::pair<std::string, Bytes>> records = {
      {"ac", PublishedRecord(AcSeed(system))},
      {"dc", PublishedRecord(DcSeed(system))},
      {"rc", PublishedRecord(RcSeed(system))},
  };
  FuzzProgram store;
  store.Byte(1);  // two history rows kept per device
  std::uint8_t kind = 0;
  for (const auto& [name, record] : records) {
    Bytes decode{kind};
    decode.insert(decode.end(), record.begin(), record.end());
    Write("record_decode", name, decode);
    decode.pop_back();
    Write("record_decode", name + "_short", decode);
    store.Byte(0).Byte(kind).Byte(kind).Block(record);
    for (int row = 0; row < 3; ++row) store.Byte(1).Byte(kind).Byte(kind).Block(record);
    store.Byte(2);
    ++kind;
  }
  Bytes other{3, 0x39, 0x14};  // type 5177
  other.insert(other.end(), records[1].second.begin(), records[1].second.end());
  Write("record_decode", "other_type", other);
  store.Byte(1).Byte(1).Byte(0x40).Block(records[1].second);  // a type no unit has
  store.Byte(0).Byte(3).Byte(0).Block(Bytes(10, 0x20));       // a blob too short
  Write("record_store", "every_unit", store.Bytes());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus <corpus directory>\n");
    return 2;
  }
  root = argv[1];
  fixed_host::BeginInput();
  UnitCorpora();
  for (const auto& [ac, dc, modules] : std::vector<std::tuple<int, int, int>>{
           {1, 1, 3}, {2, 1, 2}, {0, 1, 3}, {1, 0, 1}, {3, 3, 4}, {0, 0, 0}}) {
    BusCorpus(ac, dc, modules, false);
  }
  BusCorpus(2, 1, 3, true);
  FrameCorpus();
  ConfigCorpus();
  RuntimeCorpora();
  return 0;
}
