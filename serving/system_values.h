#pragma once

#include <vector>

#include "records/vocabulary.h"
#include "serving/latest_state.h"

namespace serving {

// A system's values by vocabulary name, from the newest record of each of its
// devices, followed by the standard names they allow. Devices without a record
// (or whose record does not decode) add nothing.
std::vector<vocabulary::NamedValue> SystemValues(const SystemState& state);

}  // namespace serving
