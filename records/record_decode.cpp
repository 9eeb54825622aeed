#include "records/record_decode.h"

#include <cstdio>
#include <cstring>

#include "records/json_text.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/common/packed_field.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace records {

namespace {

using AcHead = tele_c_korvan_ac;
using AcChannel = tele_c_korvan_ac_channel;
using DcRecord = tele_c_korvan_dc;
using RcSystem = tele_c_korvan_rc;
using RcModule = tele_c_korvan_rc_channel;

// Reads the fields of one packed record that has been copied out of the blob
// whole, by offset.
template <typename Record>
class Fields {
 public:
  explicit Fields(const unsigned char* bytes) { std::memcpy(&record_, bytes, sizeof record_); }

  Json::Value Float(std::size_t offset) const {
    return json_text::Float(LoadField<float>(record_, offset));
  }
  Json::Value U8(std::size_t offset) const {
    return Json::UInt(LoadField<std::uint8_t>(record_, offset));
  }
  Json::Value U32(std::size_t offset) const {
    return Json::UInt(LoadField<std::uint32_t>(record_, offset));
  }
  Json::Value Floats(std::size_t offset, std::size_t count) const {
    Json::Value list(Json::arrayValue);
    for (std::size_t k = 0; k < count; ++k) list.append(Float(offset + 4 * k));
    return list;
  }
  Json::Value Bytes(std::size_t offset, std::size_t count) const {
    Json::Value list(Json::arrayValue);
    for (std::size_t k = 0; k < count; ++k) list.append(U8(offset + k));
    return list;
  }
  Json::Value Stamp(std::size_t offset) const { return StampText(FieldAddress(record_, offset)); }

