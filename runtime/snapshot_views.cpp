#include "runtime/snapshot_views.h"

#include "units/common/byte_reader.h"

namespace runtime {

namespace {

constexpr std::size_t kAcHeadBytes = 33;
constexpr std::size_t kAcChannelCountOffset = 16;
constexpr std::size_t kAcChannelBytes = 25;

constexpr std::size_t kRcSystemBytes = 101;
constexpr std::size_t kRcOutputVoltageOffset = 89;
constexpr std::size_t kRcModuleCountOffset = 93;
constexpr std::size_t kRcModuleBytes = 12;

int Length(const std::vector<unsigned char>& record) {
  return record.size() > 0x7FFFFFFF ? 0 : static_cast<int>(record.size());
}

}  // namespace

std::optional<unsigned int> AcChannelCount(const std::vector<unsigned char>& record) {
  ByteReader reader(record.data(), Length(record));
  reader.Skip(kAcChannelCountOffset);
  std::uint8_t count = 0;
  if (!reader.ReadU8(count)) return std::nullopt;
  if (record.size() != kAcHeadBytes + kAcChannelBytes * count) return std::nullopt;
  return count;
}

std::optional<RectifierView> ReadRectifierSnapshot(const std::vector<unsigned char>& record) {
  ByteReader reader(record.data(), Length(record));
  RectifierView view;
  std::uint8_t count = 0;
  reader.Skip(kRcOutputVoltageOffset);
  if (!reader.ReadBytes(&view.output_voltage, sizeof view.output_voltage)) return std::nullopt;
  if (!reader.ReadU8(count)) return std::nullopt;
  if (record.size() != kRcSystemBytes + kRcModuleBytes * count) return std::nullopt;
  reader.Skip(kRcSystemBytes - kRcModuleCountOffset - 1);
  view.modules.resize(count);
  for (RectifierModule& module : view.modules) {
    const unsigned char* bytes = reader.Take(kRcModuleBytes);
    if (bytes == nullptr) return std::nullopt;
    ByteReader fields(bytes, static_cast<int>(kRcModuleBytes));
    std::uint8_t user_count = 0;
    std::uint8_t user_state[2] = {};
    fields.ReadBytes(&module.output_current, sizeof module.output_current);
    fields.ReadU8(user_count);
    fields.ReadU8(module.on_off);
    fields.ReadU8(module.current_limit);
    fields.ReadU8(module.charge_mode);
    fields.ReadBytes(user_state, 2);  // user state count and the one user state
    fields.ReadU8(module.fault);
  }
  return view;
}

}  // namespace runtime
