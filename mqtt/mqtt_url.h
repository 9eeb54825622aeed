#pragma once

#include <string>

namespace mqtt {

// Where the uplink connects: mqtt://HOST:PORT, or mqtts://HOST:PORT over TLS.
struct BrokerAddress {
  bool tls = false;
  std::string host;
  int port = 0;
};

// Reads "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" (ports 1883 and 8883
// by default; an IPv6 host in brackets). False with `error` saying what is
// wrong.
bool ParseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& error);

struct Credentials {
  std::string user;
  std::string password;
};

// Reads "user:password" from the first line of `path` (the password may
// hold colons; a trailing CR is dropped). False with `error` naming the file.
bool ReadCredentials(const std::string& path, Credentials& credentials, std::string& error);

}  // namespace mqtt
