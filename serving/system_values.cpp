#include "serving/system_values.h"

#include <json/value.h>

#include <string>

#include "records/record_decode.h"

namespace serving {

std::vector<vocabulary::NamedValue> SystemValues(const SystemState& state) {
  std::vector<vocabulary::NamedValue> values;
  for (const DeviceEntry& device : state.devices) {
    const auto found = state.records.find(runtime::DeviceKey{device.data_id, device.record_type});
    if (found == state.records.end() || !found->second.bytes) continue;
    const std::vector<unsigned char>& bytes = *found->second.bytes;
    Json::Value record;
    std::string error;
    if (!records::Decode(device.record_type, bytes.data(), bytes.size(), record, error)) continue;
    const std::vector<vocabulary::NamedValue> own = vocabulary::ValuesOf(
        device.record_type, found->second.unit > 0 ? found->second.unit : device.unit, record);
    values.insert(values.end(), own.begin(), own.end());
  }
  const std::vector<vocabulary::NamedValue> standard = vocabulary::StandardValues(values);
  values.insert(values.end(), standard.begin(), standard.end());
  return values;
}

}  // namespace serving
