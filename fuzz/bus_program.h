#pragma once

#include <cstdint>

// The input language of the bus device target, shared with the corpus
// generator.
//   config byte: AC children = bits 0-1 (0..3), DC children = bits 2-4 mod 5 (0..4)
//   then operations, each an operation byte (mod 8) and its operands:
//     0..3  a reply to the pending step, return code 0: INFO block
//     4     a reply with any group and return code: group, return code, INFO block
//     5     RefreshStatus
//     6     the clock moves on: seconds (one byte)
//     7     what the threshold batches answer: one byte, bit 0
//     8     the host restores a child from a cache blob: child index, blob block
namespace bus_program {

constexpr std::uint8_t kReply = 0;
constexpr std::uint8_t kAnyReply = 4;
constexpr std::uint8_t kRefresh = 5;
constexpr std::uint8_t kAdvance = 6;
constexpr std::uint8_t kBatchResult = 7;
constexpr std::uint8_t kRestore = 8;
constexpr int kOperations = 9;

constexpr std::uint8_t Config(int ac_children, int dc_children) {
  return static_cast<std::uint8_t>((ac_children & 3) | (dc_children % 5) << 2);
}
constexpr int AcChildren(std::uint8_t config) {
  return config & 3;
}
constexpr int DcChildren(std::uint8_t config) {
  return ((config >> 2) & 7) % 5;
}

}  // namespace bus_program
