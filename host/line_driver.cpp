#include "host/line_driver.h"

#include <algorithm>
#include <thread>

#include "host/pmbus_protocol.h"

LineDriver::LineDriver(std::shared_ptr<KMXSPDevice> device, std::shared_ptr<SerialPort> port,
                       LineDriverOptions options, JobRunner run_jobs)
    : device_(std::move(device)),
      port_(std::move(port)),
      options_(options),
      run_jobs_(std::move(run_jobs)),
      backoff_(options.reopen_first) {
  protocol_ = dynamic_cast<PMBusProtocol*>(device_.get());
  device_->AttachPort(port_);
}

bool LineDriver::PortOpen() const {
  return port_->IsOpen();
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

void LineDriver::Step() {
  Clock::time_point now = Clock::now();
  if (!port_->IsOpen()) {
    if (now < next_open_) {
      std::this_thread::sleep_for(std::min<Clock::duration>(next_open_ - now, options_.read_slice));
    } else {
      TryOpen(now);
    }
    if (run_jobs_) run_jobs_();
    return;
  }
  if (now >= next_refresh_) {
    device_->RefreshStatus();
    next_refresh_ = now + options_.refresh_interval;
  }
  const auto until_refresh =
      std::chrono::duration_cast<std::chrono::milliseconds>(next_refresh_ - Clock::now());
  const int wait_ms = static_cast<int>(
      std::max<long long>(0, std::min(until_refresh, options_.read_slice).count()));
  std::string error;
  const long count = port_->Read(buffer_, sizeof buffer_, wait_ms, error);
  if (count > 0) {
    last_bytes_ = Clock::now();
    device_->process(buffer_, static_cast<unsigned int>(count));
  } else if (count == 0) {
    if (protocol_ != nullptr && Clock::now() - last_bytes_ >= options_.quiet_gap &&
        protocol_->LineQuiet()) {
      next_refresh_ = Clock::now();
    }
  } else {
    port_failures_.fetch_add(1);
    last_error_ = error;
    device_->InfoLog("LineDriver: {} {}; closing it and opening it again", device_->DataId(),
                     error);
    device_->ClosePort();
    backoff_ = options_.reopen_first;
    next_open_ = Clock::now();
  }
  if (run_jobs_) run_jobs_();
}

void LineDriver::Run() {
  while (!stop_.load()) Step();
}

bool LineDriver::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end || stop_.load()) return done();
    Step();
  }
  return true;
}
