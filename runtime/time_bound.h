#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace runtime {

// Which end of a time range a text bounds: a date alone, or a time without
// seconds, is its first second as the start and its last as the end.
enum class RangeEnd { kSince, kUntil };

// The forms that ParseTimeBound accepts, as messages name them.
extern const char* const kTimeBoundForms;

// A bound of a query of the stored times, as the command line and the HTTP
// API both take it:
//   YYYY-MM-DD, YYYY-MM-DD HH:MM, YYYY-MM-DD HH:MM:SS  local time; T or a
//                                                      blank before the time
//   the time forms with Z, +HH:MM, +HHMM or +HH        that instant (ISO 8601)
//   all digits                                         Unix seconds
//   -Ns, -Nm, -Nh, -Nd                                 N units before `now`
//   today, yesterday                                   that local date
// `now` is Unix seconds. The result is the local time text that the store
// compares ("YYYY-MM-DD HH:MM:SS"); nothing for any other text, a time the
// calendar does not have (2026-02-30, 24:00), or one outside the years 1400
// to 9999.
std::optional<std::string> ParseTimeBound(const std::string& text, RangeEnd end, std::int64_t now);

// The refusal of `text` given as `name` (an option or a parameter):
// NAME "TEXT": not a time; accepted: FORMS. The text is quoted only when it
// is short printable ASCII.
std::string TimeBoundError(const std::string& name, const std::string& text);

// The current time in Unix seconds.
std::int64_t UnixNow();

}  // namespace runtime
