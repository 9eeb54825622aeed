#include "fuzz/fixed_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/host_clock.h"

namespace fixed_host {
namespace {

const boost::posix_time::ptime kStart = boost::posix_time::time_from_string("2026-03-01 08:00:00");
boost::posix_time::ptime now = kStart;

}  // namespace

void BeginInput() {
  static const bool installed = [] {
    host_clock::SetClock([] { return now; });
    host_clock::SetPause([](unsigned int) {});
    return true;
  }();
  (void)installed;
  now = kStart;
}

boost::posix_time::ptime Now() {
  return now;
}

void Advance(int seconds) {
  now += boost::posix_time::seconds(seconds);
}

}  // namespace fixed_host
