#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The replies of one polling cycle of a measured power system, written from
// the wire layouts with typical values: mains near 230 V and 50 Hz, a few
// alarm states active, one failed rectifier module.
namespace bench_system {

using Bytes = std::vector<unsigned char>;

struct Shape {
  int ac_units = 4;
  int ac_channels = 3;  // per AC unit
  int dc_units = 4;
  int modules = 50;
  // Data flag of the three analog replies: 11h asks for the switch and alarm
  // states every cycle, 0 lets a ready bus device skip them.
  std::uint8_t data_flag = 0x11;
};

// INFO of one reply. A unit's block alone (AcAnalogBlock ...) is what the bus
// device hands that unit's parse operation.
Bytes AcAnalogBlock(const Shape& shape, int unit);
Bytes AcSwitchBlock();
Bytes AcAlarmBlock(const Shape& shape, int unit);
Bytes DcAnalogBlock(int unit);
Bytes DcAlarmBlock(int unit);

Bytes AcAnalog(const Shape& shape);
Bytes AcSwitch(const Shape& shape);
Bytes AcAlarm(const Shape& shape);
Bytes RcAnalog(const Shape& shape);
Bytes RcSwitch(const Shape& shape);
Bytes RcAlarm(const Shape& shape);
Bytes DcAnalog(const Shape& shape);
Bytes DcAlarm(const Shape& shape);
Bytes AcParameters();
Bytes DcParameters();
Bytes Model();

// INFO of the reply to (group, command); empty when the cycle has no such request.
Bytes ReplyInfo(const Shape& shape, std::uint8_t group, std::uint8_t command);

// Characters on the line of a frame with `info_bytes` INFO bytes: SOI, eight
// header and four check-sum characters, two per INFO byte, EOI.
constexpr std::size_t FrameCharacters(std::size_t info_bytes) {
  return 18 + 2 * info_bytes;
}

}  // namespace bench_system
