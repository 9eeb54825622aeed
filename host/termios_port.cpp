#include "host/termios_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool SpeedOf(unsigned int baud_rate, speed_t& speed) {
  switch (baud_rate) {
    case 1200:
      speed = B1200;
      return true;
    case 2400:
      speed = B2400;
      return true;
    case 4800:
      speed = B4800;
      return true;
    case 9600:
      speed = B9600;
      return true;
    case 19200:
      speed = B19200;
      return true;
    case 38400:
      speed = B38400;
      return true;
    case 57600:
      speed = B57600;
      return true;
    case 115200:
      speed = B115200;
      return true;
    case 230400:
      speed = B230400;
      return true;
    default:
      return false;
  }
}

bool DataBitsOf(unsigned int data_bits, tcflag_t& flag) {
  switch (data_bits) {
    case 5:
      flag = CS5;
      return true;
    case 6:
      flag = CS6;
      return true;
    case 7:
      flag = CS7;
      return true;
    case 8:
      flag = CS8;
      return true;
    default:
      return false;
  }
}

}  // namespace

TermiosPort::TermiosPort(std::string path) : path_(std::move(path)) {}

TermiosPort::~TermiosPort() {
  Close();
}

std::string TermiosPort::Failure(const std::string& what, int error_number) const {
  return "serial port " + path_ + " " + what + ": " + std::strerror(error_number);
}

bool TermiosPort::Open(const SerialSettings& settings, std::string& error) {
  Close();
  speed_t speed = B9600;
  tcflag_t data_bits = CS8;
  if (!SpeedOf(settings.baud_rate, speed)) {
    error = "serial port " + path_ + ": baud rate " + std::to_string(settings.baud_rate) +
            " is not supported";
    return false;
  }
  if (!DataBitsOf(settings.data_bits, data_bits) ||
      (settings.parity != 'N' && settings.parity != 'E' && settings.parity != 'O') ||
      (settings.stop_bits != 1 && settings.stop_bits != 2)) {
    error = "serial port " + path_ + ": line settings " + std::to_string(settings.data_bits) +
            settings.parity + std::to_string(settings.stop_bits) + " are not supported";
    return false;
  }
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error_number = errno;
    error = Failure(error_number == EBUSY ? "is busy" : "cannot be opened", error_number);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error_number = errno;
    ::close(fd);
    error = Failure(
        error_number == EWOULDBLOCK ? "is busy (in use by another program)" : "cannot be locked",
        error_number);
    return false;
  }
  termios options{};
  if (::tcgetattr(fd, &options) != 0) {
    const int error_number = errno;
    ::close(fd);
    error = Failure("cannot be configured", error_number);
    return false;
  }
  ::cfmakeraw(&options);
  options.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  options.c_cflag |= CLOCAL | CREAD | data_bits;
  if (settings.parity != 'N') options.c_cflag |= PARENB;
  if (settings.parity == 'O') options.c_cflag |= PARODD;
  if (settings.stop_bits == 2) options.c_cflag |= CSTOPB;
  options.c_iflag &= ~(IXON | IXOFF | IXANY);
  options.c_cc[VMIN] = 0;
  options.c_cc[VTIME] = 0;
  ::cfsetispeed(&options, speed);
  ::cfsetospeed(&options, speed);
  if (::tcsetattr(fd, TCSANOW, &options) != 0) {
    const int error_number = errno;
    ::close(fd);
    error = Failure("cannot be configured", error_number);
    return false;
  }
  ::tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return true;
}

void TermiosPort::Close() {
  if (fd_ < 0) return;
  ::close(fd_);  // also drops the lock
  fd_ = -1;
}

bool TermiosPort::Write(const unsigned char* data, std::size_t length) {
  if (fd_ < 0) {
    write_error_ = "serial port " + path_ + " is not open";
    return false;
  }
  std::size_t written = 0;
  while (written < length) {
    const ssize_t count = ::write(fd_, data + written, length - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      write_error_ = Failure("failed to write", errno);
      return false;
    }
    pollfd waiting{fd_, POLLOUT, 0};
    const int ready = ::poll(&waiting, 1, 2000);
    if (ready == 0) {
      write_error_ = "serial port " + path_ + ": output stalled";
      return false;
    }
    if (ready < 0 && errno != EINTR) {
      write_error_ = Failure("failed to wait", errno);
      return false;
    }
    if (ready > 0 && (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      write_error_ = "serial port " + path_ + " hung up";
      return false;
    }
  }
  return true;
}

long TermiosPort::Read(unsigned char* buffer, std::size_t size, int timeout_ms,
                       std::string& error) {
  if (fd_ < 0) {
    error = "serial port " + path_ + " is not open";
    return -1;
  }
  // Without a wait the caller has mostly polled already and bytes are there:
  // one read takes them. Anything else goes the polled way below, which tells
  // a quiet line from a hang-up (a read in raw mode returns 0 for both).
  if (timeout_ms <= 0) {
    const ssize_t count = ::read(fd_, buffer, size);
    if (count > 0) return static_cast<long>(count);
  }
  pollfd waiting{fd_, POLLIN, 0};
  const int ready = ::poll(&waiting, 1, timeout_ms < 0 ? 0 : timeout_ms);
  if (ready == 0) return 0;
  if (ready < 0) {
    if (errno == EINTR) return 0;
    error = Failure("failed to wait", errno);
    return -1;
  }
  if ((waiting.revents & POLLIN) == 0) {
    error =
        "serial port " + path_ + ((waiting.revents & POLLNVAL) != 0 ? " is invalid" : " hung up");
    return -1;
  }
  const ssize_t count = ::read(fd_, buffer, size);
  if (count > 0) return static_cast<long>(count);
  if (count == 0) {
    error = "serial port " + path_ + " hung up";
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  error = Failure("failed to read", errno);
  return -1;
}
