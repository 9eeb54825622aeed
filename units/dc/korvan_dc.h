#pragma once

#include <string>

#include "units/dc/pmbus_power_dc.h"
#include "units/dc/tele_pmbuspower_dc.h"

// The KORVAN DC distribution unit: its record, published as type 5210, and
// the low-voltage disconnection, load fuse and battery alarms of its eleven
// user-defined alarm states.
class KORVAN_DC final : public PMBusPowerDC<tele_c_korvan_dc, 5210> {
 public:
  KORVAN_DC();
  explicit KORVAN_DC(const std::string& model);

 protected:
  void DoImpCheckAlert() override;
};
