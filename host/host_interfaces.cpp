// Out-of-line destructors: they anchor the virtual tables and type information
// of the host's interfaces in the host library, where plug-ins find them.
#include "host/kmx_controller.h"
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "host/serial_port.h"

Provider::~Provider() = default;
KMXSPDeviceProvider::~KMXSPDeviceProvider() = default;
KMXController::~KMXController() = default;
PMBusTransport::~PMBusTransport() = default;
SerialPort::~SerialPort() = default;

long SerialPort::Read(unsigned char*, std::size_t, int, std::string& error) {
  error = "serial port " + Path() + " cannot read";
  return -1;
}
