#pragma once

#include "units/rc/pmbus_power_rc.h"
#include "units/rc/tele_pmbuspower_rc.h"

// The group's logic is compiled once, in korvan_rc.cpp.
extern template class PMBusPowerRC<tele_c_korvan_rc, tele_c_korvan_rc_channel, 5211>;

// Rectifier group of a KORVAN power system.
class KORVAN_RC final : public PMBusPowerRC<tele_c_korvan_rc, tele_c_korvan_rc_channel, 5211> {
 public:
  KORVAN_RC();
};
