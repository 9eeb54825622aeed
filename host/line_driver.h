#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/kmx_spdevice.h"
#include "host/serial_port.h"

class PMBusProtocol;

struct LineDriverOptions {
  // While nothing is outstanding and the device declines to poll, its next
  // cycle is due when its last update is `cycle_gap` old (the bus device's
  // rule); RefreshStatus is offered again then. Where that moment cannot be
  // told (a host clock installed by a tool, a device that declines for
  // another reason), it is offered again every `refresh_interval`.
  std::chrono::milliseconds refresh_interval{100};
  std::chrono::seconds cycle_gap{2};
  // Longest wait for received bytes in one step on a port without a poll
  // descriptor (test doubles); ports with one are waited for until bytes
  // arrive or the next deadline.
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
// log and opens it again with back-off; hands received bytes to process();
// calls RefreshStatus when the device next needs it (its reply time-out, its
// next cycle, at once after a reply that left nothing outstanding); after a
// damaged reply, lets the device repeat its request as soon as the line is
// quiet; runs the host's queued jobs after each step. Between these the
// thread sleeps in poll() on the port and a wake-up descriptor.
//
// A step is Wait (touches no device state, so it may run without the lock
// that guards the device) followed by Work. Stop and Wake may be called from
// any thread.
class KMX_HOST_API LineDriver {
 public:
  using JobRunner = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  LineDriver(std::shared_ptr<KMXSPDevice> device, std::shared_ptr<SerialPort> port,
             LineDriverOptions options = LineDriverOptions(), JobRunner run_jobs = nullptr);
  ~LineDriver();
  LineDriver(const LineDriver&) = delete;
  LineDriver& operator=(const LineDriver&) = delete;

  // One turn: waits until bytes arrive, the next deadline or `limit`, then
  // works.
  void Step(Clock::time_point limit = Clock::time_point::max());
  // Steps until Stop is called.
  void Run();
  void Stop();
  // Steps until `done` holds or `limit` has passed; returns whether it holds.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

  // Sleeps until bytes (or a port failure) are there, `until`, or Wake;
  // returns whether the port has something to read.
  bool Wait(Clock::time_point until);
  // Does what is due now: opens the port, reads and hands on what arrived
  // (`readable`: Wait said so), refreshes the device, runs the jobs. Returns
  // when it is next due unless bytes arrive first.
  Clock::time_point Work(bool readable);
  // When Work is next due.
  Clock::time_point NextDue() const { return next_due_; }
  // Ends a Wait now (or the next one, if none is running).
  void Wake();

  bool PortOpen() const;
  // Successful opens, and failures of an open port (reads that failed).
  std::uint64_t Opens() const { return opens_.load(); }
  std::uint64_t PortFailures() const { return port_failures_.load(); }
  // Refreshes after which the device had nothing outstanding: one a cycle
  // (the end of the cycle) when its next cycle is foreseen right.
  std::uint64_t Declined() const { return declined_.load(); }
  // The last open or read failure, empty while none happened.
  const std::string& LastError() const { return last_error_; }

 private:
  bool TryOpen(Clock::time_point now);
  // Calls RefreshStatus and sets when the device next needs it.
  void Refresh();
  // While the device waits for its next cycle, when that starts; nothing
  // when it cannot be told.
  std::optional<Clock::time_point> NextCycle() const;
  // Woken for the device's next cycle before the device's own clock has
  // turned (a late tick): waits on instead of offering a refresh it would
  // decline.
  bool DeviceClockBehind(Clock::time_point now);
  // After the device ran: its reply time-out while a request is outstanding,
  // otherwise at once, but at most once per refresh_interval (a device that
  // refuses every reply repeats its request no faster).
  void FollowExchange(Clock::time_point now);
  // A failed read: the port is closed and opened again.
  void PortFailed(const std::string& error);

  std::shared_ptr<KMXSPDevice> device_;
  PMBusProtocol* protocol_ = nullptr;  // device_ when it frames its own replies
  std::shared_ptr<SerialPort> port_;
  LineDriverOptions options_;
  JobRunner run_jobs_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> opens_{0};
  std::atomic<std::uint64_t> port_failures_{0};
  std::atomic<std::uint64_t> declined_{0};
  std::string last_error_;
  int wake_fd_ = -1;  // eventfd
  Clock::time_point next_open_{};
  Clock::time_point next_refresh_{};
  Clock::time_point last_refresh_{};
  Clock::time_point next_due_ = Clock::time_point::min();
  Clock::time_point last_bytes_{};
  bool awaiting_cycle_ = false;  // next_refresh_ is the device's next cycle
  std::chrono::milliseconds backoff_;
  unsigned char buffer_[512];
};
