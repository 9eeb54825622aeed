#include "mqtt/mqtt_url.h"

#include "runtime/bounded_read.h"

namespace mqtt {

bool ParseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& error) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    address.tls = false;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    address.tls = true;
    rest = url.substr(8);
  } else {
    error = "MQTT URL \"" + url + "\": must begin with mqtt:// or mqtts://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host = rest, port;
  bool has_port = false;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) {
      error = "MQTT URL \"" + url + "\": no ] after the IPv6 address";
      return false;
    }
    host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      error = "MQTT URL \"" + url + "\": expected :PORT after the address";
      return false;
    }
    has_port = !after.empty();
    if (has_port) port = after.substr(1);
  } else if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    has_port = true;
  }
  if (host.empty() || host.find_first_of("/@ []") != std::string::npos) {
    error = "MQTT URL \"" + url + "\": expected HOST:PORT after the scheme";
    return false;
  }
  address.host = host;
  address.port = address.tls ? 8883 : 1883;
  if (has_port) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      error = "MQTT URL \"" + url + "\": the port must be a number from 1 to 65535";
      return false;
    }
    address.port = std::stoi(port);
  }
  return true;
}

namespace {
constexpr std::size_t kMaxCredentialsBytes = 64 * 1024;
}  // namespace

bool ReadCredentials(const std::string& path, Credentials& credentials, std::string& error) {
  std::string text, reason;
  if (!runtime::ReadFileBounded(path, kMaxCredentialsBytes, text, reason, true)) {
    error = "MQTT credentials file " + path + ": " + reason;
    return false;
  }
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    error = "MQTT credentials file " + path + ": the first line must be user:password";
    return false;
  }
  credentials.user = line.substr(0, colon);
  credentials.password = line.substr(colon + 1);
  return true;
}

}  // namespace mqtt
