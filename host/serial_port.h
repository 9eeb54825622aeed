#pragma once

#include <cstddef>
#include <string>

#include "host/host_api.h"

// Line settings of a serial device.
struct SerialSettings {
  unsigned int baud_rate = 9600;
  unsigned int data_bits = 8;
  char parity = 'N';  // 'N', 'E' or 'O'
  unsigned int stop_bits = 1;
};

// The byte channel under a serial device: a real port, a pseudo-terminal or a
// test double. Write hands bytes to the line; whatever drives the line reads
// with Read and hands the bytes to the device's process().
class KMX_HOST_API SerialPort {
 public:
  virtual ~SerialPort();
  // On failure `error` names the port and the system's reason.
  virtual bool Open(const SerialSettings& settings, std::string& error) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual bool Write(const unsigned char* data, std::size_t length) = 0;
  // Waits up to `timeout_ms` for received bytes and reads what is there, at
  // most `size`. Returns the count read (0 when nothing came in time), or -1
  // when the port failed or disappeared; `error` then says why and the port
  // is to be closed and opened again. The default cannot read.
  virtual long Read(unsigned char* buffer, std::size_t size, int timeout_ms, std::string& error);
  // A descriptor that poll() reports readable when bytes arrived or the port
  // failed, so that a driver can wait for it together with other events; -1
  // when there is none (then Read is called with a time-out instead).
  virtual int PollDescriptor() const { return -1; }
  // The device path, for messages.
  virtual std::string Path() const { return std::string(); }
};
