#include "http/http_auth.h"

#include <cstddef>

#include "runtime/bounded_read.h"
#include "serving/same_text.h"

namespace http_output {

namespace {

constexpr std::size_t kMaxAuthFileBytes = 64 * 1024;

std::string TrimLine(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  std::size_t start = 0;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  return line.substr(start);
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string EncodeBase64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    unsigned int bits = static_cast<unsigned char>(bytes[i]) << 16;
    if (left > 1) bits |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (left > 2) bits |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(bits >> 18) & 63]);
    out.push_back(kAlphabet[(bits >> 12) & 63]);
    out.push_back(left > 1 ? kAlphabet[(bits >> 6) & 63] : '=');
    out.push_back(left > 2 ? kAlphabet[bits & 63] : '=');
  }
  return out;
}

bool DecodeBase64(const std::string& text, std::string& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int values[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        values[k] = 0;
        ++padding;
        continue;
      }
      if (padding != 0) return false;  // data after '='
      values[k] = Base64Value(c);
      if (values[k] < 0) return false;
    }
    const unsigned int bits = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
    out.push_back(static_cast<char>((bits >> 16) & 0xff));
    if (padding < 2) out.push_back(static_cast<char>((bits >> 8) & 0xff));
    if (padding < 1) out.push_back(static_cast<char>(bits & 0xff));
  }
  return true;
}

bool HttpAuth::Load(const std::string& path, std::string& error) {
  token_.clear();
  basic_.clear();
  std::string text;
  if (!runtime::ReadFileBounded(path, kMaxAuthFileBytes, text, error, true)) {
    error = "auth file " + path + ": " + error;
    return false;
  }
  if (Parse(text, error)) return true;
  error = "auth file " + path + ": " + error;
  return false;
}

bool HttpAuth::Parse(const std::string& text, std::string& error) {
  token_.clear();
  basic_.clear();
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = TrimLine(text.substr(start, end - start));
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (lines.empty()) {
    error = "holds no token and no user:password line";
    return false;
  }
  if (lines.front().find(':') == std::string::npos) {
    token_ = lines.front();
    return true;
  }
  for (const std::string& line : lines) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      error = "a line is not user:password";
      basic_.clear();
      return false;
    }
    basic_.push_back(line);
  }
  return true;
}

std::string HttpAuth::Authorization() const {
  if (!token_.empty()) return "Bearer " + token_;
  if (!basic_.empty()) return "Basic " + EncodeBase64(basic_.front());
  return "";
}

bool HttpAuth::Allows(const std::string& authorization) const {
  if (!Required()) return true;
  const std::string bearer = "Bearer ";
  const std::string basic = "Basic ";
  if (!token_.empty()) {
    return authorization.compare(0, bearer.size(), bearer) == 0 &&
           serving::SameText(authorization.substr(bearer.size()), token_);
  }
  if (authorization.compare(0, basic.size(), basic) != 0) return false;
  std::string credentials;
  if (!DecodeBase64(authorization.substr(basic.size()), credentials)) return false;
  bool allowed = false;
  // Every line is compared, so that the time taken does not tell which matched.
  for (const std::string& line : basic_) allowed = serving::SameText(credentials, line) || allowed;
  return allowed;
}

}  // namespace http_output
