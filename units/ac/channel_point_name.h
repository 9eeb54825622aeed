#pragma once

// The channel point names, matched without std::regex.
//
// A point name is searched for the ECMAScript pattern
// "channel_(\d+)_(.+?)" anywhere in the name. libstdc++ matches it
// recursively, one stack frame per character, and overflows the stack on long
// names; this matcher gives the same answer in one pass with no recursion:
//   - the leftmost position at which "channel_", one or more ASCII digits, "_"
//     and one more character follow;
//   - group 1: those digits (\d+ is greedy, and '_' is not a digit, so it takes
//     the whole run of digits);
//   - group 2: exactly that one character (.+? is lazy and ends the pattern),
//     which may be any byte except the ECMAScript line terminators '\n' and
//     '\r' (for char strings that is all libstdc++ excludes; NUL matches).

#include <cstddef>
#include <string_view>

namespace ac_point {

struct ChannelPointMatch {
  bool found = false;
  std::size_t position = 0;  // where the hit begins in the name
  std::size_t length = 0;    // length of the hit
  std::string_view index;    // group 1: the decimal digits
  std::string_view key;      // group 2: one character
};

ChannelPointMatch FindChannelPoint(std::string_view name);

// Group 1 as a number, as atoi reads it (decimal, leading zeros ignored), but
// saturated: a value that does not fit gives SIZE_MAX instead of overflowing.
// `digits` holds ASCII digits only.
std::size_t ChannelIndexValue(std::string_view digits);

}  // namespace ac_point
