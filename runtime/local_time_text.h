#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <string>

namespace runtime {

// "YYYY-MM-DD HH:MM:SS": sorts as the time does, so the store compares it as text.
std::string LocalTimeText(const boost::posix_time::ptime& time);

}  // namespace runtime
