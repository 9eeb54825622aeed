#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/kmx_spdevice.h"
#include "host/line_driver.h"
#include "host/plugin_entry.h"
#include "host/serial_port.h"
#include "runtime/cache_source.h"
#include "runtime/event_stream.h"
#include "runtime/progress_mark.h"
#include "runtime/runtime_controller.h"
#include "runtime/system_config.h"
#include "runtime/system_summary.h"

namespace runtime {

struct PowerSystemOptions {
  LineDriverOptions line;
  // The same request sent this many times in a row, without a cycle
  // completing, is warned about.
  std::uint64_t repeat_warning = 5;
  // Replies refused this many times in a row to one request, while the
  // configuration's unit counts fit: the units hold a count that the power
  // system no longer has (a module or channel came or went), so the bus
  // device is made anew, as a driver restart would. 0: never.
  std::uint64_t refusals_before_restart = 5;
  // When the new device refuses as well: an alarm, and the next attempt only
  // after this wait, which doubles up to the maximum.
  std::chrono::milliseconds restart_backoff_first{60000};
  std::chrono::milliseconds restart_backoff_max{3600000};
  // No cycle completed for this long: communication is lost. As the point
  // reads, which call data older than 60 s stale.
  std::chrono::milliseconds comm_lost_after{60000};
};

// The alarms of the host itself about a power system, kept with the bus
// device's own (data id of the bus device, record type 0).
struct HostAlarm {
  const char* id;
  const char* code;
  int level;
  const char* name;
};
namespace host_alarms {
// Replies still refused after the bus device was made anew.
constexpr HostAlarm kRestartFailed{"driver_restart_failed", "90001", 2,
                                   "driver restart did not help"};
// No polling cycle completed for the configured time.
constexpr HostAlarm kCommunicationLost{"communication_lost", "90002", 1, "communication lost"};
// The power system reports other AC or DC unit counts than configured.
constexpr HostAlarm kConfigMismatch{"config_mismatch", "90003", 2, "configuration mismatch"};
}  // namespace host_alarms

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
                                             const ProviderList& providers, EventStream& events,
                                             PowerSystemOptions options, ConfigProblem& problem);
  ~PowerSystem();
  PowerSystem(const PowerSystem&) = delete;
  PowerSystem& operator=(const PowerSystem&) = delete;

  // Opens the serial port; false with `problem` set when it cannot be opened.
  // `port` replaces the configured device path (tests, the simulator).
  bool OpenPort(ConfigProblem& problem, std::shared_ptr<SerialPort> port = nullptr);
  // Restores every child that has a cache row, and the alarms that were
  // active; returns how many children were restored. Before Start.
  int Restore(CacheSource& store);
  void Start();
  // Ends polling and releases the port.
  void Stop();

  // Runs `read` under the system's lock.
  void WithLock(const std::function<void()>& read);
  // Reads the points, the published records, the alarms and the line health.
  SystemSummary Summarize(const std::string& reason);
  // The line health alone: no point is read.
  LineHealth Health();
  // Called on the polling thread after each completed cycle.
  void SetCycleListener(std::function<void()> listener);
  // Called on the polling thread, under the lock, just before the bus
  // device is replaced by a new one (whatever holds on to the old device
  // lets go of it).
  void SetRestartListener(std::function<void()> listener);
  // Called on the polling thread when the system starts repeating a request
  // or failing (Repeating(), Failing()), so that a waiting thread looks again.
  void SetAttentionListener(std::function<void()> listener);
  // Times the bus device was made anew.
  std::uint64_t Restarts() const { return restarts_.load(); }
  // Communication is lost (no cycle for the configured time), or the
  // configuration's unit counts do not fit the power system: no cycle will
  // complete until something changes. Needs no lock.
  bool Failing() const { return failing_.load(); }

  const std::string& Name() const { return config_.name; }
  const SystemConfig& Config() const { return config_; }
  // What the system polls, in one line for an operator: "polling on
  // /dev/ttyUSB0 at 9600 baud, address 1: 1 AC unit (data id 11), 1 DC unit
  // (data id 21), rectifier group (data id 100)". Before Start.
  std::string Plan() const;
  // The polling thread's progress, for the watchdog. Needs no lock.
  const ProgressMark& Progress() const { return progress_; }
  // The same request has gone out often enough in a row to warn about it.
  // Needs no lock.
  bool Repeating() const;
  const std::shared_ptr<KMXSPDevice>& Bus() const { return bus_; }
  RuntimeController& Controller() { return *controller_; }

 private:
  PowerSystem(SystemConfig config, EventStream& events, PowerSystemOptions options);
  void PollLoop();
  SystemSummary SummarizeLocked(const std::string& reason);
  LineHealth HealthLocked();
  // A new bus device of the configured type, initialised and configured;
  // null with `reason` set when that fails.
  std::shared_ptr<KMXSPDevice> MakeBus(std::string& reason);
  // After a step: makes the bus device anew when its replies keep being
  // refused, with back-off when that did not help.
  void WatchRefusals();
  void WatchCommunication();
  void WatchCountMismatch();
  // When a watch is next due without anything happening on the line: the
  // communication-lost threshold, the next driver restart.
  std::chrono::steady_clock::time_point NextWatch() const;
  // Tells the attention listener of a system that started repeating or failing.
  void TellAttention();
  void RestartDriver(const std::string& why);
  // Raises (non-empty `text`) or clears (empty) a host alarm; the text of a
  // raised one is kept so that its clear names the same alarm. Returns the
  // event id of the alarm's last raise or clear.
  std::string SetHostAlarm(const HostAlarm& alarm, const std::string& text);
  // Communication lost (`ok` false) or restored, as an event; its id follows
  // from the communication_lost alarm event told with it.
  void PublishCommunication(bool ok, const std::string& text, const std::string& alarm_event_id);
  bool HostAlarmActive(const HostAlarm& alarm) const { return host_alarms_.count(alarm.id) != 0; }

  SystemConfig config_;
  ProviderList providers_;
  EventStream& events_;
  PowerSystemOptions options_;
  std::shared_ptr<RuntimeController> controller_;
  std::shared_ptr<KMXSPDevice> bus_;
  std::shared_ptr<SerialPort> port_;
  std::unique_ptr<LineDriver> driver_;

  std::mutex mutex_;
  std::atomic<int> readers_waiting_{0};
  // A reader that took the lock tells the polling thread, which lets waiting
  // readers in before it takes the lock again.
  std::mutex handover_mutex_;
  std::condition_variable handover_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  ProgressMark progress_;

  // Driver restarts; used by the polling thread only (but the count).
  std::atomic<std::uint64_t> restarts_{0};
  std::uint64_t cycles_seen_ = 0;
  bool restarted_without_cycle_ = false;
  std::optional<std::chrono::steady_clock::time_point> next_restart_;
  std::chrono::milliseconds restart_backoff_{0};
  std::map<std::string, std::string> host_alarms_;       // active host alarm id → its text
  std::chrono::steady_clock::time_point last_progress_;  // start, or the last completed cycle
  std::atomic<bool> failing_{false};
  std::function<void()> restart_listener_;
  std::function<void()> attention_listener_;  // set before Start
  bool attention_ = false;                    // polling thread only
};

}  // namespace runtime
