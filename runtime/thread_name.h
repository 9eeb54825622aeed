#pragma once

#include <string>

namespace runtime {

// Names the calling thread (cut to the kernel's 15 characters), so that
// `top -H`, `ps -L` and a profiler tell the polling threads and the
// outputs apart. Best effort: a failure changes nothing.
void NameThisThread(const std::string& name);

}  // namespace runtime
