#include "sim/sim_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

SimServer::SimServer(Simulator& simulator, std::shared_ptr<SerialPort> line)
    : simulator_(simulator),
      line_(std::move(line)),
      stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SimServer::~SimServer() {
  Stop();
  if (stop_fd_ >= 0) close(stop_fd_);
}

void SimServer::Start() {
  Stop();
  stop_ = false;
  thread_ = std::thread([this] {
    std::string error;
    Serve(error);
  });
}

void SimServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof one);
    thread_.join();
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = read(stop_fd_, &count, sizeof count);
  }
}

bool SimServer::Serve(std::string& error) {
  unsigned char buffer[512];
  std::string replies;
  while (!stop_.load()) {
    // Sleeps until requests come or Stop; a line without a descriptor is
    // read in short slices.
    const int fd = line_->PollDescriptor();
    int slice = 20;
    if (fd >= 0 && stop_fd_ >= 0) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) <= 0 || fds[1].revents != 0) continue;
      slice = 0;
    }
    const long count = line_->Read(buffer, sizeof buffer, slice, error);
    if (count < 0) return false;
    if (count == 0) continue;
    replies.clear();
    simulator_.Receive(buffer, static_cast<std::size_t>(count), replies);
    if (!replies.empty() &&
        !line_->Write(reinterpret_cast<const unsigned char*>(replies.data()), replies.size())) {
      error = "cannot write to " + line_->Path();
      return false;
    }
  }
  return true;
}
