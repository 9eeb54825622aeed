#include "host/kmx_spdevice.h"

#include "host/host_clock.h"

KMXSPDevice::KMXSPDevice() = default;

KMXSPDevice::~KMXSPDevice() {
  if (port_) port_->Close();
}

void KMXSPDevice::Reset() {
  EndExchange();
  last_update_ = host_clock::LocalNow();
  std::shared_ptr<KMXController> controller = controller_.lock();
  if (controller) controller->OnReset(data_id_);
}

bool KMXSPDevice::Init(std::weak_ptr<KMXController> controller, unsigned int id,
                       const Json::Value& config) {
  return KMXVDevice::Init(std::move(controller), id, config);
}

bool KMXSPDevice::RefreshStatus() {
  if (transfer_word_ == 0) return true;
  if (SteadyClock::now() < exchange_deadline_) return false;
  ExpireExchange();
  return true;
}

int KMXSPDevice::process(unsigned char*, unsigned int) {
  return 0;
}

bool KMXSPDevice::IsProcessing() const {
  return transfer_word_ != 0;
}

bool KMXSPDevice::IsStalled() const {
  return transfer_word_ != 0 && SteadyClock::now() >= exchange_deadline_;
}

bool KMXSPDevice::SendData(const unsigned char* data, unsigned int length) {
  if (!port_ || !port_->IsOpen()) return false;
  return port_->Write(data, length);
}

bool KMXSPDevice::SendParityData(const unsigned char* data, unsigned int length, char parity) {
  // The line keeps one parity; a write that asks for another cannot be sent.
  if (parity != LineSettings().parity) return false;
  return SendData(data, length);
}

bool KMXSPDevice::OpenPort() {
  if (!port_) {
    last_port_error_ = "no serial port attached";
    return false;
  }
  if (port_->IsOpen()) return true;
  std::string error;
  if (!port_->Open(LineSettings(), error)) {
    last_port_error_ = error;
    return false;
  }
  last_port_error_.clear();
  return true;
}

void KMXSPDevice::ClosePort() {
  if (port_) port_->Close();
}

SerialSettings KMXSPDevice::LineSettings() const {
  SerialSettings settings;
  settings.baud_rate = baud_rate_;
  return settings;
}

void KMXSPDevice::BeginExchange(std::size_t request_bytes) {
  transfer_word_ = request_bytes == 0 ? 1u : static_cast<std::uint32_t>(request_bytes);
  exchange_deadline_ = SteadyClock::now() + reply_timeout_;
}

void KMXSPDevice::EndExchange() {
  transfer_word_ = 0;
}

void KMXSPDevice::ExpireExchange() {
  counters_.CountLost();
  InfoLog("KMXSPDevice: {} reply lost, none within {} ms", data_id_,
          static_cast<long long>(reply_timeout_.count()));
  EndExchange();
}
