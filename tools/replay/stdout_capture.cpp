#include "tools/replay/stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace replay {

namespace {

void FlushStandardOutput() {
  std::cout.flush();
  std::fflush(stdout);
}

}  // namespace

StdoutCapture::~StdoutCapture() {
  End();
}

bool StdoutCapture::Begin() {
  if (saved_fd_ >= 0) return true;
  FlushStandardOutput();
  char path[] = "/tmp/korvan-replay-XXXXXX";
  file_fd_ = mkstemp(path);
  if (file_fd_ < 0) return false;
  unlink(path);
  saved_fd_ = dup(STDOUT_FILENO);
  if (saved_fd_ < 0 || dup2(file_fd_, STDOUT_FILENO) < 0) {
    if (saved_fd_ >= 0) close(saved_fd_);
    close(file_fd_);
    saved_fd_ = file_fd_ = -1;
    return false;
  }
  read_offset_ = 0;
  partial_.clear();
  return true;
}

void StdoutCapture::Drain() {
  if (file_fd_ < 0) return;
  FlushStandardOutput();
  char buffer[4096];
  for (;;) {
    const ssize_t count = pread(file_fd_, buffer, sizeof buffer, read_offset_);
    if (count <= 0) break;
    read_offset_ += count;
    partial_.append(buffer, static_cast<std::size_t>(count));
  }
  std::size_t start = 0;
  for (std::size_t end = partial_.find('\n'); end != std::string::npos;
       end = partial_.find('\n', start)) {
    sink_(partial_.substr(start, end - start));
    start = end + 1;
  }
  partial_.erase(0, start);
}

void StdoutCapture::End() {
  if (saved_fd_ < 0) return;
  Drain();
  if (!partial_.empty()) sink_(partial_);
  partial_.clear();
  dup2(saved_fd_, STDOUT_FILENO);
  close(saved_fd_);
  close(file_fd_);
  saved_fd_ = file_fd_ = -1;
}

}  // namespace replay
