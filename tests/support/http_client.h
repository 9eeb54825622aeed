#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A plain HTTP/1.1 client over loopback sockets, for the tests of the HTTP
// server: whole answers, and the raw sockets that misbehaving clients need.

// A connection to 127.0.0.1:`port` from the loopback address `from` (a
// second address is a client of its own for per-address limits); -1 when
// refused.
inline int ConnectLoopback(int port, const char* from = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const std::string& data) {
  for (std::size_t sent = 0; sent < data.size();) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

struct HttpAnswer {
  int status = -1;                             // -1: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lower_name) const {
    const auto found = headers.find(lower_name);
    return found == headers.end() ? std::string() : found->second;
  }
};

// The status and headers of an answer's head: "HTTP/1.1 NNN ..." and its
// header lines, up to the blank line.
inline HttpAnswer ParseHead(const std::string& head) {
  HttpAnswer answer;
  answer.status = std::stoi(head.substr(9, 3));
  for (std::size_t line = head.find("\r\n"); line != std::string::npos;) {
    line += 2;
    const std::size_t next = head.find("\r\n", line);
    const std::string header = head.substr(line, next == std::string::npos ? next : next - line);
    const std::size_t colon = header.find(':');
    if (colon != std::string::npos) {
      std::string name = header.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      const std::size_t value = header.find_first_not_of(' ', colon + 1);
      answer.headers[name] = value == std::string::npos ? "" : header.substr(value);
    }
    line = next;
  }
  return answer;
}

// Reads until the server closes the connection or `timeout` passes, and
// parses what came as one answer.
inline HttpAnswer ReadAnswer(int fd, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  std::string text;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    timeval wait{static_cast<time_t>(left.count() / 1000000),
                 static_cast<suseconds_t>(left.count() % 1000000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t head_end = text.find("\r\n\r\n");
  if (text.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) return HttpAnswer();
  HttpAnswer answer = ParseHead(text.substr(0, head_end));
  answer.body = text.substr(head_end + 4);
  return answer;
}

// The text of a request that closes its connection after the answer.
inline std::string RequestText(const std::string& method, const std::string& target, int port,
                               const std::vector<std::string>& header_lines = {},
                               const std::string& body = "") {
  std::string text = method + " " + target +
                     " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\nConnection: close\r\n";
  for (const std::string& line : header_lines) text += line + "\r\n";
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

// Sends `request` on a new connection and reads its answer.
inline HttpAnswer Exchange(int port, const std::string& request,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60),
                           const char* from = "127.0.0.1") {
  const int fd = ConnectLoopback(port, from);
  if (fd < 0) return HttpAnswer();
  HttpAnswer answer = SendAll(fd, request) ? ReadAnswer(fd, timeout) : HttpAnswer();
  close(fd);
  return answer;
}
