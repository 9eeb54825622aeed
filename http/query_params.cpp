#include "http/query_params.h"

#include <cstdio>
#include <ctime>

namespace http_output {

namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::optional<std::int64_t> UnixSeconds(const std::string& local_text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (local_text.size() != 19 ||
      std::sscanf(local_text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour,
                  &minute, &second, &used) != 6 ||
      used != 19 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  const std::time_t moment = std::mktime(&fields);
  if (moment == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(moment);
}

std::string LocalTextOf(std::int64_t unix_seconds) {
  const std::time_t moment = static_cast<std::time_t>(unix_seconds);
  std::tm fields{};
  if (localtime_r(&moment, &fields) == nullptr) return "";
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields) != 19) return "";
  return text;
}

std::optional<std::string> ParseTimeBound(const std::string& text) {
  if (AllDigits(text)) {
    // Up to the year 9999: the store's texts have four year digits.
    if (text.size() > 11) return std::nullopt;
    const long long seconds = std::stoll(text);
    if (seconds > 253402300799LL) return std::nullopt;
    const std::string local = LocalTextOf(seconds);
    if (local.empty()) return std::nullopt;
    return local;
  }
  if (!UnixSeconds(text)) return std::nullopt;
  return text;
}

std::optional<unsigned int> ParseCount(const std::string& text, unsigned int low,
                                       unsigned int high) {
  if (!AllDigits(text) || text.size() > 9) return std::nullopt;
  const unsigned long value = std::stoul(text);
  if (value < low || value > high) return std::nullopt;
  return static_cast<unsigned int>(value);
}

}  // namespace http_output
