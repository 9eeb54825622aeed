#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace runtime {

// Reads all of a file, or of a stream, that must not be larger than `limit`
// bytes, so that a device file such as /dev/zero or a huge file cannot make
// the program read for ever. False with `error` when it cannot be read ("is
// a directory", the system's reason) or is larger ("is larger than N bytes").
// `regular_only` (configuration and credentials): anything but a regular
// file (a FIFO, a device) is refused before it is read.
bool ReadFileBounded(const std::string& path, std::size_t limit, std::string& text,
                     std::string& error, bool regular_only = false);
bool ReadStreamBounded(std::istream& in, std::size_t limit, std::string& text, std::string& error);

}  // namespace runtime
