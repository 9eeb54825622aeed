#include "units/ac/korvan_ac.h"

KORVAN_AC::KORVAN_AC() {
  device_type_ = "korvan-ac";
}

void KORVAN_AC::DoImpCheckAlert() {}
