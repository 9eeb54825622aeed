#pragma once

#include "host/kmx_spdevice.h"

// Rectifier group.
class KORVAN_RC final : public KMXSPDevice {
 public:
  KORVAN_RC();
  bool LoadFromCache(const unsigned char* data, int length) override;
};
