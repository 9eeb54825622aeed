#include "fuzz/channel_point_oracle.h"

#include <cstdint>

// g++ warns about members of std::function inside libstdc++'s regex
// compiler that it cannot see initialised; they are.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>

ChannelPointAnswer AskChannelPointOracle(const std::string& name) {
  static const std::regex kChannelPoint("channel_(\\d+)_(.+?)");
  ChannelPointAnswer answer;
  std::smatch hit;
  if (!std::regex_search(name, hit, kChannelPoint)) return answer;
  answer.found = true;
  for (char digit : hit[1].str()) {
    const std::size_t value = static_cast<std::size_t>(digit - '0');
    answer.index = answer.index > (SIZE_MAX - value) / 10 ? SIZE_MAX : answer.index * 10 + value;
  }
  answer.key = hit[2].str()[0];
  return answer;
}
