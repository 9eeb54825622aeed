#include "plugin/providers.h"

#include "bus/korvan.h"
#include "units/ac/korvan_ac.h"
#include "units/dc/korvan_dc.h"
#include "units/rc/korvan_rc.h"

KMXSPDevice* KORVANProvider::create() const { return new KORVAN(); }
KMXSPDevice* KORVAN_ACProvider::create() const { return new KORVAN_AC(); }
KMXSPDevice* KORVAN_DCProvider::create() const { return new KORVAN_DC(); }
KMXSPDevice* KORVAN_RCProvider::create() const { return new KORVAN_RC(); }
