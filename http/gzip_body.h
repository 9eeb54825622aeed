#pragma once

#include <optional>
#include <string>

#include "http/http_exchange.h"

namespace http_output {

// Whether an Accept-Encoding header allows a gzip body: "gzip", "x-gzip" or
// "*" listed without q=0. Case does not matter.
bool AcceptsGzip(const std::string& accept_encoding);

// `text` as one gzip member (RFC 1952); nothing when zlib fails.
std::optional<std::string> Gzip(const std::string& text);

// Answers below this many bytes go as they are: the gzip header and the
// compressor's start cost more than they save.
constexpr std::size_t kGzipMinBytes = 1024;

// Compresses a JSON answer of at least kGzipMinBytes when `accept_encoding`
// allows gzip (Content-Encoding: gzip); every JSON answer says that it
// depends on the header (Vary: Accept-Encoding), compressed or not.
void CompressJson(const std::string& accept_encoding, HttpResponse& res);

}  // namespace http_output
