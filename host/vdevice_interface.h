#pragma once

#include <string>

#include "host/host_api.h"

// The host's innermost device interface. The order of the virtual operations
// is the host's slot order and must not change: the host calls devices built
// against this header through their virtual tables.
class KMX_HOST_API VDeviceInterface {
 public:
  // Reads one named data point; throws std::out_of_range with a status text.
  virtual float Get_Value(unsigned int id, const std::string& name) const;
  // Restores the device from a cache blob; the text form carries the bytes.
  virtual bool LoadFromCache(const std::string& blob);
  virtual bool LoadFromCache(const unsigned char* data, int length) = 0;
  virtual unsigned int DataId() const = 0;
  virtual std::string DeviceType() const = 0;
  virtual bool DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                               int& returned) = 0;
  // Called once per completed polling cycle.
  virtual void RoundDone();
  virtual bool UseControllerDb() const = 0;
  virtual ~VDeviceInterface() = default;
};
