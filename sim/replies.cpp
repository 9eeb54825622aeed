#include "sim/replies.h"

#include <cstdio>

#include "sim/info_writer.h"

namespace replies {

std::string Name(std::uint8_t group, std::uint8_t command) {
  char text[16];
  std::snprintf(text, sizeof text, "%02Xh/%02Xh", group, command);
  return text;
}

bool Build(const PowerSystem& system, std::uint8_t group, std::uint8_t command,
           std::vector<std::uint8_t>& info) {
  using Encoder = void (*)(const PowerSystem&, std::vector<std::uint8_t>&);
  struct Row {
    std::uint8_t group, command;
    Encoder encode;
  };
  static const Row kRows[] = {
      {kAc, kModel, Model},
      {kAc, kAnalog, AcAnalog},
      {kAc, kSwitches, AcSwitches},
      {kAc, kAlarms, AcAlarms},
      {kRectifier, kAnalog, RectifierAnalog},
      {kRectifier, kSwitches, RectifierSwitches},
      {kRectifier, kAlarms, RectifierAlarms},
      {kDc, kAnalog, DcAnalog},
      {kDc, kAlarms, DcAlarms},
      {kAc, kParameters, AcParameters},
      {kDc, kParameters, DcParameters},
  };
  for (const Row& row : kRows) {
    if (row.group == group && row.command == command) {
      row.encode(system, info);
      return true;
    }
  }
  return false;
}

// 40h/41h, one block per AC unit after the head:
//   0        1        2
//   +--------+--------+---- per unit ----
//   | flag   | units  | block
//
// Block, n channels, 13 + 17n bytes:
//   0      1 ... 4   5 ... 8   9 ... 12  13 ... 16  17     (per channel k, +17k)
//   +------+---------+---------+---------+----------+------+
//   | n    | AB/A    | BC/B    | CA/C    | freq     | P=0  |
//   then   ia (4), ib (4), ic (4)
void AcAnalog(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.AcFlag());
  out.U8(static_cast<int>(system.Ac().size()));
  for (const AcUnit& unit : system.Ac()) {
    out.U8(static_cast<int>(unit.channels.size()));
    for (const AcChannel& channel : unit.channels) {
      out.Float(channel.a);
      out.Float(channel.b);
      out.Float(channel.c);
      out.Float(channel.f);
      out.U8(0);  // no user-defined analog values
    }
    out.Float(unit.ia);
    out.Float(unit.ib);
    out.Float(unit.ic);
  }
}

// 40h/43h, after flag and unit count, per unit 6 bytes:
//   0      1      2 ... 5
//   +------+------+--------------+
//   | m=0  | P=4  | user states  |
void AcSwitches(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.AcFlag());
  out.U8(static_cast<int>(system.Ac().size()));
  for (const AcUnit& unit : system.Ac()) {
    out.U8(0);  // no switches
    out.U8(static_cast<int>(unit.user_state.size()));
    out.Bytes(unit.user_state.data(), unit.user_state.size());
  }
}

// 40h/44h, after flag and unit count, per unit 4 + 9n bytes:
//   0    1     2     3     4     5     6     7 ... 9      (per channel k, +9k)
//   +----+-----+-----+-----+-----+-----+-----+---------+
//   | n  | AB  | BC  | CA  | f   | m=0 | P=3 | user    |
//   then ia, ib, ic alarm states (1 byte each)
void AcAlarms(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.AcFlag());
  out.U8(static_cast<int>(system.Ac().size()));
  for (const AcUnit& unit : system.Ac()) {
    out.U8(static_cast<int>(unit.channels.size()));
    for (const AcChannel& channel : unit.channels) {
      out.Bytes(channel.alert.data(), channel.alert.size());
      out.U8(0);  // no fuses or switches
      out.U8(static_cast<int>(channel.user_alert.size()));
      out.Bytes(channel.user_alert.data(), channel.user_alert.size());
    }
    out.Bytes(unit.current_alert.data(), unit.current_alert.size());
  }
}

