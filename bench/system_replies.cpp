#include "bench/system_replies.h"

#include <cstring>

namespace bench_system {
namespace {

// Little-endian writer of INFO bytes.
class Writer {
 public:
  Writer& U8(unsigned int value) {
    bytes_.push_back(static_cast<unsigned char>(value));
    return *this;
  }
  Writer& F32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(bits >> (8 * i)));
    return *this;
  }
  Writer& Raw(const Bytes& more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    return *this;
  }
  Bytes Take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// A value that differs a little between units and channels, as real readings do.
float Reading(float centre, int unit, int index) {
  return centre + 0.25f * static_cast<float>(unit) - 0.125f * static_cast<float>(index);
}

}  // namespace

// One AC unit in 40h/41h:
//   0      1                                           1+17n          13+17n
//   +------+-------------------------------------------+--------------+
//   | n    | n x { a f32 | b f32 | c f32 | f f32 | P=0 }| ia | ib | ic |
//   +------+-------------------------------------------+--------------+
Bytes AcAnalogBlock(const Shape& shape, int unit) {
  Writer w;
  w.U8(static_cast<unsigned int>(shape.ac_channels));
  for (int k = 0; k < shape.ac_channels; ++k) {
    w.F32(Reading(230.0f, unit, k)).F32(Reading(231.0f, unit, k)).F32(Reading(229.0f, unit, k));
    w.F32(Reading(50.0f, unit, k)).U8(0);
  }
  w.F32(Reading(12.0f, unit, 0)).F32(Reading(12.5f, unit, 1)).F32(Reading(11.5f, unit, 2));
  return w.Take();
}

// One AC unit in 40h/43h: m = 0 switch states, p = 4 user-defined states.
Bytes AcSwitchBlock() {
  Writer w;
  w.U8(0).U8(4).U8(0).U8(1).U8(0).U8(0);
  return w.Take();
}

// One AC unit in 40h/44h:
//   0    1                                              1+9n
//   +----+----------------------------------------------+-----------------+
//   | n  | n x { a b c f states | m=0 | p=3 | 3 states } | ia ib ic states |
//   +----+----------------------------------------------+-----------------+
// The first channel of the first unit reports low voltage on phase A.
Bytes AcAlarmBlock(const Shape& shape, int unit) {
  Writer w;
  w.U8(static_cast<unsigned int>(shape.ac_channels));
  for (int k = 0; k < shape.ac_channels; ++k) {
    w.U8(unit == 0 && k == 0 ? 1 : 0).U8(0).U8(0).U8(0);
    w.U8(0).U8(3).U8(0).U8(0).U8(0);
  }
  w.U8(0).U8(0).U8(0);
  return w.Take();
}

// One DC unit in 42h/41h: v, i, m = 3 battery currents, n = 0, p = 6
// battery voltages and temperatures (47 bytes).
Bytes DcAnalogBlock(int unit) {
  Writer w;
  w.F32(Reading(53.5f, unit, 0)).F32(Reading(120.0f, unit, 0)).U8(3);
  for (int k = 0; k < 3; ++k) w.F32(Reading(-5.0f, unit, k));
  w.U8(0).U8(6);
  for (int k = 0; k < 3; ++k) w.F32(Reading(53.4f, unit, k)).F32(Reading(25.0f, unit, k));
  return w.Take();
}

// One DC unit in 42h/44h: dc_state, 20 battery fuse states, 11 user-defined
// states (34 bytes). The last unit reports one blown battery fuse.
Bytes DcAlarmBlock(int unit) {
  Writer w;
  w.U8(0).U8(20);
  for (int k = 0; k < 20; ++k) w.U8(unit == 3 && k == 7 ? 3 : 0);
  w.U8(11);
  for (int k = 0; k < 11; ++k) w.U8(0);
  return w.Take();
}

Bytes AcAnalog(const Shape& shape) {
  Writer w;
  w.U8(shape.data_flag).U8(static_cast<unsigned int>(shape.ac_units));
  for (int unit = 0; unit < shape.ac_units; ++unit) w.Raw(AcAnalogBlock(shape, unit));
  return w.Take();
}

