#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>
#include <optional>
#include <string>

namespace runtime {

// "YYYY-MM-DD HH:MM:SS": sorts as the time does, so the store compares it as text.
std::string LocalTimeText(const boost::posix_time::ptime& time);

// A local time as LocalTimeText writes it, in ISO 8601 with the local UTC
// offset of that moment: "2026-12-08 10:00:00" → "2026-12-08T10:00:00+01:00".
// Text that is not such a time (empty, or the zero time of a special value)
// is returned as it is.
std::string IsoLocalTime(const std::string& local_text);
// The Unix seconds of a local time as LocalTimeText writes it; nothing when
// the text is not one.
std::optional<std::int64_t> UnixSecondsOf(const std::string& local_text);
// The local time text of Unix seconds; empty when it cannot be told.
std::string LocalTextOf(std::int64_t unix_seconds);

}  // namespace runtime
