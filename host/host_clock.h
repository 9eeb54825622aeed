#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <functional>

#include "host/host_api.h"

// Local time and the reply pause as the host provides them to devices.
// By default these are the system's local clock (second resolution) and
// usleep. A host tool (replay, fuzzing, benchmarks, tests) may install its own
// clock or pause; the production runtime never does.
namespace host_clock {

KMX_HOST_API boost::posix_time::ptime LocalNow();
KMX_HOST_API void Pause(unsigned int microseconds);

using ClockFunction = std::function<boost::posix_time::ptime()>;
using PauseFunction = std::function<void(unsigned int)>;

// A clock other than the system's local time is installed: local times
// cannot be mapped to moments of the steady clock.
KMX_HOST_API bool ClockInstalled();

// While held, LocalNow on the calling thread answers `time`: a capture
// holds the time it wrote for a reply while the reply is handled, so that a
// replay, which knows only that time, stamps the records alike.
KMX_HOST_API void HoldOnThisThread(const boost::posix_time::ptime& time);
KMX_HOST_API void ReleaseOnThisThread();

// An empty function restores the default.
KMX_HOST_API void SetClock(ClockFunction clock);
KMX_HOST_API void SetPause(PauseFunction pause);

}  // namespace host_clock
