// What the uplink pays to compare a record's values with its deadbands: the
// values read from the decoded JSON (records::Decode, then
// vocabulary::ValuesOf) against those read from the packed bytes
// (vocabulary::ReadingsOf), for the large system's records: a rectifier
// snapshot of 50 modules, an AC snapshot of 3 channels, a DC record.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace {

// A record of `type` with `items` channels or modules, floats at 53.5 where
// the layout has them and every count full.
std::vector<unsigned char> Record(int type, int items) {
  std::vector<unsigned char> bytes;
  const float volts = 53.5f;
  const auto put = [&bytes, volts](std::size_t offset) {
    std::memcpy(bytes.data() + offset, &volts, sizeof volts);
  };
  if (type == records::kRectifierSnapshot) {
    using System = tele_c_korvan_rc;
    using Module = tele_c_korvan_rc_channel;
    bytes.assign(sizeof(System) + sizeof(Module) * items, 0);
    bytes[offsetof(System, module_count)] = static_cast<unsigned char>(items);
    bytes[offsetof(System, dc_param_count)] = System::P42_46_NUMBER();
    put(offsetof(System, output_voltage));
    for (int k = 0; k < items; ++k) put(sizeof(System) + sizeof(Module) * k);
  } else if (type == records::kAcSnapshot) {
    using Head = tele_c_korvan_ac;
    using Channel = tele_c_korvan_ac_channel;
    bytes.assign(sizeof(Head) + sizeof(Channel) * items, 0);
    bytes[offsetof(Head, channel_count)] = static_cast<unsigned char>(items);
    for (int k = 0; k < items; ++k) put(sizeof(Head) + sizeof(Channel) * k);
  } else {
    using Dc = tele_c_korvan_dc;
    bytes.assign(sizeof(Dc), 0);
    bytes[offsetof(Dc, dc_m)] = Dc::M_SIZE();
    bytes[offsetof(Dc, p_count)] = Dc::P_SIZE();
    bytes[offsetof(Dc, alert_m_count)] = Dc::ALERT_M_SIZE();
    bytes[offsetof(Dc, alert_p_count)] = Dc::ALERT_P_SIZE();
    put(offsetof(Dc, v));
  }
  return bytes;
}

void FromJson(benchmark::State& state, int type, int items) {
  const std::vector<unsigned char> bytes = Record(type, items);
  std::size_t values = 0;
  for (auto _ : state) {
    Json::Value record;
    std::string error;
    records::Decode(type, bytes.data(), bytes.size(), record, error);
    values = vocabulary::ValuesOf(type, 1, record).size();
    benchmark::DoNotOptimize(values);
  }
  state.counters["values"] = static_cast<double>(values);
}

void FromBytes(benchmark::State& state, int type, int items) {
  const std::vector<unsigned char> bytes = Record(type, items);
  std::vector<vocabulary::Reading> readings;
  for (auto _ : state) {
    vocabulary::ReadingsOf(type, 1, bytes.data(), bytes.size(), readings);
    benchmark::DoNotOptimize(readings.data());
  }
  state.counters["values"] = static_cast<double>(readings.size());
}

BENCHMARK_CAPTURE(FromJson, rectifier_50, records::kRectifierSnapshot, 50);
BENCHMARK_CAPTURE(FromBytes, rectifier_50, records::kRectifierSnapshot, 50);
BENCHMARK_CAPTURE(FromJson, ac_3, records::kAcSnapshot, 3);
BENCHMARK_CAPTURE(FromBytes, ac_3, records::kAcSnapshot, 3);
BENCHMARK_CAPTURE(FromJson, dc, records::kDcRecord, 0);
BENCHMARK_CAPTURE(FromBytes, dc, records::kDcRecord, 0);

}  // namespace

BENCHMARK_MAIN();
