#include "units/ac/ac_alarm_table.h"

#include <boost/lexical_cast.hpp>

namespace ac_alarm {

std::string ChannelTextPrefix(std::size_t index) {
  return "交流屏" + boost::lexical_cast<std::string>(index + 1);
}

}  // namespace ac_alarm
