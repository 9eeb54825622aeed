#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "host/kmx_vdevice.h"
#include "host/line_quality.h"
#include "host/serial_port.h"

// A device that owns a serial line and runs request/reply exchanges on it.
//
// Exchange rule of this host: at most one request is outstanding. While it
// waits for its reply and its time-out has not run out, RefreshStatus declines
// (returns false). Once the time-out has run out the request counts as lost,
// the exchange ends and RefreshStatus lets the device poll again.
class KMX_HOST_API KMXSPDevice : public KMXVDevice {
 public:
  KMXSPDevice();
  ~KMXSPDevice() override;

  // Ends the current exchange and sets the last-update time to now.
  void Reset() override;
  bool Init(std::weak_ptr<KMXController> controller, unsigned int id,
            const Json::Value& config) override;

  // True when the device may poll now (no reply outstanding, or it was lost).
  virtual bool RefreshStatus();
  // Received bytes from the line.
  virtual int process(unsigned char* data, unsigned int length);
  // A request is outstanding.
  virtual bool IsProcessing() const;
  // A request is outstanding and its time-out has run out.
  virtual bool IsStalled() const;
  virtual bool SendData(const unsigned char* data, unsigned int length);
  // Sends with a parity other than the line's for this write only.
  virtual bool SendParityData(const unsigned char* data, unsigned int length, char parity);
  virtual bool OpenPort();
  virtual void ClosePort();

  // Host-side wiring and line state.
  void AttachPort(std::shared_ptr<SerialPort> port) { port_ = std::move(port); }
  const std::shared_ptr<SerialPort>& Port() const { return port_; }
  SerialSettings LineSettings() const;
  const std::string& LastPortError() const { return last_port_error_; }
  std::uint32_t BaudRate() const { return baud_rate_; }
  std::uint8_t PortOption() const { return port_option_; }
  std::uint32_t TransferWord() const { return transfer_word_; }
  std::uint64_t LostReplies() const { return counters_.Lost(); }
  // Line-quality counters; safe to read from any thread.
  LineQuality Quality() const { return counters_.Snapshot(); }
  void SetReplyTimeout(std::chrono::milliseconds timeout) { reply_timeout_ = timeout; }
  std::chrono::milliseconds ReplyTimeout() const { return reply_timeout_; }
  // When the outstanding request's time-out runs out (meaningful while
  // IsProcessing()).
  std::chrono::steady_clock::time_point ExchangeDeadline() const { return exchange_deadline_; }

 protected:
  // Starts waiting for a reply to a request of `request_bytes` bytes.
  void BeginExchange(std::size_t request_bytes);
  void EndExchange();
  // Counts the outstanding request's reply as lost and ends the exchange.
  void ExpireExchange();

  LineCounters counters_;

  std::uint32_t baud_rate_ = 9600;
  // One-byte line option: 1 runs the line half-duplex, one request at a time.
  std::uint8_t port_option_ = 0;
  // Bytes of the request that awaits its reply; 0 while nothing is outstanding,
  // so clearing it ends the exchange.
  std::uint32_t transfer_word_ = 0;

 private:
  using SteadyClock = std::chrono::steady_clock;

  std::shared_ptr<SerialPort> port_;
  std::string last_port_error_;
  std::chrono::milliseconds reply_timeout_{1000};
  SteadyClock::time_point exchange_deadline_;
};
