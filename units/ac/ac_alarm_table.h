#pragma once

// The AC alarm table, as data: one row per alarm. The unit walks
// the channel rows once per channel record (text "交流屏<k+1>" + suffix) and
// then the unit rows once (text: the suffix alone).

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace ac_alarm {

// The alarm-state field that a row watches: a field of the channel record for
// the channel rows, of the head record for the unit rows.
enum class StateField { kA, kB, kC, kF, kIa, kIb, kIc };

// The strings are built once, with the table, and passed to the host as
// they stand.
struct Row {
  std::string id;
  int level;
  std::string code;
  std::string name;
  std::string text;  // the text suffix
  StateField field;
  unsigned char active_when;  // the rule is active when the field equals this value
};

inline constexpr std::size_t kChannelRowCount = 11;  // AC_0 to AC_10
inline constexpr std::size_t kUnitRowCount = 9;      // AC_12 to AC_20

// Passed for every channel, in channel order.
const std::array<Row, kChannelRowCount>& ChannelRows();
// Passed once per unit, after all channels (there is no AC_11).
const std::array<Row, kUnitRowCount>& UnitRows();

// The text prefix of channel `index` (0-based): "交流屏" and index + 1 in decimal.
std::string ChannelTextPrefix(std::size_t index);

// The alarm texts of the channel rows for a number of channels: channel
// prefix and row suffix, built when the number of channels changes and kept
// for the cycles after.
class ChannelTexts {
 public:
  // Builds the texts anew when `channels` differs from the last count.
  void Fit(std::size_t channels);
  // The texts of channel `channel` (0-based), one per channel row, in row order.
  const std::string* Of(std::size_t channel) const { return &texts_[channel * kChannelRowCount]; }

 private:
  std::vector<std::string> texts_;
};

}  // namespace ac_alarm
