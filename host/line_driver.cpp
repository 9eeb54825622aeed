#include "host/line_driver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <climits>
#include <ctime>

#include "host/host_clock.h"
#include "host/pmbus_protocol.h"

namespace {

// The resolution of the clock that time() reads (a kernel tick).
std::chrono::microseconds CoarseTick() {
  static const std::chrono::microseconds tick = [] {
    timespec resolution{};
    if (clock_getres(CLOCK_REALTIME_COARSE, &resolution) != 0) {
      return std::chrono::microseconds(10000);
    }
    const long long us = resolution.tv_sec * 1000000LL + (resolution.tv_nsec + 999) / 1000;
    return std::chrono::microseconds(std::clamp<long long>(us, 0, 20000));
  }();
  return tick;
}

}  // namespace

LineDriver::LineDriver(std::shared_ptr<KMXSPDevice> device, std::shared_ptr<SerialPort> port,
                       LineDriverOptions options, JobRunner run_jobs)
    : device_(std::move(device)),
      port_(std::move(port)),
      options_(options),
      run_jobs_(std::move(run_jobs)),
      backoff_(options.reopen_first) {
  protocol_ = dynamic_cast<PMBusProtocol*>(device_.get());
  device_->AttachPort(port_);
  // Without it (descriptors exhausted) Wake has no effect and waits end at
  // their deadlines.
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

LineDriver::~LineDriver() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool LineDriver::PortOpen() const {
  return port_->IsOpen();
}

void LineDriver::Stop() {
  stop_.store(true);
  Wake();
}

void LineDriver::Wake() {
  if (wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

bool LineDriver::TryOpen(Clock::time_point now) {
  if (device_->OpenPort()) {
    opens_.fetch_add(1);
    backoff_ = options_.reopen_first;
    last_error_.clear();
    device_->InfoLog("LineDriver: {} serial port {} open", device_->DataId(), port_->Path());
    next_refresh_ = now;
    return true;
  }
  last_error_ = device_->LastPortError();
  device_->InfoLog("LineDriver: {} {}; next attempt in {} ms", device_->DataId(), last_error_,
                   static_cast<long long>(backoff_.count()));
  next_open_ = now + backoff_;
  backoff_ = std::min(backoff_ * 2, options_.reopen_max);
  return false;
}

bool LineDriver::Wait(Clock::time_point until) {
  const bool open = port_->IsOpen();
  const int fd = open ? port_->PollDescriptor() : -1;
  if (open && fd < 0) return true;  // Work waits in Read
  pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
  const nfds_t count = fd >= 0 ? 2 : 1;
  int timeout = 0;
  const Clock::time_point now = Clock::now();
  if (until > now) {
    const Clock::duration left = until - now;
    // Rounded up: a wait that ends early only to wait again is a wasted wake-up.
    timeout = left >= std::chrono::milliseconds(INT_MAX)
                  ? -1
                  : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }
  const int ready = ::poll(fds, count, timeout);
  if (ready <= 0) return false;
  if (fds[0].revents != 0) {
    std::uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t taken = ::read(wake_fd_, &wakes, sizeof wakes);
  }
  // A hang-up or error counts too: the read tells what happened.
  return count == 2 && fds[1].revents != 0;
}

LineDriver::Clock::time_point LineDriver::Work(bool readable) {
  Clock::time_point now = Clock::now();
  if (!port_->IsOpen()) {
    if (now < next_open_ || !TryOpen(now)) {
      if (run_jobs_) run_jobs_();
      next_due_ = next_open_;
      return next_due_;
    }
    readable = false;
  }
  if (readable) {
    int wait_ms = 0;
    if (port_->PollDescriptor() < 0) {
      const auto until_refresh =
          std::chrono::duration_cast<std::chrono::milliseconds>(next_refresh_ - now);
      wait_ms = static_cast<int>(
          std::max<long long>(0, std::min(until_refresh, options_.read_slice).count()));
    }
    std::string error;
    const long count = port_->Read(buffer_, sizeof buffer_, wait_ms, error);
    if (count < 0) {
      PortFailed(error);
      if (run_jobs_) run_jobs_();
      next_due_ = next_open_;
      return next_due_;
    }
    if (count > 0) {
      last_bytes_ = Clock::now();
      device_->process(buffer_, static_cast<unsigned int>(count));
      FollowExchange(last_bytes_);
    }
  }
  now = Clock::now();
  if (protocol_ != nullptr && protocol_->ReplyDamaged() &&
      now - last_bytes_ >= options_.quiet_gap && protocol_->LineQuiet()) {
    next_refresh_ = now;
  }
  if (now >= next_refresh_ && !DeviceClockBehind(now)) Refresh();
  if (run_jobs_) run_jobs_();
  next_due_ = next_refresh_;
  if (protocol_ != nullptr && protocol_->ReplyDamaged()) {
    next_due_ = std::min(next_due_, last_bytes_ + options_.quiet_gap);
  }
  return next_due_;
}

void LineDriver::FollowExchange(Clock::time_point now) {
  // A reply that left nothing outstanding (a rejected one, the end of a
  // cycle): the device decides what comes next.
  next_refresh_ = device_->IsProcessing()
                      ? device_->ExchangeDeadline()
                      : std::max(now, last_refresh_ + options_.refresh_interval);
}

void LineDriver::Refresh() {
  awaiting_cycle_ = false;
  device_->RefreshStatus();
  const Clock::time_point now = Clock::now();
  last_refresh_ = now;
  if (device_->IsProcessing()) {
    next_refresh_ = device_->ExchangeDeadline();
    return;
  }
  declined_.fetch_add(1);
  next_refresh_ = now + options_.refresh_interval;
  if (host_clock::ClockInstalled()) return;
  const std::optional<Clock::time_point> cycle = NextCycle();
  if (!cycle) return;
  next_refresh_ = *cycle;
  awaiting_cycle_ = true;
}

std::optional<LineDriver::Clock::time_point> LineDriver::NextCycle() const {
  // The device declined: its next cycle starts once its last update (local
  // time in whole seconds) is cycle_gap old. Only a moment within the gap is
  // trusted; a device past it declines for reasons of its own.
  const boost::posix_time::ptime last = device_->LastUpdate();
  if (last.is_special()) return std::nullopt;
  const long long gap_us = std::chrono::microseconds(options_.cycle_gap).count();
  const long long left_us = (last + boost::posix_time::microseconds(gap_us) -
                             boost::posix_time::microsec_clock::local_time())
                                .total_microseconds();
  // Read after the wall clock, so that the time the conversion took cannot
  // make the moment early.
  const Clock::time_point now = Clock::now();
  if (left_us <= 0 || left_us > gap_us) return std::nullopt;
  // The device reads whole seconds from time(), which follows the coarse
  // clock: it turns up to one tick (1-10 ms) after the precise one. Waiting
  // that tick and a millisecond more, the second has turned for it too
  // unless the tick itself came late (a loaded or virtual machine), which
  // DeviceClockBehind catches.
  return now + std::chrono::microseconds(left_us) + CoarseTick() + std::chrono::milliseconds(1);
}

bool LineDriver::DeviceClockBehind(Clock::time_point now) {
  if (!awaiting_cycle_ || device_->IsProcessing()) return false;
  const boost::posix_time::ptime last = device_->LastUpdate();
  if (last.is_special()) return false;
  const long long elapsed = (host_clock::LocalNow() - last).total_seconds();
  const long long gap_s =
      std::chrono::duration_cast<std::chrono::seconds>(options_.cycle_gap).count();
  if (elapsed < 0 || elapsed >= gap_s) return false;
  // Offered now, the device would decline and wait a refresh_interval; its
  // clock turns within a tick, or at the moment foreseen if the wall clock
  // was set back meanwhile.
  const Clock::time_point tick = now + CoarseTick() + std::chrono::milliseconds(1);
  const std::optional<Clock::time_point> cycle = NextCycle();
  next_refresh_ = cycle ? std::max(*cycle, tick) : tick;
  return true;
}

void LineDriver::PortFailed(const std::string& error) {
  port_failures_.fetch_add(1);
  last_error_ = error;
  device_->InfoLog("LineDriver: {} {}; closing it and opening it again", device_->DataId(), error);
  device_->ClosePort();
  backoff_ = options_.reopen_first;
  next_open_ = Clock::now();
}

void LineDriver::Step(Clock::time_point limit) {
  Work(Wait(std::min(next_due_, limit)));
}

void LineDriver::Run() {
  while (!stop_.load()) Step();
}

bool LineDriver::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end || stop_.load()) return done();
    Step(end);
  }
  return true;
}
