// The frame layer's decoder on the byte stream of one full polling cycle of
// the measured system: the eleven reply frames back to back, in any chunking.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/system_replies.h"
#include "host/pmbus_frame.h"

namespace {

// Every reply frame of the cycle (and the model reply), as it comes off the line.
std::string CycleStream() {
  static const std::uint8_t kReplies[][2] = {{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44},
                                             {0x41, 0x41}, {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41},
                                             {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};
  const bench_system::Shape shape;
  std::string stream;
  for (const auto& reply : kReplies) {
    pmbus_frame::Frame frame;
    frame.version = 0x20;
    frame.address = 1;
    frame.cid1 = reply[0];
    frame.cid2 = 0;  // RTN
    frame.info = bench_system::ReplyInfo(shape, reply[0], reply[1]);
    stream += pmbus_frame::Encode(frame);
  }
  return stream;
}

// Decodes the stream in chunks of state.range(0) bytes (a serial driver hands
// over what has arrived; 1 is byte by byte).
void BM_FrameDecode(benchmark::State& state) {
  const std::string stream = CycleStream();
  const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
  const std::size_t chunk = static_cast<std::size_t>(state.range(0));
  pmbus_frame::Decoder decoder;
  pmbus_frame::Decoder::Result result;
  std::uint64_t good = 0;
  const alloc_count::Counts allocations = alloc_count::Now();
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const unsigned char* data = bytes + at;
      std::size_t left = std::min(chunk, stream.size() - at);
      while (decoder.Next(data, left, result)) good += result.ok ? 1 : 0;
    }
  }
  if (good != 11 * static_cast<std::uint64_t>(state.iterations())) {
    state.SkipWithError("the decoder did not deliver every frame");
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  state.counters["frames"] = 11;
  // Heap allocations per pass over the stream (the decoder's buffers grow on the first).
  state.counters["allocs"] = static_cast<double>(alloc_count::Since(allocations).total) /
                             static_cast<double>(state.iterations());
  state.counters["stream_bytes"] = static_cast<double>(stream.size());
}

// Encoding the same frames, as the host frames its requests.
void BM_FrameEncode(benchmark::State& state) {
  pmbus_frame::Frame frame;
  frame.version = 0x20;
  frame.address = 1;
  frame.cid1 = 0x41;
  frame.cid2 = 0;
  frame.info = bench_system::RcAnalog(bench_system::Shape());
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string encoded = pmbus_frame::Encode(frame);
    bytes += encoded.size();
    benchmark::DoNotOptimize(encoded.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

}  // namespace

BENCHMARK(BM_FrameDecode)->Arg(1)->Arg(64)->Arg(4096);
BENCHMARK(BM_FrameEncode);
