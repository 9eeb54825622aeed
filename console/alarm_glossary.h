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
  // "{n}" stands for the channel, fuse or module number that the device's
  // text gives after `number_after`; without one, " {n}" is left out.
  const char* gloss;
  const char* number_after = nullptr;  // the text's start before the number, or none
};

// Every entry, in the order of the units' tables: AC, DC, rectifier, bus
// device, runtime.
const std::vector<AlarmGlossEntry>& AlarmGlossary();

// The gloss of the alarm with this id and code, with the number that the
// device's alarm `text` carries ("模块2整流模块故障告警": "rectifier module 2
// fault"); empty when there is none (also when the id is known with another
// code, whose meaning may differ).
std::string AlarmGloss(const std::string& id, const std::string& code, const std::string& text);

}  // namespace runtime