// 41h/41h, 6 + 5M bytes:
//   0      1 ... 4    5     6 ... 9    10     (per module k, +5k)
//   +------+----------+-----+----------+------+
//   | flag | voltage  | M   | current  | P=0  |
void RectifierAnalog(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.RectifierFlag());
  out.Float(system.OutputVoltage());
  out.U8(static_cast<int>(system.Rectifiers().size()));
  for (const Rectifier& module : system.Rectifiers()) {
    out.Float(module.current);
    out.U8(0);
  }
}

// 41h/43h, 2 + 5M bytes:
//   0      1     2       3        4       5     6       (per module k, +5k)
//   +------+-----+-------+--------+-------+-----+-------+
//   | flag | M   | on/off| limit  | mode  | P=1 | user  |
void RectifierSwitches(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.RectifierFlag());
  out.U8(static_cast<int>(system.Rectifiers().size()));
  for (const Rectifier& module : system.Rectifiers()) {
    out.U8(module.on_off);
    out.U8(module.current_limit);
    out.U8(module.charge_mode);
    out.U8(1);
    out.U8(module.user_state);
  }
}

// 41h/44h, 2 + 2M bytes:
//   0      1     2       3       (per module k, +2k)
//   +------+-----+-------+-------+
//   | flag | M   | fault | P=0   |
void RectifierAlarms(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.RectifierFlag());
  out.U8(static_cast<int>(system.Rectifiers().size()));
  for (const Rectifier& module : system.Rectifiers()) {
    out.U8(module.fault);
    out.U8(0);
  }
}

// 42h/41h, after flag and unit count, per unit 47 bytes:
//   0 ... 3  4 ... 7  8     9 ... 20   21    22    23 ... 46
//   +--------+--------+-----+----------+-----+-----+-----------+
//   | v      | i      | M=3 | M values | N=0 | P=6 | user (6)  |
void DcAnalog(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.DcFlag());
  out.U8(static_cast<int>(system.Dc().size()));
  for (const DcUnit& unit : system.Dc()) {
    out.Float(unit.v);
    out.Float(unit.i);
    out.U8(static_cast<int>(unit.m_value.size()));
    for (float value : unit.m_value) out.Float(value);
    out.U8(0);
    out.U8(static_cast<int>(unit.user_p.size()));
    for (float value : unit.user_p) out.Float(value);
  }
}

// 42h/44h, after flag and unit count, per unit 34 bytes:
//   0        1       2 ... 21      22      23 ... 33
//   +--------+-------+-------------+-------+-------------+
//   | state  | M=20  | fuse states | P=11  | user states |
void DcAlarms(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.U8(system.DcFlag());
  out.U8(static_cast<int>(system.Dc().size()));
  for (const DcUnit& unit : system.Dc()) {
    out.U8(unit.dc_state);
    out.U8(static_cast<int>(unit.alert_m.size()));
    out.Bytes(unit.alert_m.data(), unit.alert_m.size());
    out.U8(static_cast<int>(unit.alert_p.size()));
    out.Bytes(unit.alert_p.data(), unit.alert_p.size());
  }
}

// 40h/46h, 21 bytes:
//   0 ... 3   4 ... 7   8 ... 11   12 ... 15  16 ... 19  20
//   +---------+---------+----------+----------+----------+-----+
//   | V upper | V lower | I upper  | f upper  | f lower  | P=0 |
void AcParameters(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  const Parameters& p = system.Params();
  out.Float(p.ac_voltage_upper);
  out.Float(p.ac_voltage_lower);
  out.Float(p.ac_current_upper);
  out.Float(p.frequency_upper);
  out.Float(p.frequency_lower);
  out.U8(0);
}

// 42h/46h, 65 bytes:
//   0 ... 3   4 ... 7   8      9 ... 64
//   +---------+---------+------+-------------------+
//   | V upper | V lower | P=14 | user (14 floats)  |
void DcParameters(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  const Parameters& p = system.Params();
  out.Float(p.dc_voltage_upper);
  out.Float(p.dc_voltage_lower);
  out.U8(static_cast<int>(p.dc_param.size()));
  for (float value : p.dc_param) out.Float(value);
}

// 40h/51h: the model name, blank-padded to 20 bytes.
void Model(const PowerSystem& system, std::vector<std::uint8_t>& info) {
  InfoWriter out(info);
  out.Text(system.Config().model, kModelWidth);
}

}  // namespace replies
