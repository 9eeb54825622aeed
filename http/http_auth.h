#pragma once

#include <string>
#include <vector>

namespace http_output {

// The credentials of an auth file: its first line a bearer token, or lines
// "user:password" for HTTP basic authentication.
class HttpAuth {
 public:
  // Reads `path`; false with `error` set when it cannot be read or holds no
  // credential.
  bool Load(const std::string& path, std::string& error);
  // The same from the file's text; `error` without the file's name.
  bool Parse(const std::string& text, std::string& error);
  // Whether credentials were loaded: every request must then carry them.
  bool Required() const { return !token_.empty() || !basic_.empty(); }
  // Whether the value of an Authorization header grants access. Every
  // credential is compared in time that does not depend on where it differs.
  bool Allows(const std::string& authorization) const;
  // The Authorization header's value that a client with these credentials
  // sends: the bearer token, or the first user:password line; "" for none.
  std::string Authorization() const;

 private:
  std::string token_;
  std::vector<std::string> basic_;  // "user:password"
};

// Encodes in standard base64, padded with '='.
std::string EncodeBase64(const std::string& bytes);
// Decodes standard base64; false on any other character or a bad length.
bool DecodeBase64(const std::string& text, std::string& out);

}  // namespace http_output
