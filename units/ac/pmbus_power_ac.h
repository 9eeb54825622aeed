#pragma once

// PMBusPowerAC: the AC distribution unit, a class
// template over its head record, its channel record and the record type number
// under which it publishes its snapshot.

#include <json/value.h>

#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/host_clock.h"
#include "host/kmx_spdevice.h"
#include "host/ttime.h"
#include "units/ac/ac_alarm_table.h"
#include "units/ac/channel_point_name.h"
#include "units/ac/channel_trace.h"
#include "units/common/byte_reader.h"
#include "units/common/deferred_job.h"
#include "units/common/packed_field.h"

// The status texts with which Get_Value fails (std::out_of_range).
namespace ac_status {
inline constexpr const char* kNotReady = "数据未就绪";
inline constexpr const char* kTimedOut = "数据已超时";
inline constexpr const char* kNotProvided = "数据未提供";
inline constexpr const char* kChannelOutOfRange = "通道参数越界";
}  // namespace ac_status

template <typename TeleAC, typename TeleACChannel, int RecordType>
class PMBusPowerAC : public KMXSPDevice {
 public:
  using Head = TeleAC;
  using Channel = TeleACChannel;
  static constexpr int kRecordType = RecordType;
  static constexpr std::size_t kHeadSize = sizeof(Head);
  static constexpr std::size_t kChannelSize = sizeof(Channel);
  // Points are served while their last update is less than this old.
  static constexpr long kStaleSeconds = 61;

  PMBusPowerAC() = default;

  // Reads one named point; throws std::out_of_range with a status text.
  float Get_Value(unsigned int /*id*/, const std::string& name) const override {
    if (!data_ready_) throw std::out_of_range(ac_status::kNotReady);
    const boost::posix_time::ptime now = host_clock::LocalNow();
    // A clock set back (negative age) counts as fresh.
    if (now.is_special() || last_update_.is_special() ||
        (now - last_update_).total_seconds() >= kStaleSeconds) {
      throw std::out_of_range(ac_status::kTimedOut);
    }
    for (const HeadPoint& point : kHeadPoints) {
      if (name != point.name) continue;
      if (point.is_state) return static_cast<float>(*FieldAddress(tele_, point.offset));
      return LoadField<float>(tele_, point.offset);
    }
    const ac_point::ChannelPointMatch match = ac_point::FindChannelPoint(name);
    if (!match.found) throw std::out_of_range(ac_status::kNotProvided);
    const std::size_t index = ac_point::ChannelIndexValue(match.index);
    if (index >= channels_.size()) throw std::out_of_range(ac_status::kChannelOutOfRange);
    const Channel& channel = channels_[index];
    switch (match.key[0]) {
      case 'a':
        return LoadField<float>(channel, offsetof(Channel, a));
      case 'b':
        return LoadField<float>(channel, offsetof(Channel, b));
      case 'c':
        return LoadField<float>(channel, offsetof(Channel, c));
      case 'f':
        return LoadField<float>(channel, offsetof(Channel, f));
      default:
        throw std::out_of_range(ac_status::kNotProvided);
    }
  }

  // The host's text form hands its bytes to the byte form below.
  using KMXSPDevice::LoadFromCache;

  // Restores head and channels from a blob in the snapshot format.
  // The whole blob is checked before anything is taken over: a refused blob
  // changes nothing (head, channels, data-ready flag, last-update time).
  bool LoadFromCache(const unsigned char* blob, int length) override {
    ByteReader in(blob, length);
    if (blob == nullptr || length <= static_cast<int>(kHeadSize)) return false;
    const unsigned char* head = in.Take(kHeadSize);
    const std::size_t count = head[offsetof(Head, channel_count)];
    if (in.Remaining() != kChannelSize * count) return false;
    const unsigned char* records = in.Take(kChannelSize * count);
    std::memcpy(FieldAddress(tele_, 0), head, kHeadSize);
    channels_.assign(count, Channel{});
    if (count != 0) std::memcpy(FieldAddress(channels_.front(), 0), records, kChannelSize * count);
    data_ready_ = true;
    last_update_ = host_clock::LocalNow();
    return true;
  }

