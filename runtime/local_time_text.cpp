#include "runtime/local_time_text.h"

#include <fmt/format.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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

std::optional<std::int64_t> UnixSecondsOf(const std::string& local_text) {
  // The shape first, character by character: sscanf alone would also take
  // blanks and signs ("2026-12-1909: 48:11").
  static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
  if (local_text.size() != sizeof kShape - 1) return std::nullopt;
  for (std::size_t i = 0; i < local_text.size(); ++i) {
    const char c = local_text[i];
    if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) return std::nullopt;
  }
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
  fields.tm_isdst = -1;  // the zone's rules decide whether summer time holds then
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

std::string IsoLocalTime(const std::string& local_text) {
  const std::optional<std::int64_t> unix_seconds = UnixSecondsOf(local_text);
  if (!unix_seconds) return local_text;
  const std::time_t moment = static_cast<std::time_t>(*unix_seconds);
  std::tm resolved{};
  if (localtime_r(&moment, &resolved) == nullptr) return local_text;
  // In the hour that repeats when summer time ends, mktime takes one of the
  // two moments; the wall-clock time printed is the one given either way.
  const long offset_minutes = resolved.tm_gmtoff / 60;
  const long magnitude = std::labs(offset_minutes);
  std::string iso = local_text;
  iso[10] = 'T';
  return iso + fmt::format("{}{:02}:{:02}", offset_minutes < 0 ? '-' : '+', magnitude / 60,
                           magnitude % 60);
}

}  // namespace runtime
