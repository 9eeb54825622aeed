// What a NUT client's LIST VAR of every system costs the server, next to a
// Prometheus scrape of /metrics for the same systems: 16 systems of the
// simulator's default layout (one AC unit with one channel, one DC unit with
// 3 batteries, 3 rectifier modules), time per round and bytes answered.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serving/latest_state.h"
#include "http/metrics_text.h"
#include "nut/nut_protocol.h"
#include "nut/ups_view.h"
#include "records/record_decode.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace {

constexpr int kSystems = 16;

template <typename Value>
void Put(std::vector<unsigned char>& bytes, std::size_t offset, Value value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

serving::SystemState System(int number) {
  serving::SystemState state;
  state.name = "plant-" + std::to_string(number);
  const auto now = std::chrono::steady_clock::now();
  const auto add = [&](std::uint32_t id, const char* kind, int type, std::vector<unsigned char> b) {
    state.devices.push_back({id, kind, type, 1});
    state.records[{id, type}] = {std::make_shared<const std::vector<unsigned char>>(std::move(b)),
                                 "", now};
  };
  std::vector<unsigned char> ac(sizeof(tele_c_korvan_ac) + sizeof(tele_c_korvan_ac_channel), 0);
  ac[offsetof(tele_c_korvan_ac, channel_count)] = 1;
  Put(ac, offsetof(tele_c_korvan_ac, ia), 11.8f);
  Put(ac, sizeof(tele_c_korvan_ac) + offsetof(tele_c_korvan_ac_channel, a), 229.5f);
  add(11, "ac", records::kAcSnapshot, ac);
  std::vector<unsigned char> dc(sizeof(tele_c_korvan_dc), 0);
  Put(dc, offsetof(tele_c_korvan_dc, v), 53.6f);
  dc[offsetof(tele_c_korvan_dc, dc_m)] = 3;
  Put(dc, offsetof(tele_c_korvan_dc, m_value), 2.0f);
  dc[offsetof(tele_c_korvan_dc, p_count)] = 6;
  dc[offsetof(tele_c_korvan_dc, alert_m_count)] = 20;
  dc[offsetof(tele_c_korvan_dc, alert_p_count)] = 11;
  add(21, "dc", records::kDcRecord, dc);
  std::vector<unsigned char> rc(sizeof(tele_c_korvan_rc) + 3 * sizeof(tele_c_korvan_rc_channel), 0);
  rc[offsetof(tele_c_korvan_rc, module_count)] = 3;
  add(100, "rectifiers", records::kRectifierSnapshot, rc);
  return state;
}

class Systems : public nut::UpsSource {
 public:
  Systems() {
    for (int k = 1; k <= kSystems; ++k) states_.push_back(System(k));
  }
  std::vector<std::string> Names() const override {
    std::vector<std::string> names;
    for (const auto& state : states_) names.push_back(state.name);
    return names;
  }
  std::optional<nut::UpsView> Find(const std::string& name, bool fsd) const override {
    for (const auto& state : states_) {
      if (state.name == name) return nut::ViewOf(state, fsd, settings_);
    }
    return std::nullopt;
  }
  const std::vector<serving::SystemState>& States() const { return states_; }

 private:
  std::vector<serving::SystemState> states_;
  nut::UpsSettings settings_{47};
};

// LIST VAR of each of the 16 systems on one connection, as upsc does it.
void BM_NutListVar16(benchmark::State& state) {
  Systems systems;
  nut::ServerShared shared;
  shared.source = &systems;
  nut::Session session(shared, 1, "127.0.0.1", true);
  const std::vector<std::string> names = systems.Names();
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const std::string& name : names) bytes += session.Handle("LIST VAR " + name).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_NutListVar16)->Unit(benchmark::kMicrosecond);

// One GET VAR ups.status, what upsmon asks every poll.
void BM_NutGetStatus(benchmark::State& state) {
  Systems systems;
  nut::ServerShared shared;
  shared.source = &systems;
  nut::Session session(shared, 1, "127.0.0.1", true);
  for (auto _ : state) benchmark::DoNotOptimize(session.Handle("GET VAR plant-7 ups.status"));
}
BENCHMARK(BM_NutGetStatus)->Unit(benchmark::kMicrosecond);

// /metrics of the same 16 systems.
void BM_Metrics16(benchmark::State& state) {
  Systems systems;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = http_output::MetricsText(systems.States());
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Metrics16)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
