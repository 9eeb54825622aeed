#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstring>

ttime get_ttime(const boost::posix_time::ptime& time) {
  ttime stamp;
  std::memset(stamp.bytes, 0, sizeof stamp.bytes);
  if (time.is_special()) return stamp;
  const boost::gregorian::date day = time.date();
  const boost::posix_time::time_duration clock = time.time_of_day();
  const unsigned int year = day.year();
  stamp.bytes[0] = static_cast<unsigned char>(year & 0xFF);
  stamp.bytes[1] = static_cast<unsigned char>(year >> 8);
  stamp.bytes[2] = static_cast<unsigned char>(day.month().as_number());
  stamp.bytes[3] = static_cast<unsigned char>(day.day());
  stamp.bytes[4] = static_cast<unsigned char>(clock.hours());
  stamp.bytes[5] = static_cast<unsigned char>(clock.minutes());
  stamp.bytes[6] = static_cast<unsigned char>(clock.seconds());
  return stamp;
}
