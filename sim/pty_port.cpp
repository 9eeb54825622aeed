#include "sim/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

PtyPort::PtyPort(std::string link) : link_(std::move(link)) {}

PtyPort::~PtyPort() {
  Close();
}

bool PtyPort::Open(const SerialSettings&, std::string& error) {
  Close();
  auto fail = [&](const char* what) {
    error = std::string("pseudo-terminal: ") + what + ": " + std::strerror(errno);
    Close();
    return false;
  };
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail("cannot create");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail("cannot unlock");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) return fail("no slave name");
  slave_path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) return fail("cannot open the slave");
  termios options{};
  if (::tcgetattr(slave_, &options) == 0) {
    ::cfmakeraw(&options);
    ::tcsetattr(slave_, TCSANOW, &options);
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (!link_.empty()) {
    ::unlink(link_.c_str());
    if (::symlink(slave_path_.c_str(), link_.c_str()) != 0) return fail("cannot create the link");
  }
  return true;
}

void PtyPort::Close() {
  // A link left behind would name whatever pseudo-terminal is given the same
  // number next, another program's: it goes with the pair, unless it was
  // since made to point elsewhere.
  if (master_ >= 0 && !link_.empty()) {
    char target[128];
    const ssize_t length = ::readlink(link_.c_str(), target, sizeof target);
    if (length > 0 &&
        slave_path_.compare(0, std::string::npos, target, static_cast<std::size_t>(length)) == 0) {
      ::unlink(link_.c_str());
    }
  }
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
}

bool PtyPort::Write(const unsigned char* data, std::size_t length) {
  std::size_t written = 0;
  while (master_ >= 0 && written < length) {
    const ssize_t count = ::write(master_, data + written, length - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd waiting{master_, POLLOUT, 0};
      if (::poll(&waiting, 1, 1000) <= 0) return false;
    } else {
      return false;
    }
  }
  return written == length;
}

long PtyPort::Read(unsigned char* buffer, std::size_t size, int timeout_ms, std::string& error) {
  if (master_ < 0) {
    error = "pseudo-terminal is not open";
    return -1;
  }
  pollfd waiting{master_, POLLIN, 0};
  const int ready = ::poll(&waiting, 1, timeout_ms);
  if (ready <= 0) return 0;
  const ssize_t count = ::read(master_, buffer, size);
  if (count > 0) return static_cast<long>(count);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  error = std::string("pseudo-terminal: ") + (count == 0 ? "closed" : std::strerror(errno));
  return -1;
}
