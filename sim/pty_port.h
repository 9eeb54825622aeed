#pragma once

#include <string>

#include "host/serial_port.h"

// The simulator's end of a pseudo-terminal. Open creates the pair; the
// controller opens the slave, whose path Path() gives (and which a symbolic
// link may name, so that a restarted simulator keeps its path). The slave is
// kept open here too, in raw mode, so that the master never reads end of file
// while the controller has not opened it or closed it to reopen. Close removes
// the link.
class PtyPort : public SerialPort {
 public:
  explicit PtyPort(std::string link = std::string());
  ~PtyPort() override;
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  bool Open(const SerialSettings& settings, std::string& error) override;
  void Close() override;
  bool IsOpen() const override { return master_ >= 0; }
  bool Write(const unsigned char* data, std::size_t length) override;
  long Read(unsigned char* buffer, std::size_t size, int timeout_ms, std::string& error) override;
  int PollDescriptor() const override { return master_; }
  // The slave's path (the link when one was asked for).
  std::string Path() const override { return link_.empty() ? slave_path_ : link_; }
  const std::string& SlavePath() const { return slave_path_; }

 private:
  std::string link_;
  std::string slave_path_;
  int master_ = -1;
  int slave_ = -1;
};
