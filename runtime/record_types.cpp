#include "runtime/record_types.h"

namespace runtime {

namespace record_types {

int OfDeviceType(const std::string& device_type) {
  if (device_type == "korvan-ac") return kAcUnit;
  if (device_type == "korvan-dc") return kDcUnit;
  if (device_type == "korvan-rc") return kRectifierGroup;
  return kUnknown;
}

}  // namespace record_types

}  // namespace runtime
