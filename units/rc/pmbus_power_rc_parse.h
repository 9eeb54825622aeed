#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "units/common/byte_reader.h"
#include "units/common/packed_field.h"
#include "units/rc/pmbus_power_rc.h"

// Reply parsers of the rectifier group. Every read of reply bytes goes through
// ByteReader: a value that does not lie entirely within the payload is not
// read; the reply's overflow line names the offset just past it and the
// reply is rejected with -1. Skipped bytes are counted as consumed unread.

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LogOverflow(const char* format, std::size_t offset,
                                                             int length) const {
  InfoLog(format, DataId(), static_cast<std::int32_t>(offset), length);
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RejectAnalog(const char* format, std::size_t offset,
                                                             int length, bool fixing_count) {
  LogOverflow(format, offset, length);
  // A rejected reply must not fix the module count: the next good one may.
  if (fixing_count) SetModuleCount(0);
  return -1;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::SetModuleCount(std::uint8_t count) {
  StoreField(tele_, offsetof(TeleRC, module_count), count);
  channels_.resize(count);
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
std::uint8_t PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::ModuleCount() const {
  return LoadField<std::uint8_t>(tele_, offsetof(TeleRC, module_count));
}

// Rectifier analog values (41h/41h):
//   0     1        5  6
//   +-----+--------+--+---------------------------------------------+
//   |flag |out_v   |M |M x { current (4) | P (1) | P x value (4) }  |
//   +-----+--------+--+---------------------------------------------+
// The first accepted reply fixes the module count; later ones must match it.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const unsigned char* data, int length) {
  static const char kInChannel[] =
      "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
  constexpr std::uint8_t kExpected = TeleRCChannel::P41_41_SIZE();
  ByteReader reader(data, length);
  reader.Skip(1);  // data flag, read by the bus device

  // The output voltage is taken before any check.
  if (!reader.ReadBytes(FieldAddress(tele_, offsetof(TeleRC, output_voltage)), 4)) {
    return RejectAnalog(kInChannel, reader.EndOf(4), length, false);
  }
  std::uint8_t count = 0;
  if (!reader.ReadU8(count)) return RejectAnalog(kInChannel, reader.EndOf(1), length, false);
  const bool fixing_count = channels_.empty();
  if (fixing_count) {
    SetModuleCount(count);
  } else if (count != ModuleCount()) {
    return -1;
  }

  for (TeleRCChannel& channel : channels_) {
    if (!reader.ReadBytes(FieldAddress(channel, offsetof(TeleRCChannel, output_current)), 4)) {
      return RejectAnalog(kInChannel, reader.EndOf(4), length, fixing_count);
    }
    std::uint8_t p = 0;
    if (!reader.ReadU8(p)) return RejectAnalog(kInChannel, reader.EndOf(1), length, fixing_count);
    StoreField(channel, offsetof(TeleRCChannel, user_analog_count), p);
    if (p != kExpected) {
      InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
              DataId(), p, kExpected);
      reader.Skip(4u * p);
      continue;
    }
    for (std::size_t i = 0; i < kExpected; ++i) {
      unsigned char value[4];
      if (!reader.ReadBytes(value, 4)) {
        return RejectAnalog(kInChannel, reader.EndOf(4), length, fixing_count);
      }
      // Four equal bytes are the no-data marker.
      if (value[0] == value[1] && value[1] == value[2] && value[2] == value[3]) {
        std::memset(value, 0, sizeof value);
      }
      std::memcpy(FieldAddress(channel, offsetof(TeleRCChannel, user_analog) + 4 * i), value, 4);
    }
  }
  if (reader.Overran()) {
    return RejectAnalog("PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}",
                        reader.Offset(), length, fixing_count);
  }
  return static_cast<int>(reader.Offset());
}

// Rectifier switch states (41h/43h); M may list fewer modules than known:
//   0     1  2
//   +-----+--+----------------------------------------------------------+
//   |flag |M |M x { on/off | limit | float/eq/test | P | P x state }   |
//   +-----+--+----------------------------------------------------------+
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const unsigned char* data, int length) {
  static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
  constexpr std::uint8_t kExpected = TeleRCChannel::P41_43_SIZE();
  static_assert(offsetof(TeleRCChannel, user_state_count) == offsetof(TeleRCChannel, on_off) + 3,
                "the four state bytes lie side by side");
  ByteReader reader(data, length);
  reader.Skip(1);  // data flag
  std::uint8_t count = 0;
  if (!reader.ReadU8(count)) {
    LogOverflow(kOverflow, reader.EndOf(1), length);
    return -1;
  }
  if (count > ModuleCount()) return -1;

  for (std::size_t i = 0; i < count; ++i) {
    TeleRCChannel& channel = channels_[i];
    if (!reader.ReadBytes(FieldAddress(channel, offsetof(TeleRCChannel, on_off)), 4)) {
      LogOverflow(kOverflow, reader.EndOf(4), length);
      return -1;
    }
    const auto p = LoadField<std::uint8_t>(channel, offsetof(TeleRCChannel, user_state_count));
    if (p != kExpected) {
      InfoLog(
          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
          DataId(), p, kExpected);
      reader.Skip(p);
      continue;
    }
    if (!reader.ReadBytes(FieldAddress(channel, offsetof(TeleRCChannel, user_state)), p)) {
      LogOverflow(kOverflow, reader.EndOf(p), length);
      return -1;
    }
  }
  if (reader.Overran()) {
    LogOverflow(kOverflow, reader.Offset(), length);
    return -1;
  }
  return static_cast<int>(reader.Offset());
}

