#pragma once

#include <json/value.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/host_clock.h"
#include "host/kmx_spdevice.h"
#include "host/ttime.h"
#include "units/common/byte_reader.h"
#include "units/common/deferred_job.h"
#include "units/common/packed_field.h"
#include "units/dc/dc_alarm_rows.h"

// A DC distribution unit: decodes its blocks of the group-42h replies into
// its record, answers point reads of the output voltage and current, and at
// the end of each polling cycle publishes the record and passes its alarm
// rules to the host. RT_DC is the record type number it publishes under.
//
// The parsers and RoundDone run on the thread that drives the bus device, so
// the record is not locked. The deferred job reads only its own copy of the
// cycle's record, so the host may run it later or on another thread.
template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public KMXSPDevice {
 public:
  explicit PMBusPowerDC(const std::string& model = std::string()) : model_(model) {
    std::memset(&tele_, 0, sizeof tele_);
  }

  float Get_Value(unsigned int id, const std::string& name) const override;
  using KMXSPDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char* blob, int length) override;
  void RoundDone() override;
  bool InitV(KMXVDevice* parent, unsigned int id, const Json::Value& config) override;

  virtual int parse42_41(const unsigned char* payload, int length);
  virtual int parse42_44(const unsigned char* payload, int length);

  // Read-only views for the host's tools and the tests.
  const TeleDC& Tele() const { return tele_; }
  float DiffV() const { return diff_v_; }
  float DiffI() const { return diff_i_; }
  float PreviousV() const { return previous_v_; }
  float PreviousI() const { return previous_i_; }
  const std::string& Model() const { return model_; }

 protected:
  // Adds the product's own alarm rows after the unit's.
  virtual void DoImpCheckAlert() = 0;

  // Passes one rule per row, numbered from the alarm sequence counter.
  template <typename Rows>
  void CheckRows(const Rows& rows);
  std::uint8_t RecordByte(std::size_t offset) const { return *FieldAddress(tele_, offset); }

  TeleDC tele_;
  float diff_v_ = 0.1f;
  float diff_i_ = 20.0f;
  float previous_v_ = 0.0f;
  float previous_i_ = 0.0f;
  std::string model_;

 private:
  static constexpr std::uint32_t kNoDataBits = 0xBDCCCCCDu;  // -0.1f

  // Copies `count` floats into the record from `offset` on, one at a time;
  // false (the reader at the float that does not fit) when the block ends.
  bool ReadFloats(ByteReader& reader, std::size_t offset, std::uint8_t count, bool no_data_marker);
  // Consumes a run of `count` state bytes and keeps the first `capacity`.
  bool ReadStates(ByteReader& reader, std::size_t offset, std::uint8_t count, std::size_t capacity);
  int Overflow(const char* line, std::size_t end, int length) const;
  std::shared_ptr<PMBusPowerDC> SharedSelf();
  static void ReadThreshold(const Json::Value& setting, float& threshold);
};

