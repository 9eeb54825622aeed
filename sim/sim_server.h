#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "host/serial_port.h"
#include "sim/simulator.h"

// Serves a simulator on an open line (a pseudo-terminal or a serial device):
// reads requests and writes the replies, on its own thread.
class SimServer {
 public:
  SimServer(Simulator& simulator, std::shared_ptr<SerialPort> line);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  void Start();
  void Stop();
  // Serves until Stop; returns false with the line's error when it failed.
  bool Serve(std::string& error);

 private:
  Simulator& simulator_;
  std::shared_ptr<SerialPort> line_;
  std::atomic<bool> stop_{false};
  int stop_fd_ = -1;  // eventfd: ends a wait for requests
  std::thread thread_;
};
