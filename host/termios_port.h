#pragma once

#include <string>

#include "host/serial_port.h"

// A serial port on a device path (a UART, a USB adapter or a pseudo-terminal
// slave), in raw mode with the line's baud rate, data bits, parity and stop
// bits, non-blocking, read with poll. Opening takes an exclusive advisory
// lock, so a second program on the same port is told that it is busy.
class KMX_HOST_API TermiosPort : public SerialPort {
 public:
  explicit TermiosPort(std::string path);
  ~TermiosPort() override;
  TermiosPort(const TermiosPort&) = delete;
  TermiosPort& operator=(const TermiosPort&) = delete;

  bool Open(const SerialSettings& settings, std::string& error) override;
  void Close() override;
  bool IsOpen() const override { return fd_ >= 0; }
  // Writes everything, waiting for the line while it is full (at most 2 s).
  bool Write(const unsigned char* data, std::size_t length) override;
  long Read(unsigned char* buffer, std::size_t size, int timeout_ms, std::string& error) override;
  int PollDescriptor() const override { return fd_; }
  std::string Path() const override { return path_; }

  // Why the last Write failed.
  const std::string& WriteError() const { return write_error_; }

 private:
  std::string Failure(const std::string& what, int error_number) const;

  std::string path_;
  int fd_ = -1;
  std::string write_error_;
};
