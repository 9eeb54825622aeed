#include "runtime/local_time_text.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace runtime {

std::string LocalTimeText(const boost::posix_time::ptime& time) {
  if (time.is_special()) return "0000-00-00 00:00:00";
  std::string text = boost::posix_time::to_iso_extended_string(time);
  const std::size_t fraction = text.find('.');
  if (fraction != std::string::npos) text.resize(fraction);
  const std::size_t separator = text.find('T');
  if (separator != std::string::npos) text[separator] = ' ';
  return text;
}

}  // namespace runtime