Bytes AcSwitch(const Shape& shape) {
  Writer w;
  w.U8(0).U8(static_cast<unsigned int>(shape.ac_units));
  for (int unit = 0; unit < shape.ac_units; ++unit) w.Raw(AcSwitchBlock());
  return w.Take();
}

Bytes AcAlarm(const Shape& shape) {
  Writer w;
  w.U8(0).U8(static_cast<unsigned int>(shape.ac_units));
  for (int unit = 0; unit < shape.ac_units; ++unit) w.Raw(AcAlarmBlock(shape, unit));
  return w.Take();
}

// 41h/41h: flag, output voltage, M, then M x { current, P = 0 }.
Bytes RcAnalog(const Shape& shape) {
  Writer w;
  w.U8(shape.data_flag).F32(53.5f).U8(static_cast<unsigned int>(shape.modules));
  for (int m = 0; m < shape.modules; ++m) w.F32(Reading(30.0f, 0, m % 8)).U8(0);
  return w.Take();
}

// 41h/43h: flag, M, then M x { on/off, limit, mode, P = 1, state }.
Bytes RcSwitch(const Shape& shape) {
  Writer w;
  w.U8(0).U8(static_cast<unsigned int>(shape.modules));
  for (int m = 0; m < shape.modules; ++m) w.U8(0).U8(0).U8(0).U8(1).U8(0);
  return w.Take();
}

// 41h/44h: flag, M, then M x { fault, P = 0 }; module 17 has failed.
Bytes RcAlarm(const Shape& shape) {
  Writer w;
  w.U8(0).U8(static_cast<unsigned int>(shape.modules));
  for (int m = 0; m < shape.modules; ++m) w.U8(m == 16 ? 1 : 0).U8(0);
  return w.Take();
}

// 42h/41h. Up to three units the blocks follow the count byte; with more the
// first block starts at the count byte itself, so the low byte of the first
// unit's voltage is the count.
Bytes DcAnalog(const Shape& shape) {
  Writer w;
  w.U8(shape.data_flag);
  if (shape.dc_units <= 3) w.U8(static_cast<unsigned int>(shape.dc_units));
  for (int unit = 0; unit < shape.dc_units; ++unit) w.Raw(DcAnalogBlock(unit));
  Bytes info = w.Take();
  if (shape.dc_units > 3) info[1] = static_cast<unsigned char>(shape.dc_units);
  return info;
}

Bytes DcAlarm(const Shape& shape) {
  Writer w;
  w.U8(0).U8(static_cast<unsigned int>(shape.dc_units));
  for (int unit = 0; unit < shape.dc_units; ++unit) w.Raw(DcAlarmBlock(unit));
  return w.Take();
}

// 40h/46h: five limits and P = 0.
Bytes AcParameters() {
  Writer w;
  w.F32(280.0f).F32(180.0f).F32(63.0f).F32(55.0f).F32(45.0f).U8(0);
  return w.Take();
}

// 42h/46h: two limits and P = 14 user-defined values.
Bytes DcParameters() {
  Writer w;
  w.F32(57.6f).F32(45.0f).U8(14);
  for (int k = 0; k < 14; ++k) w.F32(static_cast<float>(k) * 0.5f);
  return w.Take();
}

// 40h/51h: the model name in a 20-byte field padded with NUL bytes.
Bytes Model() {
  Bytes field(20, 0);
  const char name[] = "KORVAN3";
  std::memcpy(field.data(), name, sizeof name - 1);
  return field;
}

Bytes ReplyInfo(const Shape& shape, std::uint8_t group, std::uint8_t command) {
  const unsigned key = static_cast<unsigned>(group) << 8 | command;
  switch (key) {
    case 0x4051:
      return Model();
    case 0x4041:
      return AcAnalog(shape);
    case 0x4043:
      return AcSwitch(shape);
    case 0x4044:
      return AcAlarm(shape);
    case 0x4141:
      return RcAnalog(shape);
    case 0x4143:
      return RcSwitch(shape);
    case 0x4144:
      return RcAlarm(shape);
    case 0x4241:
      return DcAnalog(shape);
    case 0x4244:
      return DcAlarm(shape);
    case 0x4046:
      return AcParameters();
    case 0x4246:
      return DcParameters();
    default:
      return Bytes();
  }
}

}  // namespace bench_system
