#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace http_output {

// A time bound of a query: Unix seconds, or "YYYY-MM-DD HH:MM:SS" local
// time. As the store compares it: local time text; nothing when the text is
// neither.
std::optional<std::string> ParseTimeBound(const std::string& text);
// A whole number from `low` to `high`; nothing otherwise.
std::optional<unsigned int> ParseCount(const std::string& text, unsigned int low,
                                       unsigned int high);
// The Unix seconds of a local time text; nothing when it is not one.
std::optional<std::int64_t> UnixSeconds(const std::string& local_text);
// The local time text of Unix seconds.
std::string LocalTextOf(std::int64_t unix_seconds);

}  // namespace http_output
