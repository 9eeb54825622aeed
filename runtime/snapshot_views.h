#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace runtime {

// What the summary reads directly from published records. Records come from
// the plug-in or from the cache, so every read is bounded and a short or
// inconsistent record yields nothing.

// AC unit snapshot, head record:
//   0       4       8       12      16 17 18 19      23 24 25 26            33
//   +-------+-------+-------+-------+--+--+--+-------+--+--+--+-------------+
//   |data_id|ia     |ib     |ic     |n |ac|us|ustate |ia|ib|ic|stamp (7)    |
//   +-------+-------+-------+-------+--+--+--+-------+--+--+--+-------------+
// followed by n channel records of 25 bytes.
std::optional<unsigned int> AcChannelCount(const std::vector<unsigned char>& record);

struct RectifierModule {
  float output_current = 0;  // A
  std::uint8_t on_off = 0;
  std::uint8_t current_limit = 0;
  std::uint8_t charge_mode = 0;
  std::uint8_t fault = 0;  // 1: module fault
};

struct RectifierView {
  float output_voltage = 0;  // V
  std::vector<RectifierModule> modules;
};

// Rectifier group snapshot: the 101-byte system record (output voltage at
// 89, module count M at 93), then M module records of 12 bytes:
//   0         4  5  6  7  8  9  10 11 12
//   +---------+--+--+--+--+--+--+--+--+
//   |current  |ua|on|cl|cm|us|st|ft|ua|
//   +---------+--+--+--+--+--+--+--+--+
// Nothing when the length is not 101 + 12 x M.
std::optional<RectifierView> ReadRectifierSnapshot(const std::vector<unsigned char>& record);

}  // namespace runtime