  // Closes the polling cycle for this unit.
  void RoundDone() override {
    last_update_ = host_clock::LocalNow();
    const ttime stamp = get_ttime(host_clock::LocalNow());
    std::memcpy(FieldAddress(tele_, offsetof(Head, stamp)), stamp.bytes, sizeof(Head::stamp));

    // The snapshot always has room for the channels of this cycle: the channel
    // count may be fixed after the first cycle.
    const std::size_t needed = kHeadSize + kChannelSize * channels_.size();
    if (!snapshot_ || snapshot_len_ != needed) {
      snapshot_len_ = static_cast<std::uint32_t>(needed);
      snapshot_ = std::make_unique<unsigned char[]>(needed);  // zeroed
    }
    std::memcpy(snapshot_.get(), FieldAddress(tele_, 0), kHeadSize);
    if (!channels_.empty()) {
      std::memcpy(snapshot_.get() + kHeadSize, FieldAddress(channels_.front(), 0),
                  kChannelSize * channels_.size());
    }
    if (!data_ready_) data_ready_ = true;
    SendSP(RecordType, snapshot_.get(), snapshot_len_, false);

    alarm_sequence_ = 1;
    channel_texts_.Fit(channels_.size());
    for (std::size_t k = 0; k < channels_.size(); ++k) {
      PassAlarmRows(ac_alarm::ChannelRows(), FieldAddress(channels_[k], 0), channel_texts_.Of(k));
    }
    PassAlarmRows(ac_alarm::UnitRows(), FieldAddress(tele_, 0), nullptr);
    DoImpCheckAlert();

    // The job saves the bytes of its own cycle (kept when it is handed
    // over), even when the host runs it while a later cycle rewrites (or
    // resizes) snapshot_.
    deferred_job::HandOver(
        *this, shared_from_this(), pending_rules_,
        [this](const std::vector<rule_value>& rules, const deferred_job::Bytes& saved) {
          const bool changed = DoBatchCheckThreshold(rules);
          alarm_changed_ = changed || alarm_changed_;
          SaveDeviceHistory(saved.data(), static_cast<unsigned int>(saved.size()));
        },
        snapshot_.get(), snapshot_len_);
  }

  // Data id, thresholds, then the host's InitV.
  bool InitV(KMXVDevice* parent, unsigned int id, const Json::Value& config) override {
    StoreField(tele_, offsetof(Head, data_id), static_cast<std::uint32_t>(id));
    if (config.isObject()) {
      const Json::Value& app = config["appSetting"];
      if (app.isObject()) {
        ReadThreshold(app, "diff_v", diff_v_);
        ReadThreshold(app, "diff_i", diff_i_);
      }
    }
    return KMXVDevice::InitV(parent, id, config);
  }

