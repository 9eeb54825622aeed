#pragma once

#include "bus/pmbus_power.h"
#include "units/ac/korvan_ac.h"
#include "units/dc/korvan_dc.h"
#include "units/rc/korvan_rc.h"

// The KORVAN power system's bus device.
class KORVAN final : public PMBusPower<KORVAN_AC, KORVAN_DC, KORVAN_RC> {
 public:
  KORVAN();
  ~KORVAN() override;
};
