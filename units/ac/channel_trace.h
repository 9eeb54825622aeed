#pragma once

#include <ostream>

namespace ac_trace {

// Writes the trace line of one AC channel, "a:<a> b:<b> c:<c> f:<f>" and a
// line end, to `out` in one piece. Each value reads as a stream in its
// default state prints a float (%g with 6 significant digits, "nan", "inf"),
// formatted with std::to_chars instead of the stream's locale machinery,
// which costs some ten times more.
void WriteChannelLine(std::ostream& out, float a, float b, float c, float f);

}  // namespace ac_trace
