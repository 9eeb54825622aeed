#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>

#include "host/host_api.h"

// The host's 7-byte time stamp:
//   byte 0-1  year, u16 least significant byte first
//   byte 2    month 1..12
//   byte 3    day 1..31
//   byte 4    hour 0..23
//   byte 5    minute 0..59
//   byte 6    second 0..59
// A special time (not_a_date_time, infinities) gives seven zero bytes.
struct ttime {
  unsigned char bytes[7];
};
static_assert(sizeof(ttime) == 7, "the host stamp is 7 bytes");

KMX_HOST_API ttime get_ttime(const boost::posix_time::ptime& time);
