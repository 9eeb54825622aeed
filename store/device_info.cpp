#include "store/device_info.h"

#include "runtime/record_types.h"
#include "runtime/system_config.h"

namespace runtime {

std::vector<DeviceInfo> DevicesOf(const SystemConfig& system) {
  std::vector<DeviceInfo> devices;
  const struct {
    const char* setting;
    const char* kind;
    int record_type;
  } kinds[] = {{"acSetting", "ac", record_types::kAcUnit},
               {"dcSetting", "dc", record_types::kDcUnit}};
  for (const auto& kind : kinds) {
    const Json::Value& units = system.settings[kind.setting];
    if (!units.isArray()) continue;
    int position = 0;
    for (const Json::Value& unit : units) {
      ++position;
      // Checked when the configuration was read; a unit without its own id
      // names no device.
      if (!unit.isObject() || !unit["data_id"].isUInt()) continue;
      devices.push_back(
          {unit["data_id"].asUInt(), system.name, kind.kind, position, kind.record_type});
    }
  }
  devices.push_back({system.data_id, system.name, "rectifiers", 1, record_types::kRectifierGroup});
  return devices;
}

}  // namespace runtime