  // 41h section: 1 + 17 n + 12 bytes with the KORVAN parameters.
  virtual int parse40_41(const unsigned char* data, int size) {
    static const char* const kOverflow =
        "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
    ByteReader in(data, size);
    std::uint8_t count = 0;
    if (!in.ReadU8(count)) return Overflow(kOverflow, in.EndOf(1), size);

    // The first reply fixes the channel count only when it is accepted: its
    // channels are read into a list of their own and taken over at the end.
    std::vector<Channel> first;
    std::vector<Channel>* target = &channels_;
    if (channels_.empty()) {
      first.assign(count, Channel{});
      target = &first;
    } else if (tele_.channel_count != count) {
      return -1;
    }

    for (Channel& channel : *target) {
      for (std::size_t offset : {offsetof(Channel, a), offsetof(Channel, b), offsetof(Channel, c),
                                 offsetof(Channel, f)}) {
        if (!ReadFloat(in, channel, offset, kZeroBytes)) {
          return Overflow(kOverflow, in.EndOf(4), size);
        }
      }
      // Ends with a plain line end: the trace line needs no flush of its own,
      // which would cost a write to the output on every channel of every cycle.
      ac_trace::WriteChannelLine(std::cout, LoadField<float>(channel, offsetof(Channel, a)),
                                 LoadField<float>(channel, offsetof(Channel, b)),
                                 LoadField<float>(channel, offsetof(Channel, c)),
                                 LoadField<float>(channel, offsetof(Channel, f)));
      std::uint8_t p = 0;
      if (!in.ReadU8(p)) return Overflow(kOverflow, in.EndOf(1), size);
      channel.user_analog_count = p;
      if (p != Channel::P40_41_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", LogId(), p,
                Channel::P40_41_SIZE());
        in.Skip(4u * p);
        if (in.Overran()) return Overflow(kOverflow, in.Offset(), size);
      } else {
        for (std::size_t i = 0; i < p; ++i) {
          if (!ReadFloat(in, channel, offsetof(Channel, user_analog) + 4 * i, kMinusTenthBytes)) {
            return Overflow(kOverflow, in.EndOf(4), size);
          }
        }
      }
    }
    for (std::size_t offset : {offsetof(Head, ia), offsetof(Head, ib), offsetof(Head, ic)}) {
      if (!ReadFloat(in, tele_, offset, kMinusTenthBytes)) {
        return Overflow(kOverflow, in.EndOf(4), size);
      }
    }
    if (target == &first) {
      tele_.channel_count = count;
      channels_ = std::move(first);
    }
    return static_cast<int>(in.Offset());
  }

  // 43h section: 6 bytes with the KORVAN parameters.
  virtual int parse40_43(const unsigned char* data, int size) {
    static const char* const kOverflow =
        "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
    ByteReader in(data, size);
    std::uint8_t m = 0;
    if (!in.ReadU8(m)) return Overflow(kOverflow, in.EndOf(1), size);
    tele_.airlock_count = m;
    if (m > Head::AIRLOCK_MAX()) {
      // Passed to InfoLog as it stands, printf-style markers included.
      InfoLog("ProcotolError %u read 40_43 m is %d max %d", LogId(), m, Head::AIRLOCK_MAX());
      return -1;
    }
    if (!in.ReadBytes(FieldAddress(tele_, offsetof(Head, airlock_state)), m)) {
      return Overflow(kOverflow, in.EndOf(m), size);
    }
    std::uint8_t p = 0;
    if (!in.ReadU8(p)) return Overflow(kOverflow, in.EndOf(1), size);
    tele_.user_state_count = p;
    if (p != Head::P40_43_SIZE()) {
      InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", LogId(), p,
              Head::P40_43_SIZE());
      in.Skip(p);
      if (in.Overran()) return Overflow(kOverflow, in.Offset(), size);
      return static_cast<int>(in.Offset());
    }
    if (!in.ReadBytes(FieldAddress(tele_, offsetof(Head, user_state)), p)) {
      return Overflow(kOverflow, in.EndOf(p), size);
    }
    return static_cast<int>(in.Offset());
  }

  // 44h section: 1 + 9 n + 3 bytes with the KORVAN parameters.
  virtual int parse40_44(const unsigned char* data, int size) {
    static const char* const kOverflow =
        "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
    ByteReader in(data, size);
    in.Skip(1);  // the channel count, not compared with anything
    if (in.Overran()) return Overflow(kOverflow, in.Offset(), size);
    for (Channel& channel : channels_) {
      for (std::size_t offset : {offsetof(Channel, a_alert), offsetof(Channel, b_alert),
                                 offsetof(Channel, c_alert), offsetof(Channel, f_alert)}) {
        if (!in.ReadBytes(FieldAddress(channel, offset), 1)) {
          return Overflow(kOverflow, in.EndOf(1), size);
        }
      }
      std::uint8_t m = 0;
      if (!in.ReadU8(m)) return Overflow(kOverflow, in.EndOf(1), size);
      if (m != 0) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", LogId(), static_cast<int>(m));
        in.Skip(m);
        if (in.Overran()) return Overflow(kOverflow, in.Offset(), size);
      }
      std::uint8_t p = 0;
      if (!in.ReadU8(p)) return Overflow(kOverflow, in.EndOf(1), size);
      channel.user_alert_count = p;
      if (p != Channel::p40_44_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", LogId(), p,
                Channel::p40_44_SIZE());
        in.Skip(p);
        if (in.Overran()) return Overflow(kOverflow, in.Offset(), size);
      } else if (!in.ReadBytes(FieldAddress(channel, offsetof(Channel, user_alert)), p)) {
        return Overflow(kOverflow, in.EndOf(p), size);
      }
    }
    for (std::size_t offset :
         {offsetof(Head, ia_alert), offsetof(Head, ib_alert), offsetof(Head, ic_alert)}) {
      if (!in.ReadBytes(FieldAddress(tele_, offset), 1)) {
        return Overflow(kOverflow, in.EndOf(1), size);
      }
    }
    return static_cast<int>(in.Offset());
  }

  // Read access for the host's tools and the tests.
  const Head& tele() const { return tele_; }
  const std::vector<Channel>& channels() const { return channels_; }
  float diff_v() const { return diff_v_; }
  float diff_i() const { return diff_i_; }
  std::uint32_t snapshot_len() const { return snapshot_len_; }
  const unsigned char* snapshot() const { return snapshot_.get(); }

 protected:
  // Product hook: further rules join this cycle's batch and continue its
  // sequence numbers.
  virtual void DoImpCheckAlert() = 0;

 private:
  struct HeadPoint {
    const char* name;
    std::size_t offset;
    bool is_state;  // a one-byte alarm state, read as a float
  };
  static constexpr HeadPoint kHeadPoints[] = {
      {"ia", offsetof(Head, ia), false},
      {"ib", offsetof(Head, ib), false},
      {"ic", offsetof(Head, ic), false},
      {"ia_alert", offsetof(Head, ia_alert), true},
      {"ib_alert", offsetof(Head, ib_alert), true},
      {"ic_alert", offsetof(Head, ic_alert), true},
  };

  // What a no-data marker is stored as: 0.0 for a, b, c, f; -0.1 (BDCCCCCDh)
  // for the user-defined values and the currents. Little-endian bytes.
  static constexpr unsigned char kZeroBytes[4] = {0x00, 0x00, 0x00, 0x00};
  static constexpr unsigned char kMinusTenthBytes[4] = {0xCD, 0xCC, 0xCC, 0xBD};

  // Reads one float into the record at `offset`; false when it does not fit.
  // Four equal non-zero bytes are a no-data marker, stored as `marker`.
  template <typename Record>
  static bool ReadFloat(ByteReader& in, Record& record, std::size_t offset,
                        const unsigned char (&marker)[4]) {
    const unsigned char* bytes = in.Take(4);
    if (bytes == nullptr) return false;
    const bool no_data =
        bytes[0] != 0 && bytes[0] == bytes[1] && bytes[1] == bytes[2] && bytes[2] == bytes[3];
    std::memcpy(FieldAddress(record, offset), no_data ? marker : bytes, 4);
    return true;
  }

  static void ReadThreshold(const Json::Value& app, const char* key, float& threshold) {
    const Json::Value& value = app[key];
    if (value.isNull()) return;
    // Strings, numbers and booleans have a text form; arrays and objects have
    // none and keep the threshold as it was.
    if (!value.isConvertibleTo(Json::stringValue)) return;
    threshold = static_cast<float>(std::atof(value.asString().c_str()));
  }

  static std::size_t StateOffset(ac_alarm::StateField field) {
    switch (field) {
      case ac_alarm::StateField::kA:
        return offsetof(Channel, a_alert);
      case ac_alarm::StateField::kB:
        return offsetof(Channel, b_alert);
      case ac_alarm::StateField::kC:
        return offsetof(Channel, c_alert);
      case ac_alarm::StateField::kF:
        return offsetof(Channel, f_alert);
      case ac_alarm::StateField::kIa:
        return offsetof(Head, ia_alert);
      case ac_alarm::StateField::kIb:
        return offsetof(Head, ib_alert);
      case ac_alarm::StateField::kIc:
        return offsetof(Head, ic_alert);
    }
    return 0;
  }

  // The one walk over alarm rows: each row against the record's bytes, with
  // the next sequence number. `texts` holds one text per row, or is null
  // when the rows' own texts are passed.
  template <std::size_t N>
  void PassAlarmRows(const std::array<ac_alarm::Row, N>& rows, const unsigned char* record,
                     const std::string* texts) {
    for (std::size_t i = 0; i < N; ++i) {
      const ac_alarm::Row& row = rows[i];
      const bool active = record[StateOffset(row.field)] == row.active_when;
      CheckThresholdBool(row.level, row.id, row.code, row.name,
                         texts != nullptr ? texts[i] : row.text, active, alarm_sequence_++);
    }
  }

  std::uint32_t LogId() const { return static_cast<std::uint32_t>(DataId()); }

  int Overflow(const char* line, std::size_t consumed, int size) const {
    InfoLog(line, LogId(), consumed, size);
    return -1;
  }

  Head tele_{};
  std::vector<Channel> channels_;
  float diff_v_ = 20.0f;
  float diff_i_ = 20.0f;
  std::uint32_t snapshot_len_ = 0;
  std::unique_ptr<unsigned char[]> snapshot_;
  ac_alarm::ChannelTexts channel_texts_;  // alarm texts for the current channel count
};
