#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// Loopback ports for the servers that tests and benchmarks start themselves.

// A port of 127.0.0.1 that nothing holds now, for TCP or (SOCK_DGRAM) UDP
// (0 when none can be had).
inline int FreeLoopbackPort(int type = SOCK_STREAM) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// Whether something accepts connections on 127.0.0.1:`port`.
inline bool LoopbackAccepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Keeps a TCP port of 127.0.0.1 out of the kernel's choice of local ports
// while a server that is to listen there again is down: bound with
// SO_REUSEADDR but not listening, it lets that server (which binds with
// SO_REUSEADDR too) take the port back, and no client socket of another test
// be given it meanwhile.
class LoopbackPortHold {
 public:
  explicit LoopbackPortHold(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    // Not held (taken already): the server's restart fares as without it.
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~LoopbackPortHold() {
    if (fd_ >= 0) close(fd_);
  }
  LoopbackPortHold(const LoopbackPortHold&) = delete;
  LoopbackPortHold& operator=(const LoopbackPortHold&) = delete;

 private:
  int fd_;
};