// Block of one unit in the analog reply (42h/41h); m, n, p are the counts:
//   0      4      8       9         9+4m    10+4m     10+4(m+n)  11+4(m+n)
//   +------+------+-------+---------+-------+---------+----------+----------+
//   | v    | i    | m     | M values| n     | N values| p        | user     |
//   | f32  | f32  | u8    | f32[m]  | u8    | f32[n]  | u8       | f32[p]   |
//   +------+------+-------+---------+-------+---------+----------+----------+
template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const unsigned char* payload, int length) {
  static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
  ByteReader reader(payload, length);
  if (reader.Fits(4)) {
    std::printf("parse 42 41: %x %x %x %x\n", payload[0], payload[1], payload[2], payload[3]);
  }
  if (!reader.ReadBytes(FieldAddress(tele_, offsetof(TeleDC, v)), 4) ||
      !reader.ReadBytes(FieldAddress(tele_, offsetof(TeleDC, i)), 4)) {
    return Overflow(kOverflow, reader.EndOf(4), length);
  }

  std::uint8_t count = 0;
  if (!reader.ReadU8(count)) return Overflow(kOverflow, reader.EndOf(1), length);
  StoreField(tele_, offsetof(TeleDC, dc_m), count);
  if (count > TeleDC::M_SIZE()) {
    InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}", DataId(),
            count, TeleDC::M_SIZE());
    reader.Skip(4u * count);
  } else if (!ReadFloats(reader, offsetof(TeleDC, m_value), count, false)) {
    return Overflow(kOverflow, reader.EndOf(4), length);
  }

  if (!reader.ReadU8(count)) return Overflow(kOverflow, reader.EndOf(1), length);
  StoreField(tele_, offsetof(TeleDC, dc_n), count);
  if (count > TeleDC::N_SIZE()) {
    InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}", DataId(),
            count, TeleDC::N_SIZE());
    reader.Skip(4u * count);
  } else if (!ReadFloats(reader, offsetof(TeleDC, n_value), count, false)) {
    return Overflow(kOverflow, reader.EndOf(4), length);
  }

  if (!reader.ReadU8(count)) return Overflow(kOverflow, reader.EndOf(1), length);
  StoreField(tele_, offsetof(TeleDC, p_count), count);
  if (count > TeleDC::P_SIZE()) {
    // The rest of the reply is taken as this unit's.
    InfoLog(
        "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}",
        DataId(), count, TeleDC::P_SIZE());
    return length;
  }
  if (!ReadFloats(reader, offsetof(TeleDC, user_p), count, true)) {
    return Overflow(kOverflow, reader.EndOf(4), length);
  }

  if (reader.Overran()) return Overflow(kOverflow, reader.Offset(), length);
  return static_cast<int>(reader.Offset());
}

// Block of one unit in the alarm-state reply (42h/44h); m, p are the counts:
//   0           1       2          2+m     3+m
//   +-----------+-------+----------+-------+----------+
//   | dc_state  | m     | M states | p     | P states |
//   | u8        | u8    | u8[m]    | u8    | u8[p]    |
//   +-----------+-------+----------+-------+----------+
template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const unsigned char* payload, int length) {
  static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
  ByteReader reader(payload, length);
  std::uint8_t value = 0;
  if (!reader.ReadU8(value)) return Overflow(kOverflow, reader.EndOf(1), length);
  StoreField(tele_, offsetof(TeleDC, dc_state), value);

  std::uint8_t count = 0;
  if (!reader.ReadU8(count)) return Overflow(kOverflow, reader.EndOf(1), length);
  StoreField(tele_, offsetof(TeleDC, alert_m_count), count);
  if (!ReadStates(reader, offsetof(TeleDC, alert_m), count, TeleDC::ALERT_M_SIZE())) {
    return Overflow(kOverflow, reader.EndOf(count), length);
  }

  if (!reader.ReadU8(count)) return Overflow(kOverflow, reader.EndOf(1), length);
  StoreField(tele_, offsetof(TeleDC, alert_p_count), count);
  if (count > TeleDC::ALERT_P_SIZE()) {
    InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}",
            DataId(), count, TeleDC::ALERT_P_SIZE());
  }
  if (!ReadStates(reader, offsetof(TeleDC, alert_p), count, TeleDC::ALERT_P_SIZE())) {
    return Overflow(kOverflow, reader.EndOf(count), length);
  }
  return static_cast<int>(reader.Offset());
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::ReadFloats(ByteReader& reader, std::size_t offset,
                                             std::uint8_t count, bool no_data_marker) {
  for (std::size_t k = 0; k < count; ++k) {
    const unsigned char* raw = reader.Take(4);
    if (raw == nullptr) return false;
    unsigned char* field = FieldAddress(tele_, offset + 4 * k);
    // Four equal non-zero bytes mean the power system has no value.
    if (no_data_marker && raw[0] != 0 && raw[1] == raw[0] && raw[2] == raw[0] && raw[3] == raw[0]) {
      std::memcpy(field, &kNoDataBits, 4);
    } else {
      std::memcpy(field, raw, 4);
    }
  }
  return true;
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::ReadStates(ByteReader& reader, std::size_t offset,
                                             std::uint8_t count, std::size_t capacity) {
  const unsigned char* run = reader.Take(count);
  if (run == nullptr) return false;
  const std::size_t kept = std::min<std::size_t>(count, capacity);
  if (kept != 0) std::memcpy(FieldAddress(tele_, offset), run, kept);
  return true;
}

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::Overflow(const char* line, std::size_t end, int length) const {
  InfoLog(line, DataId(), static_cast<std::int32_t>(end), static_cast<std::int32_t>(length));
  return -1;
}

template <typename TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned int, const std::string& name) const {
  if (!data_ready_) throw std::out_of_range("数据未就绪");
  // A clock set back (negative age) counts as fresh.
  if ((host_clock::LocalNow() - last_update_).total_seconds() >= 61) {
    throw std::out_of_range("数据已超时");
  }
  if (name == "v") return LoadField<float>(tele_, offsetof(TeleDC, v));
  if (name == "i") return LoadField<float>(tele_, offsetof(TeleDC, i));
  throw std::out_of_range("数据未就绪");
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const unsigned char* blob, int length) {
  if (blob == nullptr || length != static_cast<int>(sizeof(TeleDC))) return false;
  std::memcpy(&tele_, blob, sizeof(TeleDC));
  data_ready_ = true;
  last_update_ = host_clock::LocalNow();
  return true;
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(KMXVDevice* parent, unsigned int id,
                                        const Json::Value& config) {
  // The record is little-endian, as is the target.
  StoreField(tele_, offsetof(TeleDC, data_id), static_cast<std::uint32_t>(id));
  if (config.isObject()) {
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) {
      ReadThreshold(app["diff_v"], diff_v_);
      ReadThreshold(app["diff_i"], diff_i_);
    }
  }
  return KMXSPDevice::InitV(parent, id, config);
}

