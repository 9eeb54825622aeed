#include "runtime/time_bound.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/date_time/gregorian/gregorian.hpp>
#include <ctime>
#include <limits>

#include "runtime/local_time_text.h"

namespace runtime {

const char* const kTimeBoundForms =
    "YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS (local time; T or a blank before the "
    "time), the time forms with Z, +HH:MM, +HHMM or +HH (or -) as in ISO 8601, Unix seconds, "
    "-N followed by s, m, h or d (before now), today or yesterday";

namespace {

// The years the time library holds, with four digits as the store writes them.
constexpr int kFirstYear = 1400;
constexpr int kLastYear = 9999;
// 9999-12-31 23:59:59 UTC.
constexpr std::int64_t kLastUnixSecond = 253402300799LL;

// The number of the digits text[from, from + count); -1 when one is missing
// or not a digit.
long long Digits(const std::string& text, std::size_t from, std::size_t count) {
  if (from + count > text.size()) return -1;
  long long value = 0;
  for (std::size_t k = from; k < from + count; ++k) {
    if (text[k] < '0' || text[k] > '9') return -1;
    value = value * 10 + (text[k] - '0');
  }
  return value;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The local time text of an instant, within the years the store can hold.
std::optional<std::string> LocalBound(std::int64_t unix_seconds) {
  if (unix_seconds < -kLastUnixSecond || unix_seconds > kLastUnixSecond) return std::nullopt;
  // A 32-bit time_t (armhf) ends in 2038: later instants are refused, not wrapped.
  if (unix_seconds < std::numeric_limits<std::time_t>::min() ||
      unix_seconds > std::numeric_limits<std::time_t>::max()) {
    return std::nullopt;
  }
  const std::string local = LocalTextOf(unix_seconds);
  // LocalTextOf gives 19 characters only for a year of four digits (or "-NNN").
  if (local.empty() || Digits(local, 0, 4) < kFirstYear) return std::nullopt;
  return local;
}

std::string DateText(const boost::gregorian::date& date, RangeEnd end) {
  return boost::gregorian::to_iso_extended_string(date) +
         (end == RangeEnd::kSince ? " 00:00:00" : " 23:59:59");
}

// today and yesterday: the local date of `now`, or the one before.
std::optional<std::string> NamedDay(bool yesterday, RangeEnd end, std::int64_t now) {
  const std::optional<std::string> local = LocalBound(now);
  if (!local) return std::nullopt;
  boost::gregorian::date date(static_cast<unsigned short>(Digits(*local, 0, 4)),
                              static_cast<unsigned short>(Digits(*local, 5, 2)),
                              static_cast<unsigned short>(Digits(*local, 8, 2)));
  if (yesterday) date -= boost::gregorian::days(1);
  if (date.year() < kFirstYear) return std::nullopt;
  return DateText(date, end);
}

// -Ns, -Nm, -Nh, -Nd.
std::optional<std::string> Relative(const std::string& text, std::int64_t now) {
  const std::string digits = text.substr(1, text.size() - 2);
  // Twelve digits of days stay far inside 64 bits; the years bound the rest.
  if (!AllDigits(digits) || digits.size() > 12) return std::nullopt;
  std::int64_t unit = 0;
  switch (text.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    default:
      return std::nullopt;
  }
  if (now < -kLastUnixSecond || now > kLastUnixSecond) return std::nullopt;
  return LocalBound(now - std::stoll(digits) * unit);
}

// The seconds east of UTC of an ISO 8601 zone designator; nothing when
// `zone` is none.
std::optional<int> ZoneOffset(const std::string& zone) {
  if (zone == "Z") return 0;
  if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-')) return std::nullopt;
  long long hours = Digits(zone, 1, 2), minutes = 0;
  if (zone.size() == 5) {
    minutes = Digits(zone, 3, 2);
  } else if (zone.size() == 6 && zone[3] == ':') {
    minutes = Digits(zone, 4, 2);
  } else if (zone.size() != 3) {
    return std::nullopt;
  }
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
  const int offset = static_cast<int>(hours * 3600 + minutes * 60);
  return zone[0] == '-' ? -offset : offset;
}

// A date, a date and time in local time, or a date and time with a zone.
std::optional<std::string> Calendar(const std::string& text, RangeEnd end) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const long long year = Digits(text, 0, 4);
  const long long month = Digits(text, 5, 2);
  const long long day = Digits(text, 8, 2);
  if (year < kFirstYear || month < 1 || month > 12 || day < 1 ||
      day > boost::gregorian::gregorian_calendar::end_of_month_day(
                static_cast<unsigned short>(year), static_cast<unsigned short>(month))) {
    return std::nullopt;
  }
  const boost::gregorian::date date(static_cast<unsigned short>(year),
                                    static_cast<unsigned short>(month),
                                    static_cast<unsigned short>(day));
  if (text.size() == 10) return DateText(date, end);
  if ((text[10] != ' ' && text[10] != 'T') || text.size() < 16 || text[13] != ':') {
    return std::nullopt;
  }
  const long long hour = Digits(text, 11, 2);
  const long long minute = Digits(text, 14, 2);
  long long second = end == RangeEnd::kSince ? 0 : 59;
  std::size_t zone_at = 16;
  if (text.size() > 16 && text[16] == ':') {
    second = Digits(text, 17, 2);
    zone_at = 19;
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  const std::string zone = text.substr(std::min(zone_at, text.size()));
  if (zone.empty()) {
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", year, month, day, hour, minute,
                       second);
  }
  const std::optional<int> offset = ZoneOffset(zone);
  if (!offset) return std::nullopt;
  const std::int64_t days = (date - boost::gregorian::date(1970, 1, 1)).days();
  return LocalBound(days * 86400 + hour * 3600 + minute * 60 + second - *offset);
}

// The given text in a message: printable ASCII of a sensible length is
// quoted, anything else left out.
std::string Shown(const std::string& text) {
  if (text.size() > 40) return "";
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return "";
  }
  return " \"" + text + "\"";
}

}  // namespace

std::optional<std::string> ParseTimeBound(const std::string& text, RangeEnd end, std::int64_t now) {
  if (text == "today" || text == "yesterday") return NamedDay(text == "yesterday", end, now);
  if (text.size() >= 3 && text[0] == '-') return Relative(text, now);
  if (AllDigits(text)) {
    if (text.size() > 12) return std::nullopt;
    return LocalBound(std::stoll(text));
  }
  return Calendar(text, end);
}

std::string TimeBoundError(const std::string& name, const std::string& text) {
  return name + Shown(text) + ": not a time; accepted: " + kTimeBoundForms;
}

std::int64_t UnixNow() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace runtime
