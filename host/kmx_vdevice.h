#pragma once

#include <fmt/format.h>
#include <json/value.h>

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "host/kmx_controller.h"
#include "host/rule_value.h"
#include "host/vdevice_interface.h"

class RuleBook;

// Formats a log line: "{}" placeholders filled with fmt. 8-bit counts are
// printed as numbers, surplus arguments are ignored, and a text whose
// placeholders do not match its arguments is passed on unformatted.
namespace host_log {

template <typename T>
auto Printable(const T& value) {
  if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char>) {
    return static_cast<int>(value);
  } else {
    return value;
  }
}

KMX_HOST_API std::string FormatArgs(const std::string& format, fmt::format_args args);

template <typename... Args>
std::string Format(const std::string& format, const Args&... args) {
  return FormatArgs(format, fmt::make_format_args(Printable(args)...));
}

}  // namespace host_log

// A virtual device of the host framework: identity, freshness of its data,
// alarm rules waiting for the threshold machinery, and the services through
// which it hands data to its controller.
class KMX_HOST_API KMXVDevice : public VDeviceInterface, public std::enable_shared_from_this<KMXVDevice> {
 public:
  KMXVDevice();
  ~KMXVDevice() override;

  unsigned int DataId() const override { return data_id_; }
  std::string DeviceType() const override { return device_type_; }
  bool DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                       int& returned) override;
  bool UseControllerDb() const override { return false; }

  // Ends the device's current exchange. The plain device has none.
  virtual void Reset();
  // Binds a virtual device to its parent, which also gives it the parent's controller.
  virtual bool InitV(KMXVDevice* parent, unsigned int id, const Json::Value& config);
  // Binds a top-level device to its controller.
  virtual bool Init(std::weak_ptr<KMXController> controller, unsigned int id,
                    const Json::Value& config);
  virtual bool InitSetting(const Json::Value& config);
  virtual bool IsSupportDevice(const std::string& device_type) const;
  virtual std::shared_ptr<KMXVDevice> GetChildVDevice(unsigned int id);
  virtual std::vector<std::shared_ptr<KMXVDevice>> GetAllChildVDevices();
  // Publishes a record to the controller; the last record of each type is kept
  // for Get_SP_Value.
  virtual bool SendSP(int type, const unsigned char* data, unsigned int length, bool delayed);
  // The stand-in host holds nothing back: delayed data are published at once.
  virtual bool SendDelayData(int type, const unsigned char* data, unsigned int length,
                             unsigned int delay_seconds);
  // This host has no digital outputs or direct analog/digital inputs.
  virtual bool SendDoData(unsigned int point, int value);
  virtual bool ReadDi(unsigned int point, int& value);
  virtual bool ReadAi(unsigned int point, float& value);
  // Copies the last record published under `type`; its length, or -1 when
  // there is none or it does not fit in `size`.
  virtual int Get_SP_Value(int type, unsigned char* out, unsigned int size) const;

  // Host services used by devices.
  void CheckThresholdBool(int level, const std::string& id, const std::string& code,
                          const std::string& name, const std::string& text, bool active,
                          unsigned short sequence);
  void CheckThresholdWork(std::function<void()> job);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  bool SaveDeviceHistory(const unsigned char* data, unsigned int length);

  template <typename... Args>
  void InfoLog(const std::string& format, const Args&... args) const {
    std::shared_ptr<KMXController> controller = controller_.lock();
    if (!controller) return;
    controller->OnInfoLog(data_id_, host_log::Format(format, args...));
  }

  // Host-side access to the device state, for the runtime and its tools.
  bool DataReady() const { return data_ready_; }
  void SetDataReady(bool ready) { data_ready_ = ready; }
  boost::posix_time::ptime LastUpdate() const { return last_update_; }
  void SetLastUpdate(const boost::posix_time::ptime& time) { last_update_ = time; }
  bool AlarmChanged() const { return alarm_changed_; }
  unsigned short AlarmSequence() const { return alarm_sequence_; }
  // The rules passed since the pending list was last handed over, whole.
  const std::vector<rule_value>& PendingRules() const;
  // Takes the pending rules out of the device (whole), leaving the list empty.
  std::vector<rule_value> TakePendingRules();
  KMXVDevice* Parent() const { return parent_; }
  std::shared_ptr<KMXController> Controller() const { return controller_.lock(); }

 protected:
  unsigned int data_id_ = 0;
  std::string device_type_;
  unsigned short alarm_sequence_ = 0;
  boost::posix_time::ptime last_update_;  // local time; the epoch until the first update
  bool data_ready_ = false;
  std::vector<rule_value> pending_rules_;
  bool alarm_changed_ = false;
  std::weak_ptr<KMXController> controller_;
  KMXVDevice* parent_ = nullptr;

 private:
  std::map<int, std::vector<unsigned char>> published_;
  // The stored copies of the rules' texts; pending_rules_ holds tokens of them.
  std::unique_ptr<RuleBook> rule_book_;
};
