#pragma once

#include "host/host_api.h"

class KMXSPDevice;

// The host framework's device factory interface.
class KMX_HOST_API Provider {
 public:
  virtual ~Provider();
};

class KMX_HOST_API KMXSPDeviceProvider : public Provider {
 public:
  ~KMXSPDeviceProvider() override;
  // A new, unconfigured device; the caller owns it.
  virtual KMXSPDevice* create() const = 0;
};
