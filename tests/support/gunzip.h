#pragma once

#include <zlib.h>

#include <string>

// A gzip body inflated; "" when it is not one whole gzip member. Tests and
// benchmarks read the server's compressed answers with it.
inline std::string Gunzip(const std::string& body) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return "";
  std::string out;
  char buffer[65536];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole ? out : "";
}
