#pragma once

#include "host/provider.h"

// One factory per kind of device in this plug-in.
class KORVANProvider final : public KMXSPDeviceProvider {
 public:
  KMXSPDevice* create() const override;
};

class KORVAN_ACProvider final : public KMXSPDeviceProvider {
 public:
  KMXSPDevice* create() const override;
};

class KORVAN_DCProvider final : public KMXSPDeviceProvider {
 public:
  KMXSPDevice* create() const override;
};

class KORVAN_RCProvider final : public KMXSPDeviceProvider {
 public:
  KMXSPDevice* create() const override;
};
