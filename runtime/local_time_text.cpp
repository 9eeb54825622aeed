#include "runtime/local_time_text.h"

#include <fmt/format.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace runtime {

std::string LocalTimeText(const boost::posix_time::ptime& time) {
  if (time.is_special()) return "0000-00-00 00:00:00";
  // Digit by digit: boost's ISO text builds a stream, and a format string
  // is parsed each time; this runs in every polling cycle. A ptime's year
  // has four digits.
  const boost::gregorian::date::ymd_type date = time.date().year_month_day();
  const boost::posix_time::time_duration clock = time.time_of_day();
  std::string text = "0000-00-00 00:00:00";
  const auto put = [&text](std::size_t end, long value, int digits) {
    for (int k = 0; k < digits; ++k, value /= 10)
      text[end - k] = static_cast<char>('0' + value % 10);
  };
  put(3, date.year, 4);
  put(6, date.month, 2);
  put(9, date.day, 2);
  put(12, clock.hours(), 2);
  put(15, clock.minutes(), 2);
  put(18, clock.seconds(), 2);
  return text;
}

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

}  // namespace

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
  // The wall-clock time read as if it were UTC; the moment is that less the
  // zone's offset then.
  const std::int64_t as_utc =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  // mktime reads the time zone file's status on every call (a system call per
  // converted row of a history answer). The offset of the last conversion on
  // this thread is tried first and kept when localtime_r, which does not,
  // gives back the very fields; otherwise mktime decides (another offset, a
  // time in a summer-time gap, a second 60).
  thread_local std::optional<std::int64_t> last_offset;
  if (last_offset && second < 60) {
    const std::int64_t guess = as_utc - *last_offset;
    const std::time_t moment = static_cast<std::time_t>(guess);
    std::tm back{};
    if (static_cast<std::int64_t>(moment) == guess && localtime_r(&moment, &back) != nullptr &&
        back.tm_year == year - 1900 && back.tm_mon == month - 1 && back.tm_mday == day &&
        back.tm_hour == hour && back.tm_min == minute && back.tm_sec == second) {
      return guess;
    }
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
  last_offset = as_utc - static_cast<std::int64_t>(moment);
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
