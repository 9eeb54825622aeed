#include "tools/cli/http_get.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `end`, at least 0.
int MsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on `fd` until `end`; false on time-out or failure.
bool Wait(int fd, short events, Clock::time_point end) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, MsLeft(end));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

// A non-blocking connection to one of the host's addresses, or -1.
int Connect(const HttpTarget& target, int timeout_ms, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved =
      getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &found);
  if (resolved != 0) {
    error = "cannot resolve " + target.host + ": " + gai_strerror(resolved);
    return -1;
  }
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int fd = -1;
  error = "no address";
  for (addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                address->ai_protocol);
    if (fd < 0) {
      error = std::strerror(errno);
      continue;
    }
    int failure = 0;
    if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
      failure = errno;
      if (failure == EINPROGRESS) {
        socklen_t size = sizeof failure;
        if (!Wait(fd, POLLOUT, end)) {
          failure = ETIMEDOUT;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) {
          failure = errno;
        }
      }
    }
    if (failure != 0) {
      error = failure == ETIMEDOUT ? "no connection within " + std::to_string(timeout_ms) + " ms"
                                   : std::strerror(failure);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Parses the status line and headers of `head` (without the blank line).
bool ParseHead(const std::string& head, HttpGetAnswer& answer, long long& content_length,
               std::string& error) {
  content_length = -1;
  const std::size_t line_end = head.find("\r\n");
  const std::string status_line = head.substr(0, line_end);
  if (status_line.size() < 12 || status_line.compare(0, 7, "HTTP/1.") != 0 ||
      status_line[8] != ' ' || !std::isdigit(static_cast<unsigned char>(status_line[9])) ||
      !std::isdigit(static_cast<unsigned char>(status_line[10])) ||
      !std::isdigit(static_cast<unsigned char>(status_line[11]))) {
    error = "the answer is not HTTP/1.x";
    return false;
  }
  answer.status = std::stoi(status_line.substr(9, 3));
  std::size_t at = line_end == std::string::npos ? head.size() : line_end + 2;
  while (at < head.size()) {
    std::size_t next = head.find("\r\n", at);
    if (next == std::string::npos) next = head.size();
    const std::string line = head.substr(at, next - at);
    at = next + 2;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = Lower(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (name == "content-type") answer.content_type = value;
    if (name == "transfer-encoding" && Lower(value) != "identity") {
      // The server sends whole answers with their length; no other form is read.
      error = "the answer comes in a transfer coding (" + value + ") this client does not read";
      return false;
    }
    if (name == "content-length") {
      if (value.empty() || value.size() > 15 ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        error = "the answer's Content-Length is not a number";
        return false;
      }
      content_length = std::stoll(value);
    }
  }
  return true;
}

}  // namespace

std::string HttpTarget::HostHeader() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseHttpUrl(const std::string& url, HttpTarget& target, std::string& error) {
  const std::string scheme = "http://";
  error = "not an http://HOST:PORT address: " + url;
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = url.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host, port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return false;
    }
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty() || host.find_first_of("/?#@[] ") != std::string::npos) return false;
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) return false;
  target.host = host;
  target.port = number;
  error.clear();
  return true;
}

bool HttpGet(const HttpTarget& target, const std::string& path, const std::string& authorization,
             const HttpGetLimits& limits, HttpGetAnswer& answer, std::string& error) {
  const std::string where = "http://" + target.HostHeader() + "/";
  answer = HttpGetAnswer{};
  const int fd = Connect(target, limits.connect_ms, error);
  if (fd < 0) {
    error = "cannot connect to " + where + ": " + error;
    return false;
  }
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + target.HostHeader() +
                        "\r\nAccept: application/json\r\nConnection: close\r\n";
  if (!authorization.empty()) request += "Authorization: " + authorization + "\r\n";
  request += "\r\n";

  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limits.answer_ms);
  const std::string late =
      "no whole answer from " + where + " within " + std::to_string(limits.answer_ms) + " ms";
  bool ok = true;
  for (std::size_t sent = 0; ok && sent < request.size();) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!Wait(fd, POLLOUT, end)) {
        error = late;
        ok = false;
      }
    } else {
      error = "cannot send the request to " + where + ": " + std::strerror(errno);
      ok = false;
    }
  }

  std::string text;
  std::size_t body_start = std::string::npos;
  long long content_length = -1;
  bool closed = false;
  char buffer[16384];
  while (ok) {
    if (body_start != std::string::npos && content_length >= 0 &&
        text.size() - body_start >= static_cast<std::size_t>(content_length)) {
      break;
    }
    if (closed) break;
    if (!Wait(fd, POLLIN, end)) {
      error = late;
      ok = false;
      break;
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      error = "cannot read the answer of " + where + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) {
      closed = true;
    } else {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (body_start == std::string::npos) {
      const std::size_t blank = text.find("\r\n\r\n");
      if (blank == std::string::npos) {
        if (text.size() > limits.max_head) {
          error =
              where + " answered a head larger than " + std::to_string(limits.max_head) + " bytes";
          ok = false;
        } else if (closed) {
          error = where + " closed the connection before a whole answer";
          ok = false;
        }
        continue;
      }
      if (blank > limits.max_head) {
        error =
            where + " answered a head larger than " + std::to_string(limits.max_head) + " bytes";
        ok = false;
        break;
      }
      if (!ParseHead(text.substr(0, blank), answer, content_length, error)) {
        error = where + ": " + error;
        ok = false;
        break;
      }
      body_start = blank + 4;
      if (content_length > static_cast<long long>(limits.max_body)) {
        error = where + " answered " + std::to_string(content_length) +
                " bytes, more than the bound of " + std::to_string(limits.max_body);
        ok = false;
        break;
      }
    }
    if (text.size() - body_start > limits.max_body) {
      error =
          where + " answered more than the bound of " + std::to_string(limits.max_body) + " bytes";
      ok = false;
    }
  }
  close(fd);
  if (!ok) return false;
  if (content_length >= 0 && text.size() - body_start < static_cast<std::size_t>(content_length)) {
    error = where + " closed the connection before the whole answer";
    return false;
  }
  answer.body =
      text.substr(body_start, content_length >= 0 ? static_cast<std::size_t>(content_length)
                                                  : std::string::npos);
  return true;
}

}  // namespace cli
