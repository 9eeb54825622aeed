#include "serving/listen_address.h"

#include <arpa/inet.h>

namespace serving {

namespace {

bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  port = std::stoi(text);
  return port <= 65535;
}

}  // namespace

std::string ListenAddress::Url(int bound_port) const {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound_port) + "/";
}

bool ParseListen(const std::string& text, ListenAddress& address, std::string& error) {
  error = "HTTP listen address \"" + text + "\": wants ADDR:PORT, [IPV6]:PORT or PORT (0 to 65535)";
  if (ParsePort(text, address.port)) {
    address.host = "127.0.0.1";
    return true;
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  if (host.find_first_of(" \t\r\n/[]") != std::string::npos) return false;
  if (!ParsePort(text.substr(colon + 1), address.port)) return false;
  address.host = host;
  error.clear();
  return true;
}

bool IsLoopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace serving
