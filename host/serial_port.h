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
// test double. Write hands bytes to the line; received bytes reach the device
// through its process().
class KMX_HOST_API SerialPort {
 public:
  virtual ~SerialPort();
  virtual bool Open(const SerialSettings& settings, std::string& error) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual bool Write(const unsigned char* data, std::size_t length) = 0;
};
