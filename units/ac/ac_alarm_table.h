#pragma once

// The AC alarm table, as data: one row per alarm. The unit walks
// the channel rows once per channel record (text "交流屏<k+1>" + suffix) and
// then the unit rows once (text: the suffix alone).

#include <cstddef>
#include <string>

namespace ac_alarm {

// The alarm-state field that a row watches: a field of the channel record for
// the channel rows, of the head record for the unit rows.
enum class StateField { kA, kB, kC, kF, kIa, kIb, kIc };

struct Row {
  const char* id;
  int level;
  const char* code;
  const char* name;
  const char* text;  // the text suffix
  StateField field;
  unsigned char active_when;  // the rule is active when the field equals this value
};

// Passed for every channel, in channel order (AC_0 to AC_10).
inline constexpr Row kChannelRows[] = {
    {"AC_0", 3, "06015", "交流输入电压过低告警", "输入线/相电压AB/A", StateField::kA, 1},
    {"AC_1", 3, "06015", "交流输入电压过低告警", "输入线/相电压BC/B", StateField::kB, 1},
    {"AC_2", 3, "06015", "交流输入电压过低告警", "输入线/相电压CA/C", StateField::kC, 1},
    {"AC_3", 3, "06019", "交流输入频率过低告警", "频率", StateField::kF, 1},
    {"AC_4", 2, "06014", "交流输入电压过高告警", "输入线/相电压AB/A", StateField::kA, 2},
    {"AC_5", 2, "06014", "交流输入电压过高告警", "输入线/相电压BC/B", StateField::kB, 2},
    {"AC_6", 2, "06014", "交流输入电压过高告警", "输入线/相电压CA/C", StateField::kC, 2},
    {"AC_7", 2, "06018", "交流输入频率过高告警", "频率", StateField::kF, 2},
    {"AC_8", 2, "06017", "交流输入缺相告警", "输入线/相电压AB/A", StateField::kA, 3},
    {"AC_9", 2, "06017", "交流输入缺相告警", "输入线/相电压BC/B", StateField::kB, 3},
    {"AC_10", 2, "06017", "交流输入缺相告警", "输入线/相电压CA/C", StateField::kC, 3},
};

// Passed once per unit, after all channels (AC_12 to AC_20; there is no AC_11).
inline constexpr Row kUnitRows[] = {
    {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警", StateField::kIa, 1},
    {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警", StateField::kIb, 1},
    {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警", StateField::kIc, 1},
    {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警", StateField::kIa, 2},
    {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警", StateField::kIb, 2},
    {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警", StateField::kIc, 2},
    {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警", StateField::kIa, 3},
    {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警", StateField::kIb, 3},
    {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警", StateField::kIc, 3},
};

inline constexpr std::size_t kChannelRowCount = sizeof(kChannelRows) / sizeof(kChannelRows[0]);
inline constexpr std::size_t kUnitRowCount = sizeof(kUnitRows) / sizeof(kUnitRows[0]);
static_assert(kChannelRowCount == 11 && kUnitRowCount == 9, "AC_0..AC_10 and AC_12..AC_20");

// The text prefix of channel `index` (0-based): "交流屏" and index + 1 in decimal.
std::string ChannelTextPrefix(std::size_t index);

}  // namespace ac_alarm
