#include "http/host_check.h"

#include <algorithm>
#include <cctype>

namespace http_output {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The name part of "NAME", "NAME:PORT", "[V6]" or "[V6]:PORT"; empty when the
// port is not digits.
std::string NameOf(const std::string& host) {
  std::size_t end = host.size();
  if (!host.empty() && host.front() == '[') {
    end = host.find(']');
    if (end == std::string::npos) return "";
    ++end;
  } else {
    end = std::min(host.find(':'), host.size());
  }
  if (end < host.size()) {
    const std::string port = host.substr(end + 1);
    if (host[end] != ':' || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
      return "";
    }
  }
  return host.substr(0, end);
}

}  // namespace

bool HostAllowed(const std::string& host_header, const std::string& bound_host) {
  const std::string name = Lower(NameOf(host_header));
  if (name.empty()) return false;
  const std::string bound = Lower(bound_host);
  const std::string bound_name = bound.find(':') != std::string::npos ? "[" + bound + "]" : bound;
  return name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == bound_name;
}

}  // namespace http_output
