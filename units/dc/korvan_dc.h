#pragma once

#include <string>

#include "host/kmx_spdevice.h"

// DC distribution unit.
class KORVAN_DC final : public KMXSPDevice {
 public:
  KORVAN_DC();
  explicit KORVAN_DC(const std::string& model);
  bool LoadFromCache(const unsigned char* data, int length) override;

 private:
  std::string model_;
};
