#include "runtime/stdout_trace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace runtime {

namespace {

std::atomic<bool> g_capturing{false};

void FlushStandardOutput() {
  std::cout.flush();
  std::fflush(stdout);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

StdoutTrace::StdoutTrace(EventStream& events, std::string label)
    : events_(events), label_(std::move(label)) {
  if (g_capturing.exchange(true)) return;
  FlushStandardOutput();
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) {
    g_capturing.store(false);
    return;
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  saved_fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_fd_ < 0 || dup2(write_fd_, STDOUT_FILENO) < 0) {
    CloseIfOpen(saved_fd_);
    CloseIfOpen(read_fd_);
    CloseIfOpen(write_fd_);
    g_capturing.store(false);
    return;
  }
  reader_ = std::thread([this] { ReadLines(); });
  flusher_ = std::thread([this] { FlushNowAndThen(); });
}

StdoutTrace::~StdoutTrace() {
  Stop();
}

void StdoutTrace::Stop() {
  if (saved_fd_ < 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  flusher_.join();
  // What is still buffered goes into the pipe while the reader drains it.
  FlushStandardOutput();
  dup2(saved_fd_, STDOUT_FILENO);
  CloseIfOpen(saved_fd_);
  {
    // The pipe's last write end: the reader sees its end once it is empty.
    std::lock_guard<std::mutex> lock(mutex_);
    CloseIfOpen(write_fd_);
  }
  reader_.join();
  CloseIfOpen(read_fd_);
  g_capturing.store(false);
}

void StdoutTrace::FlushNowAndThen() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; })) {
    lock.unlock();
    std::fflush(stdout);
    lock.lock();
  }
}

void StdoutTrace::ReadLines() {
  std::string partial;
  // A long line goes in pieces of kMaxLine bytes.
  auto publish = [this](const std::string& line) {
    std::size_t start = 0;
    for (; line.size() - start > kMaxLine; start += kMaxLine) {
      events_.Log(label_, 0, line.substr(start, kMaxLine));
    }
    events_.Log(label_, 0, line.substr(start));
  };
  char buffer[4096];
  for (;;) {
    pollfd ready{read_fd_, POLLIN, 0};
    const int polled = poll(&ready, 1, 200);
    if (polled < 0 && errno != EINTR) break;
    if (polled <= 0) {
      // A process started meanwhile may hold a copy of the write end, so the
      // end of the pipe may never come: once stopping, a quiet pipe is done.
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ && write_fd_ < 0) break;
      continue;
    }
    const ssize_t count = read(read_fd_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(count));
    std::size_t start = 0;
    for (std::size_t end = partial.find('\n'); end != std::string::npos;
         end = partial.find('\n', start)) {
      // A line ended by CR LF loses both.
      const std::size_t length =
          end > start && partial[end - 1] == '\r' ? end - 1 - start : end - start;
      publish(partial.substr(start, length));
      start = end + 1;
    }
    partial.erase(0, start);
    // Without a line end the text waits, up to kMaxLine bytes.
    if (partial.size() > kMaxLine) {
      const std::size_t whole = partial.size() - partial.size() % kMaxLine;
      publish(partial.substr(0, whole));
      partial.erase(0, whole);
    }
  }
  if (!partial.empty()) publish(partial);
}

}  // namespace runtime