 private:
  Record record_;
};

std::string Count(std::size_t value) {
  return std::to_string(value);
}

bool DecodeAc(const unsigned char* data, std::size_t length, Json::Value& out, std::string& error) {
  const std::string layout = "an AC snapshot (type 5209) is 33 + 25 x n bytes for n channels: ";
  if (length < sizeof(AcHead)) {
    error = layout + "the blob has " + Count(length) + " bytes, fewer than the 33-byte head record";
    return false;
  }
  const Fields<AcHead> head(data);
  const std::size_t channels = head.U8(offsetof(AcHead, channel_count)).asUInt();
  const std::size_t expected = sizeof(AcHead) + sizeof(AcChannel) * channels;
  if (length != expected) {
    error = layout + "its head announces n = " + Count(channels) + " (" + Count(expected) +
            " bytes), the blob has " + Count(length);
    return false;
  }
  out["data_id"] = head.U32(offsetof(AcHead, data_id));
  out["ia"] = head.Float(offsetof(AcHead, ia));
  out["ib"] = head.Float(offsetof(AcHead, ib));
  out["ic"] = head.Float(offsetof(AcHead, ic));
  out["channel_count"] = head.U8(offsetof(AcHead, channel_count));
  out["airlock_count"] = head.U8(offsetof(AcHead, airlock_count));
  out["airlock_state"] = head.Bytes(offsetof(AcHead, airlock_state), AcHead::AIRLOCK_MAX());
  out["user_state_count"] = head.U8(offsetof(AcHead, user_state_count));
  out["user_state"] = head.Bytes(offsetof(AcHead, user_state), AcHead::P40_43_SIZE());
  out["ia_alert"] = head.U8(offsetof(AcHead, ia_alert));
  out["ib_alert"] = head.U8(offsetof(AcHead, ib_alert));
  out["ic_alert"] = head.U8(offsetof(AcHead, ic_alert));
  out["stamp"] = head.Stamp(offsetof(AcHead, stamp));
  out["channels"] = Json::Value(Json::arrayValue);
  for (std::size_t k = 0; k < channels; ++k) {
    const Fields<AcChannel> channel(data + sizeof(AcHead) + sizeof(AcChannel) * k);
    Json::Value item(Json::objectValue);
    item["a"] = channel.Float(offsetof(AcChannel, a));
    item["b"] = channel.Float(offsetof(AcChannel, b));
    item["c"] = channel.Float(offsetof(AcChannel, c));
    item["f"] = channel.Float(offsetof(AcChannel, f));
    item["user_analog_count"] = channel.U8(offsetof(AcChannel, user_analog_count));
    item["user_analog"] =
        channel.Floats(offsetof(AcChannel, user_analog), AcChannel::P40_41_SIZE());
    item["a_alert"] = channel.U8(offsetof(AcChannel, a_alert));
    item["b_alert"] = channel.U8(offsetof(AcChannel, b_alert));
    item["c_alert"] = channel.U8(offsetof(AcChannel, c_alert));
    item["f_alert"] = channel.U8(offsetof(AcChannel, f_alert));
    item["user_alert_count"] = channel.U8(offsetof(AcChannel, user_alert_count));
    item["user_alert"] = channel.Bytes(offsetof(AcChannel, user_alert), AcChannel::p40_44_SIZE());
    out["channels"].append(item);
  }
  return true;
}

bool DecodeDc(const unsigned char* data, std::size_t length, Json::Value& out, std::string& error) {
  if (length != sizeof(DcRecord)) {
    error = "a DC record (type 5210) is 92 bytes, the blob has " + Count(length);
    return false;
  }
  const Fields<DcRecord> record(data);
  out["data_id"] = record.U32(offsetof(DcRecord, data_id));
  out["v"] = record.Float(offsetof(DcRecord, v));
  out["i"] = record.Float(offsetof(DcRecord, i));
  out["dc_m"] = record.U8(offsetof(DcRecord, dc_m));
  out["m_value"] = record.Floats(offsetof(DcRecord, m_value), DcRecord::M_SIZE());
  out["dc_n"] = record.U8(offsetof(DcRecord, dc_n));
  out["n_value"] = record.Floats(offsetof(DcRecord, n_value), DcRecord::N_SIZE());
  out["p_count"] = record.U8(offsetof(DcRecord, p_count));
  out["user_p"] = record.Floats(offsetof(DcRecord, user_p), DcRecord::P_SIZE());
  out["dc_state"] = record.U8(offsetof(DcRecord, dc_state));
  out["alert_m_count"] = record.U8(offsetof(DcRecord, alert_m_count));
  out["alert_m"] = record.Bytes(offsetof(DcRecord, alert_m), DcRecord::ALERT_M_SIZE());
  out["alert_p_count"] = record.U8(offsetof(DcRecord, alert_p_count));
  out["alert_p"] = record.Bytes(offsetof(DcRecord, alert_p), DcRecord::ALERT_P_SIZE());
  out["stamp"] = record.Stamp(offsetof(DcRecord, stamp));
  return true;
}

bool DecodeRc(const unsigned char* data, std::size_t length, Json::Value& out, std::string& error) {
  const std::string layout =
      "a rectifier snapshot (type 5211) is 101 + 12 x M bytes for M modules: ";
  if (length < sizeof(RcSystem)) {
    error =
        layout + "the blob has " + Count(length) + " bytes, fewer than the 101-byte system record";
    return false;
  }
  const Fields<RcSystem> system(data);
  const std::size_t modules = system.U8(offsetof(RcSystem, module_count)).asUInt();
  const std::size_t expected = sizeof(RcSystem) + sizeof(RcModule) * modules;
  if (length != expected) {
    error = layout + "its system record announces M = " + Count(modules) + " (" + Count(expected) +
            " bytes), the blob has " + Count(length);
    return false;
  }
  out["data_id"] = system.U32(offsetof(RcSystem, data_id));
  out["ac_voltage_upper"] = system.Float(offsetof(RcSystem, ac_voltage_upper));
  out["ac_voltage_lower"] = system.Float(offsetof(RcSystem, ac_voltage_lower));
  out["ac_current_upper"] = system.Float(offsetof(RcSystem, ac_current_upper));
  out["frequency_upper"] = system.Float(offsetof(RcSystem, frequency_upper));
  out["frequency_lower"] = system.Float(offsetof(RcSystem, frequency_lower));
  out["dc_voltage_upper"] = system.Float(offsetof(RcSystem, dc_voltage_upper));
  out["dc_voltage_lower"] = system.Float(offsetof(RcSystem, dc_voltage_lower));
  out["dc_param_count"] = system.U8(offsetof(RcSystem, dc_param_count));
  out["dc_param"] = system.Floats(offsetof(RcSystem, dc_param), RcSystem::P42_46_NUMBER());
  out["output_voltage"] = system.Float(offsetof(RcSystem, output_voltage));
  out["module_count"] = system.U8(offsetof(RcSystem, module_count));
  out["stamp"] = system.Stamp(offsetof(RcSystem, stamp));
  out["modules"] = Json::Value(Json::arrayValue);
  for (std::size_t k = 0; k < modules; ++k) {
    const Fields<RcModule> module(data + sizeof(RcSystem) + sizeof(RcModule) * k);
    Json::Value item(Json::objectValue);
    item["output_current"] = module.Float(offsetof(RcModule, output_current));
    item["user_analog_count"] = module.U8(offsetof(RcModule, user_analog_count));
    item["user_analog"] = module.Floats(offsetof(RcModule, user_analog), RcModule::P41_41_SIZE());
    item["on_off"] = module.U8(offsetof(RcModule, on_off));
    item["current_limit"] = module.U8(offsetof(RcModule, current_limit));
    item["charge_mode"] = module.U8(offsetof(RcModule, charge_mode));
    item["user_state_count"] = module.U8(offsetof(RcModule, user_state_count));
    item["user_state"] = module.Bytes(offsetof(RcModule, user_state), RcModule::P41_43_SIZE());
    item["fault"] = module.U8(offsetof(RcModule, fault));
    item["user_alert_count"] = module.U8(offsetof(RcModule, user_alert_count));
    item["user_alert"] = module.Bytes(offsetof(RcModule, user_alert), RcModule::P41_44_SIZE());
    out["modules"].append(item);
  }
  return true;
}

}  // namespace

std::string StampText(const unsigned char* stamp) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                static_cast<unsigned int>(stamp[0] | (stamp[1] << 8)), stamp[2], stamp[3], stamp[4],
                stamp[5], stamp[6]);
  return text;
}

bool Decode(int type, const unsigned char* data, std::size_t length, Json::Value& out,
            std::string& error) {
  if (data == nullptr) length = 0;
  Json::Value fields(Json::objectValue);
  bool decoded = false;
  switch (type) {
    case kAcSnapshot:
      decoded = DecodeAc(data, length, fields, error);
      break;
    case kDcRecord:
      decoded = DecodeDc(data, length, fields, error);
      break;
    case kRectifierSnapshot:
      decoded = DecodeRc(data, length, fields, error);
      break;
    default:
      error = "record type " + std::to_string(type) + " is not one of 5209, 5210, 5211";
      return false;
  }
  if (!decoded) return false;
  fields["type"] = type;
  fields["length"] = Json::UInt64(length);
  out = std::move(fields);
  return true;
}

}  // namespace records
