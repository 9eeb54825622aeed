#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "units/ac/korvan_ac.h"
#include "units/dc/korvan_dc.h"
#include "units/rc/korvan_rc.h"

// Where the floats of a reply land in a unit's record, found by walking the
// reply layouts on their own (not through the parsers), and the check that a
// record's floats are those of the replies it was given: every float that a
// reply carries is stored as its four bytes, or, where the unit's no-data
// rule applies, a marker (four equal non-zero bytes) as the unit's stored
// value: 0.0 for AC a, b, c, f; -0.1 for AC ia, ib, ic and DC user_p. The
// rectifier group's values and DC v, i and M values are copied as they come.
namespace reply_floats {

using Bytes = std::vector<unsigned char>;

// One value as the record stores it: record offset and bytes (fewer than
// four for a value that the reply holds only in part).
struct Write {
  std::size_t offset;
  Bytes bytes;
};

struct Walk {
  std::vector<Write> writes;  // values the reply carries, in layout order
  bool complete = false;      // the whole layout lies within the reply
  std::size_t end = 0;        // bytes that the layout takes, when complete
};

// Reply blocks of one unit. `known` is the channel or module count that the
// unit already has (0 while open); a block with another count writes nothing.
Walk AcAnalog(const unsigned char* data, std::size_t size, std::size_t known);
Walk DcAnalog(const unsigned char* data, std::size_t size);
Walk RcAnalog(const unsigned char* data, std::size_t size, std::size_t known);
Walk RcAcParameters(const unsigned char* data, std::size_t size);
Walk RcDcParameters(const unsigned char* data, std::size_t size);

// The unit's record as it publishes it.
Bytes Record(const KORVAN_AC& unit);
Bytes Record(const KORVAN_DC& unit);
Bytes Record(const KORVAN_RC& unit);

enum class Kind { kAc, kDc, kRc };

// After a reply: every float of `after` (a record of `kind`) is as in
// `before` (zero beyond its end) or as `walk` writes it; exactly as written
// when the unit took the reply (`taken`).
void Check(Kind kind, const Bytes& before, const Bytes& after, const Walk& walk, bool taken);

}  // namespace reply_floats
