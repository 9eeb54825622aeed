#pragma once

#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/model_field.h"
#include "bus/polling_steps.h"
#include "host/host_clock.h"
#include "host/pmbus_protocol.h"

// The bus device of one power system: owns the AC, DC and rectifier-group
// children, runs the polling cycle and hands every reply to the children.
template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
 public:
  explicit PMBusPower(std::vector<std::string> supported_models)
      : supported_models_(std::move(supported_models)) {}
  ~PMBusPower() override = default;

  // The bus device keeps no cached state of its own; its children restore theirs.
  bool LoadFromCache(const unsigned char*, int) override { return true; }
  bool InitSetting(const Json::Value& config) override;
  std::shared_ptr<KMXVDevice> GetChildVDevice(unsigned int id) override;
  std::vector<std::shared_ptr<KMXVDevice>> GetAllChildVDevices() override;
  bool RefreshStatus() override;
  int process_payload() override;

  // The model of the last model reply, without its padding.
  const std::string& DetectedModel() const { return detected_model_; }
  bool ModelCheckPending() const { return model_check_pending_; }

 protected:
  static constexpr unsigned char commandGroup_ = 0xFF;

  std::vector<std::shared_ptr<AC>> ac_devices_;
  std::vector<std::shared_ptr<DC>> dc_devices_;
  std::shared_ptr<RC> rc_device_;
  std::uint8_t ac_data_flag_ = 0;
  std::uint8_t rc_data_flag_ = 0;
  bool model_check_pending_ = true;
  std::string detected_model_;
  std::vector<std::string> supported_models_;

 private:
  static constexpr unsigned int kPauseMicroseconds = 20000;
  static constexpr std::size_t kModelFieldWidth = 20;
  // Result of a reply handler that drops the reply and keeps the step.
  static constexpr int kRejected = 1;

  // The reply's INFO as the frame layer decoded it.
  struct Info {
    std::uint8_t group;
    const unsigned char* bytes;
    int length;
  };

  Info CurrentInfo() const;
  bool ValidateChildSettings(const Json::Value& config, const char* key) const;
  void SendRequestOf(std::int32_t step);
  int GoTo(std::int32_t step);
  int Next(std::uint8_t dc_flag = 0);
  int EndCycle();
  int ResetExchange();
  void LogCountMismatch(const char* format, std::uint8_t read, std::size_t configured) const;

  // Hands each child its block in list order. False when a child refuses its
  // block; `consumed` is the end of the last block, counted from INFO's start.
  // `parse` is a parse operation of the children: int (const unsigned char*, int).
  template <class Child, class ParseOperation>
  bool Walk(const std::vector<std::shared_ptr<Child>>& children, ParseOperation parse,
            const Info& info, int start, long long& consumed);

  int HandleAcAnalog(const Info& info);
  int HandleAcSwitch(const Info& info);
  int HandleAcAlarm(const Info& info);
  int HandleRectifier(const Info& info);
  int HandleDcAnalog(const Info& info);
  int HandleDcAlarm(const Info& info);
  int HandleParameters(const Info& info);
  int HandleModel(const Info& info);
};

#include "bus/pmbus_power_impl.h"
