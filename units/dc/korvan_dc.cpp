#include "units/dc/korvan_dc.h"

KORVAN_DC::KORVAN_DC() : KORVAN_DC(std::string()) {}

KORVAN_DC::KORVAN_DC(const std::string& model) : model_(model) { device_type_ = "korvan-dc"; }

bool KORVAN_DC::LoadFromCache(const unsigned char*, int) { return false; }
