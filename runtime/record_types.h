#pragma once

#include <string>

namespace runtime {

// Record type numbers under which the plug-in's devices publish their
// records, by device type.
namespace record_types {

constexpr int kUnknown = 0;  // also the bus device, which publishes nothing
constexpr int kAcUnit = 5209;
constexpr int kDcUnit = 5210;
constexpr int kRectifierGroup = 5211;

// kUnknown for a device type that this runtime does not know.
int OfDeviceType(const std::string& device_type);

}  // namespace record_types

}  // namespace runtime
