#pragma once

#include <atomic>
#include <ostream>

#include "host/plugin_entry.h"
#include "tools/replay/replay_script.h"
#include "tools/runtime/exit_codes.h"

namespace replay {

// Exit codes of a replay besides 0 (done); a plug-in that cannot be loaded is
// the runtime's code 3.
constexpr int kDeviceRefused = 1;  // no device of the type, or InitSetting refused (or threw)
constexpr int kScriptError = 2;    // the script is wrong (also a step naming an unknown device)
constexpr int kInterrupted = runtime::exit_codes::kInterrupted;  // stopped by a signal
constexpr int kDeviceFailed = runtime::exit_codes::kUnexpected;  // a step threw an exception

// Drives one bus device made by `providers` through the script, without
// framing: prints one JSON event per line on `out` and problems on `err`.
// The host clock is fixed to the script's time and the reply pause is skipped
// for the length of the replay. When `interrupted` becomes true the replay
// stops after the running step (a lose step stops waiting) with kInterrupted.
int RunScript(const Script& script, const ProviderList& providers, std::ostream& out,
              std::ostream& err, const std::atomic<bool>* interrupted = nullptr);

}  // namespace replay
