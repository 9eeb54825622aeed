#include "records/record_layout.h"

#include <cstdint>
#include <cstring>

#include "records/record_decode.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace records {

namespace {

using AcHead = tele_c_korvan_ac;
using AcChannel = tele_c_korvan_ac_channel;
using DcRecord = tele_c_korvan_dc;
using RcSystem = tele_c_korvan_rc;
using RcModule = tele_c_korvan_rc_channel;

constexpr FieldType kU8 = FieldType::kU8;
constexpr FieldType kU32 = FieldType::kU32;
constexpr FieldType kF32 = FieldType::kF32;

Field List(const char* name, std::size_t offset, FieldType type, std::size_t count) {
  return Field{name, offset, type, true, count};
}

Layout AcLayout() {
  Layout l;
  l.type = kAcSnapshot;
  l.head_size = sizeof(AcHead);
  l.head = {
      {"data_id", offsetof(AcHead, data_id), kU32},
      {"ia", offsetof(AcHead, ia), kF32},
      {"ib", offsetof(AcHead, ib), kF32},
      {"ic", offsetof(AcHead, ic), kF32},
      {"channel_count", offsetof(AcHead, channel_count), kU8},
      {"airlock_count", offsetof(AcHead, airlock_count), kU8},
      List("airlock_state", offsetof(AcHead, airlock_state), kU8, AcHead::AIRLOCK_MAX()),
      {"user_state_count", offsetof(AcHead, user_state_count), kU8},
      List("user_state", offsetof(AcHead, user_state), kU8, AcHead::P40_43_SIZE()),
      {"ia_alert", offsetof(AcHead, ia_alert), kU8},
      {"ib_alert", offsetof(AcHead, ib_alert), kU8},
      {"ic_alert", offsetof(AcHead, ic_alert), kU8},
      {"stamp", offsetof(AcHead, stamp), FieldType::kStamp},
  };
  l.list = "channels";
  l.list_count_offset = offsetof(AcHead, channel_count);
  l.item_size = sizeof(AcChannel);
  l.item = {
      {"a", offsetof(AcChannel, a), kF32},
      {"b", offsetof(AcChannel, b), kF32},
      {"c", offsetof(AcChannel, c), kF32},
      {"f", offsetof(AcChannel, f), kF32},
      {"user_analog_count", offsetof(AcChannel, user_analog_count), kU8},
      List("user_analog", offsetof(AcChannel, user_analog), kF32, AcChannel::P40_41_SIZE()),
      {"a_alert", offsetof(AcChannel, a_alert), kU8},
      {"b_alert", offsetof(AcChannel, b_alert), kU8},
      {"c_alert", offsetof(AcChannel, c_alert), kU8},
      {"f_alert", offsetof(AcChannel, f_alert), kU8},
      {"user_alert_count", offsetof(AcChannel, user_alert_count), kU8},
      List("user_alert", offsetof(AcChannel, user_alert), kU8, AcChannel::p40_44_SIZE()),
  };
  l.what = "an AC snapshot (type 5209)";
  l.head_name = "head record";
  l.announcer = "its head";
  l.letter = "n";
  return l;
}

Layout DcLayout() {
  Layout l;
  l.type = kDcRecord;
  l.head_size = sizeof(DcRecord);
  l.head = {
      {"data_id", offsetof(DcRecord, data_id), kU32},
      {"v", offsetof(DcRecord, v), kF32},
      {"i", offsetof(DcRecord, i), kF32},
      {"dc_m", offsetof(DcRecord, dc_m), kU8},
      List("m_value", offsetof(DcRecord, m_value), kF32, DcRecord::M_SIZE()),
      {"dc_n", offsetof(DcRecord, dc_n), kU8},
      List("n_value", offsetof(DcRecord, n_value), kF32, DcRecord::N_SIZE()),
      {"p_count", offsetof(DcRecord, p_count), kU8},
      List("user_p", offsetof(DcRecord, user_p), kF32, DcRecord::P_SIZE()),
      {"dc_state", offsetof(DcRecord, dc_state), kU8},
      {"alert_m_count", offsetof(DcRecord, alert_m_count), kU8},
      List("alert_m", offsetof(DcRecord, alert_m), kU8, DcRecord::ALERT_M_SIZE()),
      {"alert_p_count", offsetof(DcRecord, alert_p_count), kU8},
      List("alert_p", offsetof(DcRecord, alert_p), kU8, DcRecord::ALERT_P_SIZE()),
      {"stamp", offsetof(DcRecord, stamp), FieldType::kStamp},
  };
  l.what = "a DC record (type 5210)";
  l.head_name = "record";
  l.announcer = "";
  l.letter = "";
  return l;
}

Layout RcLayout() {
  Layout l;
  l.type = kRectifierSnapshot;
  l.head_size = sizeof(RcSystem);
  l.head = {
      {"data_id", offsetof(RcSystem, data_id), kU32},
      {"ac_voltage_upper", offsetof(RcSystem, ac_voltage_upper), kF32},
      {"ac_voltage_lower", offsetof(RcSystem, ac_voltage_lower), kF32},
      {"ac_current_upper", offsetof(RcSystem, ac_current_upper), kF32},
      {"frequency_upper", offsetof(RcSystem, frequency_upper), kF32},
      {"frequency_lower", offsetof(RcSystem, frequency_lower), kF32},
      {"dc_voltage_upper", offsetof(RcSystem, dc_voltage_upper), kF32},
      {"dc_voltage_lower", offsetof(RcSystem, dc_voltage_lower), kF32},
      {"dc_param_count", offsetof(RcSystem, dc_param_count), kU8},
      // The parameter block holds floats.
      List("dc_param", offsetof(RcSystem, dc_param), kF32, RcSystem::P42_46_NUMBER()),
      {"output_voltage", offsetof(RcSystem, output_voltage), kF32},
      {"module_count", offsetof(RcSystem, module_count), kU8},
      {"stamp", offsetof(RcSystem, stamp), FieldType::kStamp},
  };
  l.list = "modules";
  l.list_count_offset = offsetof(RcSystem, module_count);
  l.item_size = sizeof(RcModule);
  l.item = {
      {"output_current", offsetof(RcModule, output_current), kF32},
      {"user_analog_count", offsetof(RcModule, user_analog_count), kU8},
      List("user_analog", offsetof(RcModule, user_analog), kF32, RcModule::P41_41_SIZE()),
      {"on_off", offsetof(RcModule, on_off), kU8},
      {"current_limit", offsetof(RcModule, current_limit), kU8},
      {"charge_mode", offsetof(RcModule, charge_mode), kU8},
      {"user_state_count", offsetof(RcModule, user_state_count), kU8},
      List("user_state", offsetof(RcModule, user_state), kU8, RcModule::P41_43_SIZE()),
      {"fault", offsetof(RcModule, fault), kU8},
      {"user_alert_count", offsetof(RcModule, user_alert_count), kU8},
      List("user_alert", offsetof(RcModule, user_alert), kU8, RcModule::P41_44_SIZE()),
  };
  l.what = "a rectifier snapshot (type 5211)";
  l.head_name = "system record";
  l.announcer = "its system record";
  l.letter = "M";
  return l;
}

std::string Count(std::size_t value) {
  return std::to_string(value);
}

std::size_t ElementSize(FieldType type) {
  return type == FieldType::kU8 ? 1 : 4;
}

}  // namespace