// Rectifier alarm states (41h/44h):
//   0     1  2
//   +-----+--+-------------------------------------+
//   |flag |M |M x { fault | P | P x alarm state }  |
//   +-----+--+-------------------------------------+
// More modules than known is answered with 0, not -1.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const unsigned char* data, int length) {
  static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
  constexpr std::uint8_t kExpected = TeleRCChannel::P41_44_SIZE();
  ByteReader reader(data, length);
  reader.Skip(1);  // data flag
  std::uint8_t count = 0;
  if (!reader.ReadU8(count)) {
    LogOverflow(kOverflow, reader.EndOf(1), length);
    return -1;
  }
  if (ModuleCount() < count) {
    InfoLog(
        "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not "
        "equal {} != {} ",
        DataId(), static_cast<std::int32_t>(count), ModuleCount());
    return 0;
  }

  for (std::size_t i = 0; i < count; ++i) {
    TeleRCChannel& channel = channels_[i];
    std::uint8_t p = 0;
    if (!reader.ReadBytes(FieldAddress(channel, offsetof(TeleRCChannel, fault)), 1) ||
        !reader.ReadU8(p)) {
      LogOverflow(kOverflow, reader.EndOf(1), length);
      return -1;
    }
    StoreField(channel, offsetof(TeleRCChannel, user_alert_count), p);
    if (p != kExpected) {
      InfoLog(
          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
          DataId(), p, kExpected);
      reader.Skip(p);
      continue;
    }
    if (!reader.ReadBytes(FieldAddress(channel, offsetof(TeleRCChannel, user_alert)), p)) {
      LogOverflow(kOverflow, reader.EndOf(p), length);
      return -1;
    }
  }
  if (reader.Overran()) {
    LogOverflow(kOverflow, reader.Offset(), length);
    return -1;
  }
  return static_cast<int>(reader.Offset());
}

// AC distribution parameters (40h/46h):
//   0        4        8        12       16       20 21
//   +--------+--------+--------+--------+--------+--+--------------+
//   |v_upper |v_lower |i_upper |f_upper |f_lower |P |P x value (4) |
//   +--------+--------+--------+--------+--------+--+--------------+
// The user-defined values are skipped unread; the bus device compares the
// result with the length.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const unsigned char* data, int length) {
  static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
  const std::size_t fields[] = {
      offsetof(TeleRC, ac_voltage_upper), offsetof(TeleRC, ac_voltage_lower),
      offsetof(TeleRC, ac_current_upper), offsetof(TeleRC, frequency_upper),
      offsetof(TeleRC, frequency_lower)};
  ByteReader reader(data, length);
  for (std::size_t field : fields) {
    if (!reader.ReadBytes(FieldAddress(tele_, field), 4)) {
      LogOverflow(kOverflow, reader.EndOf(4), length);
      return -1;
    }
  }
  std::uint8_t p = 0;
  if (!reader.ReadU8(p)) {
    LogOverflow(kOverflow, reader.EndOf(1), length);
    return -1;
  }
  reader.Skip(4u * p);
  return static_cast<int>(reader.Offset());
}

// DC distribution parameters (42h/46h):
//   0        4        8  9
//   +--------+--------+--+--------------+
//   |v_upper |v_lower |P |P x value (4) |
//   +--------+--------+--+--------------+
// With the expected P the values are copied as far as the payload holds them.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const unsigned char* data, int length) {
  static const char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";
  constexpr std::uint8_t kExpected = TeleRC::P42_46_NUMBER();
  ByteReader reader(data, length);
  for (std::size_t field :
       {offsetof(TeleRC, dc_voltage_upper), offsetof(TeleRC, dc_voltage_lower)}) {
    if (!reader.ReadBytes(FieldAddress(tele_, field), 4)) {
      LogOverflow(kOverflow, reader.EndOf(4), length);
      return -1;
    }
  }
  std::uint8_t p = 0;
  if (!reader.ReadU8(p)) {
    LogOverflow(kOverflow, reader.EndOf(1), length);
    return -1;
  }
  StoreField(tele_, offsetof(TeleRC, dc_param_count), p);
  if (p != kExpected) {
    InfoLog("KTR19P:ProcotolError parse42_46 {} p:{} != {}", DataId(), p, kExpected);
    reader.Skip(4u * p);
    return static_cast<int>(reader.Offset());
  }
  const std::size_t copied = std::min<std::size_t>(TeleRC::P42_46_SIZE(), reader.Remaining());
  reader.ReadBytes(FieldAddress(tele_, offsetof(TeleRC, dc_param)), copied);
  return static_cast<int>(reader.Offset());
}
