#pragma once

#include <array>
#include <boost/lexical_cast.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

// One alarm rule of a DC unit, as data: the rule is active when the record
// byte at `offset` holds `state`.
struct DcAlarmRow {
  int level;
  std::string id;
  std::string code;
  std::string name;
  std::string text;
  std::size_t offset;
  std::uint8_t state;
};

// Output voltage rows, evaluated every cycle.
template <typename TeleDC>
const std::array<DcAlarmRow, 2>& DcVoltageAlarmRows() {
  static const std::array<DcAlarmRow, 2> rows = {{
      {3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", offsetof(TeleDC, dc_state), 1},
      {3, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警", offsetof(TeleDC, dc_state), 2},
  }};
  return rows;
}

// Battery fuse rows, one per M alarm state ("直流1…" to "直流20…" for 20
// states); the capacity is fixed, so the texts are built once.
template <typename TeleDC>
const std::array<DcAlarmRow, TeleDC::ALERT_M_SIZE()>& DcBatteryFuseAlarmRows() {
  static const std::array<DcAlarmRow, TeleDC::ALERT_M_SIZE()> rows = [] {
    std::array<DcAlarmRow, TeleDC::ALERT_M_SIZE()> built;
    for (std::size_t n = 1; n <= built.size(); ++n) {
      built[n - 1] = {1,
                      "DC_3",
                      "06001",
                      "电池熔丝故障告警",
                      "直流" + boost::lexical_cast<std::string>(n) + "电池熔丝故障告警",
                      offsetof(TeleDC, alert_m) + n - 1,
                      3};
    }
    return built;
  }();
  return rows;
}
