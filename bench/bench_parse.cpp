// Each parse operation of the units on a typical block or reply of the
// measured system (3 channels per AC unit, 50 rectifier modules).
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/system_replies.h"
#include "units/ac/korvan_ac.h"
#include "units/dc/korvan_dc.h"
#include "units/rc/korvan_rc.h"

namespace {

using bench_system::Bytes;

// Runs `parse` on `input` once per iteration; the result must be the whole input.
template <class Unit, class Parse>
void RunParse(benchmark::State& state, Unit& unit, Parse parse, const Bytes& input) {
  const int size = static_cast<int>(input.size());
  if ((unit.*parse)(input.data(), size) != size) {
    state.SkipWithError("the parse operation did not take its block");
    return;
  }
  for (auto _ : state) {
    const int consumed = (unit.*parse)(input.data(), size);
    benchmark::DoNotOptimize(consumed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

const bench_system::Shape kShape;

// The rectifier group with its module count fixed by a first analog reply.
std::shared_ptr<KORVAN_RC> Rectifiers() {
  auto rc = std::make_shared<KORVAN_RC>();
  const Bytes analog = bench_system::RcAnalog(kShape);
  rc->parse41_41(analog.data(), static_cast<int>(analog.size()));
  return rc;
}

void BM_Parse40_41(benchmark::State& state) {
  KORVAN_AC ac;
  RunParse(state, ac, &KORVAN_AC::parse40_41, bench_system::AcAnalogBlock(kShape, 0));
}

void BM_Parse40_43(benchmark::State& state) {
  KORVAN_AC ac;
  RunParse(state, ac, &KORVAN_AC::parse40_43, bench_system::AcSwitchBlock());
}

void BM_Parse40_44(benchmark::State& state) {
  KORVAN_AC ac;
  const Bytes analog = bench_system::AcAnalogBlock(kShape, 0);
  ac.parse40_41(analog.data(), static_cast<int>(analog.size()));  // fixes the channel count
  RunParse(state, ac, &KORVAN_AC::parse40_44, bench_system::AcAlarmBlock(kShape, 0));
}

void BM_Parse42_41(benchmark::State& state) {
  KORVAN_DC dc;
  RunParse(state, dc, &KORVAN_DC::parse42_41, bench_system::DcAnalogBlock(0));
}

void BM_Parse42_44(benchmark::State& state) {
  KORVAN_DC dc;
  RunParse(state, dc, &KORVAN_DC::parse42_44, bench_system::DcAlarmBlock(0));
}

void BM_Parse41_41(benchmark::State& state) {
  auto rc = Rectifiers();
  RunParse(state, *rc, &KORVAN_RC::parse41_41, bench_system::RcAnalog(kShape));
}

void BM_Parse41_43(benchmark::State& state) {
  auto rc = Rectifiers();
  RunParse(state, *rc, &KORVAN_RC::parse41_43, bench_system::RcSwitch(kShape));
}

void BM_Parse41_44(benchmark::State& state) {
  auto rc = Rectifiers();
  RunParse(state, *rc, &KORVAN_RC::parse41_44, bench_system::RcAlarm(kShape));
}

void BM_Parse40_46(benchmark::State& state) {
  auto rc = Rectifiers();
  RunParse(state, *rc, &KORVAN_RC::parse40_46, bench_system::AcParameters());
}

void BM_Parse42_46(benchmark::State& state) {
  auto rc = Rectifiers();
  RunParse(state, *rc, &KORVAN_RC::parse42_46, bench_system::DcParameters());
}

}  // namespace

BENCHMARK(BM_Parse40_41);
BENCHMARK(BM_Parse40_43);
BENCHMARK(BM_Parse40_44);
BENCHMARK(BM_Parse42_41);
BENCHMARK(BM_Parse42_44);
BENCHMARK(BM_Parse41_41);
BENCHMARK(BM_Parse41_43);
BENCHMARK(BM_Parse41_44);
BENCHMARK(BM_Parse40_46);
BENCHMARK(BM_Parse42_46);