// A number or a text holding one; a text that does not begin with a number
// gives 0. Missing keys, arrays and objects leave the threshold as it is.
template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::ReadThreshold(const Json::Value& setting, float& threshold) {
  if (setting.isNull() || !setting.isConvertibleTo(Json::stringValue)) return;
  threshold = static_cast<float>(std::atof(setting.asString().c_str()));
}

template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
  last_update_ = host_clock::LocalNow();
  const ttime stamp = get_ttime(host_clock::LocalNow());
  std::memcpy(FieldAddress(tele_, offsetof(TeleDC, stamp)), stamp.bytes, 7);
  previous_v_ = LoadField<float>(tele_, offsetof(TeleDC, v));
  previous_i_ = LoadField<float>(tele_, offsetof(TeleDC, i));
  if (!data_ready_) data_ready_ = true;
  SendSP(RT_DC, FieldAddress(tele_, 0), sizeof(TeleDC), false);

  alarm_sequence_ = 1;
  CheckRows(DcVoltageAlarmRows<TeleDC>());
  if (RecordByte(offsetof(TeleDC, alert_m_count)) == TeleDC::ALERT_M_SIZE()) {
    CheckRows(DcBatteryFuseAlarmRows<TeleDC>());
  }
  DoImpCheckAlert();

  // The job saves the record of its own cycle (kept when it is handed over),
  // even when the host runs it while the next cycle's replies rewrite tele_.
  deferred_job::HandOver(
      *this, SharedSelf(), pending_rules_,
      [this](const std::vector<rule_value>& rules, const deferred_job::Bytes& saved) {
        if (DoBatchCheckThreshold(rules)) alarm_changed_ = true;
        SaveDeviceHistory(saved.data(), static_cast<unsigned int>(saved.size()));
      },
      FieldAddress(tele_, 0), sizeof(TeleDC));
}

template <typename TeleDC, int RT_DC>
template <typename Rows>
void PMBusPowerDC<TeleDC, RT_DC>::CheckRows(const Rows& rows) {
  for (const DcAlarmRow& row : rows) {
    CheckThresholdBool(row.level, row.id, row.code, row.name, row.text,
                       RecordByte(row.offset) == row.state, alarm_sequence_++);
  }
}

// The job keeps the unit alive through the owner that shares it. A unit that
// no shared pointer owns is kept alive by whoever created it.
template <typename TeleDC, int RT_DC>
std::shared_ptr<PMBusPowerDC<TeleDC, RT_DC>> PMBusPowerDC<TeleDC, RT_DC>::SharedSelf() {
  return std::shared_ptr<PMBusPowerDC>(weak_from_this().lock(), this);
}
