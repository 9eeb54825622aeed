#pragma once

#include "host/pmbus_protocol.h"

// Power-system bus device.
class KORVAN final : public PMBusProtocol {
 public:
  KORVAN();
  bool LoadFromCache(const unsigned char* data, int length) override;
  int process_payload() override;
};
