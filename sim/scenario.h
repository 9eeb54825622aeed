#pragma once

#include <functional>
#include <istream>
#include <string>

#include "sim/simulator.h"

// Plays a scenario: one command per line (sim/commands.h), "wait SECONDS"
// pausing through `sleep`. Stops at the first line that fails, with `error`
// naming its line number; `stop` (checked between lines) ends it early.
bool RunScenario(Simulator& simulator, std::istream& lines,
                 const std::function<void(double)>& sleep, std::string& error,
                 const std::function<bool()>& stop = nullptr);
