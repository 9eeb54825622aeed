#include "runtime/stdout_trace.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>

#include "runtime/thread_name.h"

namespace runtime {

namespace {

std::atomic<bool> g_capturing{false};
// A capture is active whose lines nobody sees.
std::atomic<bool> g_dropping{false};

void FlushStandardOutput() {
  std::cout.flush();
  std::fflush(stdout);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

void FlushTraceLines() {
  if (g_dropping.load(std::memory_order_relaxed)) return;
  // Under the stream's own lock: other polling threads print meanwhile.
  flockfile(stdout);
  if (__fpending(stdout) != 0) fflush_unlocked(stdout);
  funlockfile(stdout);
}

StdoutTrace::StdoutTrace(EventStream& events, std::string label, bool publish)
    : events_(events), label_(std::move(label)), publish_(publish) {
  if (g_capturing.exchange(true)) return;
  FlushStandardOutput();
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) {
    g_capturing.store(false);
    return;
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  stop_fd_ = eventfd(0, EFD_CLOEXEC);
  saved_fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (stop_fd_ < 0 || saved_fd_ < 0 || dup2(write_fd_, STDOUT_FILENO) < 0) {
    CloseIfOpen(stop_fd_);
    CloseIfOpen(saved_fd_);
    CloseIfOpen(read_fd_);
    CloseIfOpen(write_fd_);
    g_capturing.store(false);
    return;
  }
  reader_ = std::thread([this] { ReadLines(); });
  g_dropping.store(!publish_);
}

StdoutTrace::~StdoutTrace() {
  Stop();
}

void StdoutTrace::Stop() {
  if (saved_fd_ < 0) return;
  g_dropping.store(false);
  // What is still buffered goes into the pipe while the reader drains it.
  FlushStandardOutput();
  dup2(saved_fd_, STDOUT_FILENO);
  CloseIfOpen(saved_fd_);
  // The pipe's last write end: the reader sees its end once it is empty.
  CloseIfOpen(write_fd_);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof one);
  reader_.join();
  CloseIfOpen(read_fd_);
  CloseIfOpen(stop_fd_);
  g_capturing.store(false);
}

void StdoutTrace::ReadLines() {
  NameThisThread("stdout trace");
  std::string partial;
  // A long line goes in pieces of kMaxLine bytes.
  auto publish = [this](const std::string& line) {
    if (!publish_) return;
    std::size_t start = 0;
    for (; line.size() - start > kMaxLine; start += kMaxLine) {
      events_.Log(label_, 0, line.substr(start, kMaxLine));
    }
    events_.Log(label_, 0, line.substr(start));
  };
  char buffer[4096];
  bool stopping = false;
  for (;;) {
    pollfd ready[2] = {{read_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    // Once stopping, only what is in the pipe now: a process started
    // meanwhile may hold a copy of the write end, so its end may never come.
    const int polled = poll(ready, stopping ? 1 : 2, stopping ? 0 : -1);
    if (polled < 0 && errno != EINTR) break;
    if (polled <= 0) {
      if (stopping) break;
      continue;
    }
    if (ready[0].revents == 0) {
      stopping = true;
      continue;
    }
    const ssize_t count = read(read_fd_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(count));
    // The lines of one read reach the outputs as one batch.
    EventBatch batch(events_);
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
