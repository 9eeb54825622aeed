#include "units/ac/ac_alarm_table.h"

#include <boost/lexical_cast.hpp>

namespace ac_alarm {

const std::array<Row, kChannelRowCount>& ChannelRows() {
  static const std::array<Row, kChannelRowCount> rows = {{
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
  }};
  return rows;
}

const std::array<Row, kUnitRowCount>& UnitRows() {
  static const std::array<Row, kUnitRowCount> rows = {{
      {"AC_12", 3, "06029", "A相输入电流低于下限", "其他告警", StateField::kIa, 1},
      {"AC_13", 3, "06029", "B相输入电流低于下限", "其他告警", StateField::kIb, 1},
      {"AC_14", 3, "06029", "C相输入电流低于下限", "其他告警", StateField::kIc, 1},
      {"AC_15", 3, "06029", "A相输入电流高于上限", "其他告警", StateField::kIa, 2},
      {"AC_16", 3, "06029", "B相输入电流高于上限", "其他告警", StateField::kIb, 2},
      {"AC_17", 3, "06029", "C相输入电流高于上限", "其他告警", StateField::kIc, 2},
      {"AC_18", 3, "06029", "A相输入电流缺项", "其他告警", StateField::kIa, 3},
      {"AC_19", 3, "06029", "B相输入电流缺项", "其他告警", StateField::kIb, 3},
      {"AC_20", 3, "06029", "C相输入电流缺项", "其他告警", StateField::kIc, 3},
  }};
  return rows;
}

std::string ChannelTextPrefix(std::size_t index) {
  return "交流屏" + boost::lexical_cast<std::string>(index + 1);
}

void ChannelTexts::Fit(std::size_t channels) {
  if (texts_.size() == channels * kChannelRowCount) return;
  texts_.clear();
  texts_.reserve(channels * kChannelRowCount);
  for (std::size_t k = 0; k < channels; ++k) {
    const std::string prefix = ChannelTextPrefix(k);
    for (const Row& row : ChannelRows()) texts_.push_back(prefix + row.text);
  }
}

}  // namespace ac_alarm
