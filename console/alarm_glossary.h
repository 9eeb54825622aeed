#pragma once

#include <string>
#include <vector>

namespace runtime {

// English glosses of the alarms that the units and the runtime raise. The
// devices name their alarms in Chinese; those names and texts are stored and
// printed as they are, and the console adds the gloss next to them.
struct AlarmGlossEntry {
  const char* id;
  const char* code;  // the gloss holds for this code of the id
  const char* gloss;
};

// Every entry, in the order of the units' tables: AC, DC, rectifier, bus
// device, runtime.
const std::vector<AlarmGlossEntry>& AlarmGlossary();

// The gloss of the alarm with this id and code; empty when there is none
// (also when the id is known with another code, whose meaning may differ).
std::string AlarmGloss(const std::string& id, const std::string& code);

}  // namespace runtime
