#pragma once

#include "host/kmx_spdevice.h"

// AC distribution unit.
class KORVAN_AC final : public KMXSPDevice {
 public:
  KORVAN_AC();
  bool LoadFromCache(const unsigned char* data, int length) override;
};
