#include "runtime/bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace runtime {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

std::string TooLarge(std::size_t limit) {
  return "is larger than " + std::to_string(limit) + " bytes";
}

}  // namespace

bool ReadFileBounded(const std::string& path, std::size_t limit, std::string& text,
                     std::string& error, bool regular_only) {
  // Opened without blocking: a FIFO with no writer would wait for ever.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
  if (fd < 0) {
    error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    error = "cannot read: is a directory";
    return false;
  }
  if (regular_only && !S_ISREG(info.st_mode)) {
    close(fd);
    error = "cannot read: is not a regular file";
    return false;
  }
  if (regular_only) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  text.clear();
  char buffer[kChunk];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = std::string("cannot read: ") + std::strerror(errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    if (text.size() + static_cast<std::size_t>(got) > limit) {
      close(fd);
      error = TooLarge(limit);
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return true;
}

bool ReadStreamBounded(std::istream& in, std::size_t limit, std::string& text, std::string& error) {
  text.clear();
  char buffer[kChunk];
  while (in) {
    in.read(buffer, sizeof buffer);
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    if (text.size() + got > limit) {
      error = TooLarge(limit);
      return false;
    }
    text.append(buffer, got);
  }
  if (in.bad()) {
    error = "cannot read: read error";
    return false;
  }
  return true;
}

}  // namespace runtime
