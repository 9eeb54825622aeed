#include "serving/listen_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace serving {

namespace {

// Connections the kernel holds before the server takes them.
constexpr int kBacklog = 64;

}  // namespace

int OpenListenSocket(const ListenAddress& address, int& bound_port, std::string& error,
                     const std::string& server) {
  const std::string where = address.host + ":" + std::to_string(address.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved =
      getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
  if (resolved != 0 || found == nullptr) {
    error = server + " cannot listen on " + where + ": " + gai_strerror(resolved);
    return -1;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  const bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                  (found->ai_family != AF_INET6 ||
                   setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0) &&
                  bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, kBacklog) == 0;
  const int cause = errno;
  freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (!ok || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    error = server + " cannot listen on " + where + ": " + std::strerror(ok ? errno : cause);
    if (fd >= 0) close(fd);
    return -1;
  }
  bound_port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  return fd;
}

}  // namespace serving
