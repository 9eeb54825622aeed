#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/kmx_spdevice.h"
#include "host/serial_port.h"

class PMBusProtocol;

struct LineDriverOptions {
  // How often the device's RefreshStatus is called.
  std::chrono::milliseconds refresh_interval{100};
  // Longest wait for received bytes in one step.
  std::chrono::milliseconds read_slice{20};
  // Back-off between attempts to open the port: doubles from `reopen_first`
  // up to `reopen_max` while opening fails. A closed port costs nothing to
  // retry, and a replugged adapter is to be polled again within seconds.
  std::chrono::milliseconds reopen_first{500};
  std::chrono::milliseconds reopen_max{2000};
  // Silence after a damaged reply that tells that its sender has finished:
  // the request is then repeated (about 50 characters at 9600 baud).
  std::chrono::milliseconds quiet_gap{50};
};

// Drives one serial device on its line, on the thread that calls Step, Run or
// RunUntil (one thread per power system): opens the port, and after a failure
// (port missing, busy, or gone while polling) reports it through the device's
// log and opens it again with back-off; calls RefreshStatus periodically;
// hands received bytes to process(); after a damaged reply, lets the device
// repeat its request as soon as the line is quiet; runs the host's queued
// jobs after each step. Stop may be called from any thread.
class KMX_HOST_API LineDriver {
 public:
  using JobRunner = std::function<void()>;

  LineDriver(std::shared_ptr<KMXSPDevice> device, std::shared_ptr<SerialPort> port,
             LineDriverOptions options = LineDriverOptions(), JobRunner run_jobs = nullptr);

  // One turn, at most about one read slice long.
  void Step();
  // Steps until Stop is called.
  void Run();
  void Stop() { stop_.store(true); }
  // Steps until `done` holds or `limit` has passed; returns whether it holds.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

  bool PortOpen() const;
  // Successful opens, and failures of an open port (reads that failed).
  std::uint64_t Opens() const { return opens_.load(); }
  std::uint64_t PortFailures() const { return port_failures_.load(); }
  // The last open or read failure, empty while none happened.
  const std::string& LastError() const { return last_error_; }

 private:
  using Clock = std::chrono::steady_clock;

  bool TryOpen(Clock::time_point now);

  std::shared_ptr<KMXSPDevice> device_;
  PMBusProtocol* protocol_ = nullptr;  // device_ when it frames its own replies
  std::shared_ptr<SerialPort> port_;
  LineDriverOptions options_;
  JobRunner run_jobs_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> opens_{0};
  std::atomic<std::uint64_t> port_failures_{0};
  std::string last_error_;
  Clock::time_point next_open_{};
  Clock::time_point next_refresh_{};
  Clock::time_point last_bytes_{};
  std::chrono::milliseconds backoff_;
  unsigned char buffer_[512];
};
