#include "host/kmx_vdevice.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <cstring>
#include <utility>

#include "host/kmx_vdevice_rules.h"

namespace host_log {

std::string FormatArgs(const std::string& format, fmt::format_args args) {
  try {
    return fmt::vformat(format, args);
  } catch (const fmt::format_error&) {
    return format;
  }
}

}  // namespace host_log

KMXVDevice::KMXVDevice()
    : last_update_(boost::gregorian::date(1970, 1, 1)), rule_book_(std::make_unique<RuleBook>()) {}

KMXVDevice::~KMXVDevice() = default;

bool KMXVDevice::DeviceIoControl(int, const void*, int, void*, int, int& returned) {
  returned = 0;
  return false;
}

void KMXVDevice::Reset() {}

bool KMXVDevice::InitV(KMXVDevice* parent, unsigned int id, const Json::Value&) {
  parent_ = parent;
  data_id_ = id;
  if (parent != nullptr) controller_ = parent->controller_;
  return true;
}

bool KMXVDevice::Init(std::weak_ptr<KMXController> controller, unsigned int id,
                      const Json::Value&) {
  controller_ = std::move(controller);
  data_id_ = id;
  return true;
}

bool KMXVDevice::InitSetting(const Json::Value&) { return true; }

bool KMXVDevice::IsSupportDevice(const std::string& device_type) const {
  return device_type == device_type_;
}

std::shared_ptr<KMXVDevice> KMXVDevice::GetChildVDevice(unsigned int) { return nullptr; }

std::vector<std::shared_ptr<KMXVDevice>> KMXVDevice::GetAllChildVDevices() { return {}; }

bool KMXVDevice::SendSP(int type, const unsigned char* data, unsigned int length, bool delayed) {
  if (data == nullptr) length = 0;
  std::vector<unsigned char>& kept = published_[type];
  kept.assign(data, data + length);
  std::shared_ptr<KMXController> controller = controller_.lock();
  return controller && controller->OnSendSP(data_id_, type, data, length, delayed);
}

bool KMXVDevice::SendDelayData(int type, const unsigned char* data, unsigned int length,
                               unsigned int) {
  return SendSP(type, data, length, true);
}

bool KMXVDevice::SendDoData(unsigned int, int) { return false; }

bool KMXVDevice::ReadDi(unsigned int, int& value) {
  value = 0;
  return false;
}

bool KMXVDevice::ReadAi(unsigned int, float& value) {
  value = 0.0f;
  return false;
}

int KMXVDevice::Get_SP_Value(int type, unsigned char* out, unsigned int size) const {
  auto found = published_.find(type);
  if (found == published_.end() || out == nullptr || found->second.size() > size) return -1;
  if (!found->second.empty()) std::memcpy(out, found->second.data(), found->second.size());
  return static_cast<int>(found->second.size());
}

void KMXVDevice::CheckThresholdBool(int level, const std::string& id, const std::string& code,
                                    const std::string& name, const std::string& text, bool active,
                                    unsigned short sequence) {
  // The book copies the strings only when they differ from the rule it holds
  // at this position of the pending list.
  const rule_value& rule = rule_book_->Note(pending_rules_, RuleTexts{id, code, name, text}, active,
                                            level, sequence, data_id_);
  std::shared_ptr<KMXController> controller = controller_.lock();
  if (controller) controller->OnCheckThresholdBool(data_id_, rule);
}

void KMXVDevice::CheckThresholdWork(std::function<void()> job) {
  if (!job) return;
  std::shared_ptr<KMXController> controller = controller_.lock();
  if (controller) {
    controller->OnCheckThresholdWork(data_id_, std::move(job));
  } else {
    job();  // no controller to defer to: the job still runs once
  }
}

bool KMXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  std::shared_ptr<KMXController> controller = controller_.lock();
  if (!controller) return false;
  if (!RuleBook::HasTokens(rules)) return controller->OnDoBatchCheckThreshold(data_id_, rules);
  RuleBook::Scratch scratch(*rule_book_);
  return controller->OnDoBatchCheckThreshold(data_id_, rule_book_->Resolve(rules, scratch));
}

bool KMXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  std::shared_ptr<KMXController> controller = controller_.lock();
  if (data == nullptr) length = 0;
  return controller && controller->OnSaveDeviceHistory(data_id_, data, length);
}

const std::vector<rule_value>& KMXVDevice::PendingRules() const {
  if (pending_rules_.empty()) return pending_rules_;
  return rule_book_->Pending(pending_rules_.size());
}

std::vector<rule_value> KMXVDevice::TakePendingRules() {
  std::vector<rule_value> taken = PendingRules();
  pending_rules_.clear();
  return taken;
}
