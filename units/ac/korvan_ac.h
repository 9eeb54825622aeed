#pragma once

#include "units/ac/pmbus_power_ac.h"
#include "units/ac/tele_pmbuspower_ac.h"

// AC distribution unit of the KORVAN power system (device type "korvan-ac"),
// publishing its snapshot under record type 5209.
class KORVAN_AC final : public PMBusPowerAC<tele_c_korvan_ac, tele_c_korvan_ac_channel, 5209> {
 public:
  KORVAN_AC();

 protected:
  // KORVAN adds no alarms of its own.
  void DoImpCheckAlert() override;
};
