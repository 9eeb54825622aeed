#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/kmx_spdevice.h"
#include "host/line_driver.h"
#include "host/plugin_entry.h"
#include "host/serial_port.h"
#include "tools/runtime/record_store.h"
#include "tools/runtime/runtime_controller.h"
#include "tools/runtime/runtime_output.h"
#include "tools/runtime/system_config.h"
#include "tools/runtime/system_summary.h"

namespace runtime {

struct PowerSystemOptions {
  LineDriverOptions line;
  // The same request sent this many times in a row, without a cycle
  // completing, is warned about.
  std::uint64_t repeat_warning = 5;
};

// One configured power system: its bus device and children, its controller,
// its serial line and its polling thread. The lock of the system is held by
// the polling thread while it drives the device and by every reader and
// restore, so point reads and cache restores never overlap the polling.
class PowerSystem {
 public:
  // Creates the bus device from the provider of the configured device type
  // and configures it (Init, InitSetting). On failure returns null and sets
  // `problem`, which names the file, the system and the reason.
  static std::unique_ptr<PowerSystem> Create(const SystemConfig& config,
                                             const ProviderList& providers, RuntimeOutput& output,
                                             PowerSystemOptions options, ConfigProblem& problem);
  ~PowerSystem();
  PowerSystem(const PowerSystem&) = delete;
  PowerSystem& operator=(const PowerSystem&) = delete;

  // Opens the serial port; false with `problem` set when it cannot be opened.
  // `port` replaces the configured device path (tests, the simulator).
  bool OpenPort(ConfigProblem& problem, std::shared_ptr<SerialPort> port = nullptr);
  // Where published records, history and alarm events go from now on.
  void UseStore(std::shared_ptr<RecordStore> store);
  // Restores every child that has a cache row, and the alarms that were
  // active; returns how many children were restored. Before Start.
  int Restore(RecordStore& store);
  void Start();
  // Ends polling and releases the port.
  void Stop();

  // Runs `read` under the system's lock.
  void WithLock(const std::function<void()>& read);
  // Reads the points, the published records, the alarms and the line health.
  SystemSummary Summarize(const std::string& reason);
  // Called on the polling thread after each completed cycle.
  void SetCycleListener(std::function<void()> listener);

  const std::string& Name() const { return config_.name; }
  const SystemConfig& Config() const { return config_; }
  // The same request has gone out often enough in a row to warn about it.
  // Needs no lock.
  bool Repeating() const;
  const std::shared_ptr<KMXSPDevice>& Bus() const { return bus_; }
  RuntimeController& Controller() { return *controller_; }

 private:
  PowerSystem(SystemConfig config, RuntimeOutput& output, PowerSystemOptions options);
  void PollLoop();
  SystemSummary SummarizeLocked(const std::string& reason);

  SystemConfig config_;
  RuntimeOutput& output_;
  PowerSystemOptions options_;
  std::shared_ptr<RuntimeController> controller_;
  std::shared_ptr<KMXSPDevice> bus_;
  std::shared_ptr<SerialPort> port_;
  std::unique_ptr<LineDriver> driver_;

  std::mutex mutex_;
  std::atomic<int> readers_waiting_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace runtime
