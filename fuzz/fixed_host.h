#pragma once

#include <boost/date_time/posix_time/ptime.hpp>

// The host's clock and reply pause as the fuzz targets install them: a local
// time that only the target moves, and a pause that returns at once.
namespace fixed_host {

// Installs both (once per process) and sets the time back to its start, so
// that every input runs alike however many ran before it. Call at the start
// of each input.
void BeginInput();

boost::posix_time::ptime Now();
void Advance(int seconds);

}  // namespace fixed_host
