#include "units/rc/korvan_rc.h"

KORVAN_RC::KORVAN_RC() { device_type_ = "korvan-rc"; }

bool KORVAN_RC::LoadFromCache(const unsigned char*, int) { return false; }