const Layout* LayoutOf(int type) {
  static const Layout layouts[] = {AcLayout(), DcLayout(), RcLayout()};
  for (const Layout& layout : layouts) {
    if (layout.type == type) return &layout;
  }
  return nullptr;
}

const Field* FindField(const std::vector<Field>& fields, const std::string& name) {
  for (const Field& field : fields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

bool CheckLength(const Layout& layout, const unsigned char* data, std::size_t length,
                 std::size_t& items, std::string& error) {
  items = 0;
  if (layout.list == nullptr) {
    if (length == layout.head_size) return true;
    error = std::string(layout.what) + " is " + Count(layout.head_size) + " bytes, the blob has " +
            Count(length);
    return false;
  }
  const std::string letter = layout.letter;
  const std::string formula = std::string(layout.what) + " is " + Count(layout.head_size) + " + " +
                              Count(layout.item_size) + " x " + letter + " bytes for " + letter +
                              " " + layout.list + ": ";
  if (length < layout.head_size) {
    error = formula + "the blob has " + Count(length) + " bytes, fewer than the " +
            Count(layout.head_size) + "-byte " + layout.head_name;
    return false;
  }
  items = data[layout.list_count_offset];
  const std::size_t expected = layout.head_size + layout.item_size * items;
  if (length == expected) return true;
  error = formula + layout.announcer + " announces " + letter + " = " + Count(items) + " (" +
          Count(expected) + " bytes), the blob has " + Count(length);
  return false;
}

double NumberAt(const Field& field, const unsigned char* base, std::size_t index) {
  const unsigned char* at = base + field.offset + ElementSize(field.type) * index;
  switch (field.type) {
    case FieldType::kU8:
      return *at;
    case FieldType::kU32: {
      std::uint32_t value;
      std::memcpy(&value, at, sizeof value);
      return value;
    }
    case FieldType::kF32:
      return FloatAt(field, base, index);
    case FieldType::kStamp:
      break;
  }
  return 0;
}

float FloatAt(const Field& field, const unsigned char* base, std::size_t index) {
  if (field.type != FieldType::kF32) return static_cast<float>(NumberAt(field, base, index));
  float value;
  std::memcpy(&value, base + field.offset + 4 * index, sizeof value);
  return value;
}

}  // namespace records
