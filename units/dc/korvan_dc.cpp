#include "units/dc/korvan_dc.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::size_t kAlertP = offsetof(tele_c_korvan_dc, alert_p);

// One row per user-defined alarm state, in state order. The battery voltage
// rows carry the specific text as their name and a generic text, as the
// monitoring centre expects them.
using KorvanRows = std::array<DcAlarmRow, tele_c_korvan_dc::ALERT_P_SIZE()>;

const KorvanRows& KorvanAlarmRows() {
  static const KorvanRows rows = {{
      {2, "KORVAN_DC_0", "06079", "一级低压脱离告警", "第一级低压脱离开关动作，其后的负载被断电",
       kAlertP + 0, 0xF0},
      {2, "KORVAN_DC_1", "06080", "二级低压脱离告警", "第二级低压脱离开关动作，其后的负载被断电",
       kAlertP + 1, 0xF1},
      {2, "KORVAN_DC_2", "06007", "负载熔丝故障告警", "负载熔丝1故障告警", kAlertP + 2, 3},
      {2, "KORVAN_DC_3", "06029", "电池1电压低", "其他告警", kAlertP + 3, 1},
      {2, "KORVAN_DC_4", "06003", "电池温度过高告警", "电池1温度高", kAlertP + 4, 2},
      {2, "KORVAN_DC_5", "06007", "负载熔丝故障告警", "负载熔丝2故障告警", kAlertP + 5, 3},
      {2, "KORVAN_DC_6", "06001", "电池2电压低", "其他告警", kAlertP + 6, 1},
      {2, "KORVAN_DC_7", "06003", "电池温度过高告警", "电池2温度高", kAlertP + 7, 2},
      {2, "KORVAN_DC_8", "06007", "负载熔丝故障告警", "负载熔丝3故障告警", kAlertP + 8, 3},
      {2, "KORVAN_DC_9", "06001", "电池3电压低", "其他告警", kAlertP + 9, 1},
      {2, "KORVAN_DC_10", "06003", "电池温度过高告警", "电池3温度高", kAlertP + 10, 2},
  }};
  return rows;
}

}  // namespace

KORVAN_DC::KORVAN_DC() : KORVAN_DC(std::string()) {}

KORVAN_DC::KORVAN_DC(const std::string& model) : PMBusPowerDC(model) {
  device_type_ = "korvan-dc";
}

// The rows hold only when the reply announced exactly the eleven states.
void KORVAN_DC::DoImpCheckAlert() {
  if (RecordByte(offsetof(tele_c_korvan_dc, alert_p_count)) != tele_c_korvan_dc::ALERT_P_SIZE()) {
    return;
  }
  CheckRows(KorvanAlarmRows());
}
