#include "units/rc/korvan_rc.h"

template class PMBusPowerRC<tele_c_korvan_rc, tele_c_korvan_rc_channel, 5211>;

KORVAN_RC::KORVAN_RC() {
  device_type_ = "korvan-rc";
}
