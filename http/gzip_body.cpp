#include "http/gzip_body.h"

#include <zlib.h>

#include <cctype>

namespace http_output {

namespace {

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whether the parameters after a coding's name (";q=0.5") leave it allowed:
// q=0 (0, 0.0, 0.00, 0.000) refuses it.
bool Allowed(const std::string& parameters) {
  std::size_t start = 0;
  while (start < parameters.size()) {
    std::size_t end = parameters.find(';', start);
    if (end == std::string::npos) end = parameters.size();
    const std::string parameter = Lower(Trimmed(parameters.substr(start, end - start)));
    if (parameter.rfind("q=", 0) == 0) {
      const std::string q = Trimmed(parameter.substr(2));
      return !q.empty() && q.find_first_not_of("0.") != std::string::npos;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

bool AcceptsGzip(const std::string& accept_encoding) {
  bool gzip = false, named = false, any = false;
  std::size_t start = 0;
  while (start <= accept_encoding.size()) {
    std::size_t end = accept_encoding.find(',', start);
    if (end == std::string::npos) end = accept_encoding.size();
    const std::string item = accept_encoding.substr(start, end - start);
    const std::size_t semicolon = item.find(';');
    const std::string coding = Lower(Trimmed(item.substr(0, semicolon)));
    const bool allowed = Allowed(semicolon == std::string::npos ? "" : item.substr(semicolon + 1));
    if (coding == "gzip" || coding == "x-gzip") {
      named = true;
      gzip = gzip || allowed;
    } else if (coding == "*") {
      any = allowed;
    }
    start = end + 1;
  }
  // A coding named for itself wins over "*".
  return named ? gzip : any;
}

std::optional<std::string> Gzip(const std::string& text) {
  if (text.size() > 0xFFFFFFFFu / 2) return std::nullopt;  // zlib counts in 32 bits
  z_stream stream{};
  // 15 window bits + 16: a gzip header and trailer; memory level 8 (zlib's
  // default) keeps the compressor's state near 256 KiB.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return std::nullopt;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  const std::size_t written = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return std::nullopt;
  out.resize(written);
  return out;
}

void CompressJson(const std::string& accept_encoding, HttpResponse& res) {
  if (res.content_type.rfind("application/json", 0) != 0) return;
  res.set_header("Vary", "Accept-Encoding");
  if (res.body.size() < kGzipMinBytes || !AcceptsGzip(accept_encoding)) return;
  std::optional<std::string> compressed = Gzip(res.body);
  if (!compressed) return;  // sent as it is
  res.body = std::move(*compressed);
  res.set_header("Content-Encoding", "gzip");
}

}  // namespace http_output
