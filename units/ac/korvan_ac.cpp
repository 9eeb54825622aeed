#include "units/ac/korvan_ac.h"

KORVAN_AC::KORVAN_AC() { device_type_ = "korvan-ac"; }

bool KORVAN_AC::LoadFromCache(const unsigned char*, int) { return false; }
