// The floor of polling on this machine: one thread per link doing nothing
// but the line's system calls as korvan-host makes them in a steady cycle of
// the default system (five exchanges every 2 s: write the request, poll the
// port and a wake-up descriptor, read the reply up to its EOI, sleep the
// bus device's 20 ms before the next request), with no decoding, records,
// events or outputs. What korvan-host costs above it is its own work
// (scripts/bench_runtime.sh measures both the same way).
//
//   korvan-line-floor LINK...   runs until SIGTERM or SIGINT
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "host/pmbus_frame.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

// The requests of a steady cycle: AC analog (command group FFh), rectifier
// analog, DC analog, AC and DC parameters.
std::vector<std::string> CycleRequests() {
  const std::uint8_t steps[][2] = {
      {0x40, 0x41}, {0x41, 0x41}, {0x42, 0x41}, {0x40, 0x46}, {0x42, 0x46}};
  std::vector<std::string> requests;
  for (const auto& step : steps) {
    pmbus_frame::Frame frame;
    frame.version = 0x20;
    frame.address = 1;
    frame.cid1 = step[0];
    frame.cid2 = step[1];
    if (step[0] == 0x40 && step[1] == 0x41) frame.info = {0xFF};
    requests.push_back(pmbus_frame::Encode(frame));
  }
  return requests;
}

int OpenLine(const char* path) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios settings{};
  if (tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);
    cfsetspeed(&settings, B9600);
    tcsetattr(fd, TCSANOW, &settings);
  }
  return fd;
}

// Waits for the port or the wake-up descriptor as the line driver does;
// returns whether the port is readable.
bool Wait(int port, int wake, int timeout_ms) {
  pollfd fds[2] = {{wake, POLLIN, 0}, {port, POLLIN, 0}};
  return ::poll(fds, 2, timeout_ms) > 0 && fds[1].revents != 0;
}

void PollLine(const char* path) {
  const int port = OpenLine(path);
  if (port < 0) {
    std::perror(path);
    return;
  }
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const std::vector<std::string> requests = CycleRequests();
  unsigned char buffer[512];
  auto next_cycle = std::chrono::steady_clock::now();
  while (!g_stop) {
    for (const std::string& request : requests) {
      if (::write(port, request.data(), request.size()) < 0) break;
      bool complete = false;
      while (!complete && !g_stop && Wait(port, wake, 1000)) {
        const ssize_t count = ::read(port, buffer, sizeof buffer);
        if (count <= 0) break;
        for (ssize_t i = 0; i < count; ++i) complete = complete || buffer[i] == pmbus_frame::kEoi;
      }
      usleep(20000);
    }
    next_cycle += std::chrono::seconds(2);
    const auto left = next_cycle - std::chrono::steady_clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    if (ms > 0) Wait(port, wake, static_cast<int>(ms));
  }
  ::close(wake);
  ::close(port);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvan-line-floor LINK...\n");
    return 2;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::vector<std::thread> lines;
  for (int i = 1; i < argc; ++i) lines.emplace_back(PollLine, argv[i]);
  for (std::thread& line : lines) line.join();
  return 0;
}
