#include "sim/power_system.h"

#include <algorithm>
#include <cmath>

#include "host/pmbus_frame.h"
#include "sim/replies.h"

namespace {

constexpr float kPhaseVoltage = 220.0f;
constexpr float kUnderVoltage = 172.0f;
constexpr float kFrequency = 50.0f;
constexpr float kPhaseCurrent = 12.0f;
constexpr float kDcVoltage = 53.5f;
constexpr float kLoadCurrent = 42.0f;

constexpr std::uint8_t kAcGroup = 0x40;
constexpr std::uint8_t kRectifierGroup = 0x41;
constexpr std::uint8_t kDcGroup = 0x42;

}  // namespace

std::string SystemConfig::Check() const {
  if (ac_channels.size() > 8) return "at most 8 AC units";
  for (int channels : ac_channels) {
    if (channels < 0 || channels > 8) return "an AC unit has 0 to 8 channels";
  }
  if (dc_units < 0 || dc_units > 3) return "0 to 3 DC units";
  if (rectifier_modules < 0 || rectifier_modules > 60) return "0 to 60 rectifier modules";
  return LongestReplyProblem(PowerSystem(*this));
}

std::string LongestReplyProblem(const PowerSystem& system) {
  // Every reply must fit the INFO bytes that the LENGTH field can announce,
  // which is what a receiver accepts.
  static const std::uint8_t kRequests[][2] = {
      {replies::kAc, replies::kAnalog},          {replies::kAc, replies::kSwitches},
      {replies::kAc, replies::kAlarms},          {replies::kRectifier, replies::kAnalog},
      {replies::kRectifier, replies::kSwitches}, {replies::kRectifier, replies::kAlarms},
      {replies::kDc, replies::kAnalog},          {replies::kDc, replies::kAlarms},
      {replies::kAc, replies::kParameters},      {replies::kDc, replies::kParameters}};
  std::vector<std::uint8_t> info;
  for (const auto& request : kRequests) {
    info.clear();
    replies::Build(system, request[0], request[1], info);
    if (info.size() > pmbus_frame::kMaxInfoBytes) {
      return "the reply to " + replies::Name(request[0], request[1]) + " would carry " +
             std::to_string(info.size()) + " INFO bytes, more than the " +
             std::to_string(pmbus_frame::kMaxInfoBytes) + " that its LENGTH field can announce";
    }
  }
  return std::string();
}

bool PowerSystem::SetRectifierCount(int count) {
  if (count < 0 || count > 60) return false;
  const std::vector<Rectifier> before = rectifiers_;
  rectifiers_.resize(static_cast<std::size_t>(count));
  config_.rectifier_modules = count;
  if (!LongestReplyProblem(*this).empty()) {
    rectifiers_ = before;
    config_.rectifier_modules = static_cast<int>(before.size());
    return false;
  }
  // Modules came or went: every module state is announced again.
  rc_flag_ |= data_flag::kSwitchChanged | data_flag::kAlarmChanged;
  Derive();
  return true;
}

bool PowerSystem::SetAcChannelCount(int unit, int count) {
  if (unit < 0 || unit >= static_cast<int>(ac_.size()) || count < 0 || count > 8) return false;
  const auto index = static_cast<std::size_t>(unit);
  const AcUnit before = ac_[index];
  std::vector<AcChannel>& channels = ac_[index].channels;
  const std::size_t old_count = channels.size();
  channels.resize(static_cast<std::size_t>(count));
  for (std::size_t k = old_count; k < channels.size(); ++k) {
    channels[k].a = channels[k].b = channels[k].c = kPhaseVoltage;
    channels[k].f = kFrequency;
  }
  config_.ac_channels[index] = count;
  if (!LongestReplyProblem(*this).empty()) {
    ac_[index] = before;
    config_.ac_channels[index] = static_cast<int>(before.channels.size());
    return false;
  }
  ac_flag_ |= data_flag::kSwitchChanged | data_flag::kAlarmChanged;
  Derive();
  return true;
}

PowerSystem::PowerSystem(SystemConfig config) : config_(std::move(config)), random_(config_.seed) {
  for (int channels : config_.ac_channels) {
    AcUnit unit;
    unit.channels.resize(static_cast<std::size_t>(std::max(0, channels)));
    for (AcChannel& channel : unit.channels) {
      channel.a = channel.b = channel.c = kPhaseVoltage;
      channel.f = kFrequency;
    }
    unit.ia = unit.ib = unit.ic = kPhaseCurrent;
    ac_.push_back(unit);
  }
  dc_.resize(static_cast<std::size_t>(std::max(0, config_.dc_units)));
  for (DcUnit& unit : dc_) {
    unit.v = kDcVoltage;
    unit.i = kLoadCurrent;
    unit.m_value = {2.0f, 1.5f, 0.0f};
    unit.user_p = {53.4f, 25.0f, 53.4f, 25.5f, 53.3f, 26.0f};
  }
  rectifiers_.resize(static_cast<std::size_t>(std::max(0, config_.rectifier_modules)));
  const float dc_params[14] = {53.5f, 56.4f, 0.1f, 47.0f, 44.0f, 43.2f, 10.0f,
                               25.0f, 45.0f, 0.0f, 3.0f,  72.0f, 1.0f,  0.0f};
  std::copy(dc_params, dc_params + 14, parameters_.dc_param.begin());
  Derive();
}

float PowerSystem::Wander(float value, float centre, float spread, double seconds) {
  if (seconds <= 0) return value;
  std::normal_distribution<float> step(0.0f,
                                       spread * 0.05f * static_cast<float>(std::sqrt(seconds)));
  const float pull = static_cast<float>(std::min(1.0, 0.1 * seconds));
  value += (centre - value) * pull + step(random_);
  return std::clamp(value, centre - spread, centre + spread);
}

void PowerSystem::Advance(double seconds) {
  for (AcUnit& unit : ac_) {
    for (AcChannel& channel : unit.channels) {
      channel.a = Wander(channel.a, kPhaseVoltage, 6.0f, seconds);
      channel.b = Wander(channel.b, kPhaseVoltage, 6.0f, seconds);
      channel.c = Wander(channel.c, kPhaseVoltage, 6.0f, seconds);
      channel.f = Wander(channel.f, kFrequency, 0.2f, seconds);
    }
    unit.ia = Wander(unit.ia, kPhaseCurrent, 1.5f, seconds);
    unit.ib = Wander(unit.ib, kPhaseCurrent, 1.5f, seconds);
    unit.ic = Wander(unit.ic, kPhaseCurrent, 1.5f, seconds);
  }
  for (DcUnit& unit : dc_) {
    unit.v = Wander(unit.v, kDcVoltage, 0.3f, seconds);
    unit.i = Wander(unit.i, kLoadCurrent, 3.0f, seconds);
  }
  output_voltage_ = Wander(output_voltage_, kDcVoltage, 0.3f, seconds);
  Derive();
}

bool PowerSystem::SetAcUnderVoltage(int unit, int channel, bool on) {
  if (unit < 0 || unit >= static_cast<int>(ac_.size())) return false;
  std::vector<AcChannel>& channels = ac_[static_cast<std::size_t>(unit)].channels;
  if (channel < 0 || channel >= static_cast<int>(channels.size())) return false;
  AcChannel& target = channels[static_cast<std::size_t>(channel)];
  target.under_voltage = on;
  if (!on) target.a = target.b = target.c = kPhaseVoltage;
  Derive();
  return true;
}

bool PowerSystem::SetMissingPhase(int unit, int channel, int phase, bool on) {
  if (unit < 0 || unit >= static_cast<int>(ac_.size()) || phase < 0 || phase > 2) return false;
  AcUnit& target_unit = ac_[static_cast<std::size_t>(unit)];
  if (channel < 0 || channel >= static_cast<int>(target_unit.channels.size())) return false;
  AcChannel& target = target_unit.channels[static_cast<std::size_t>(channel)];
  if (on) {
    target.missing_phase = phase;
  } else if (target.missing_phase == phase) {
    target.missing_phase = -1;
    target.a = target.b = target.c = kPhaseVoltage;
    target_unit.ia = target_unit.ib = target_unit.ic = kPhaseCurrent;
  }
  Derive();
  return true;
}

bool PowerSystem::SetRectifierFault(int module, bool on) {
  if (module < 0 || module >= static_cast<int>(rectifiers_.size())) return false;
  rectifiers_[static_cast<std::size_t>(module)].failed = on;
  Derive();
  return true;
}

bool PowerSystem::SetBatteryFuseFault(int unit, int fuse, bool on) {
  if (unit < 0 || unit >= static_cast<int>(dc_.size()) || fuse < 0 || fuse >= 20) return false;
  dc_[static_cast<std::size_t>(unit)].fuse_fault[static_cast<std::size_t>(fuse)] = on;
  Derive();
  return true;
}

bool PowerSystem::SetLowVoltageDisconnect1(int unit, bool on) {
  if (unit < 0 || unit >= static_cast<int>(dc_.size())) return false;
  dc_[static_cast<std::size_t>(unit)].lvd1 = on;
  Derive();
  return true;
}

void PowerSystem::SetMainsFailure(bool on) {
  if (mains_failed_ == on) return;
  mains_failed_ = on;
  for (AcUnit& unit : ac_) {
    for (AcChannel& channel : unit.channels) channel.a = channel.b = channel.c = kPhaseVoltage;
    unit.ia = unit.ib = unit.ic = kPhaseCurrent;
  }
  for (DcUnit& unit : dc_) unit.m_value = {2.0f, 1.5f, 0.0f};
  Derive();
}

bool PowerSystem::SetDcVoltage(int unit, float volts) {
  if (unit < 0 || unit >= static_cast<int>(dc_.size()) || !(volts >= 0)) return false;
  DcUnit& target = dc_[static_cast<std::size_t>(unit)];
  target.held_v = volts;
  target.v = volts > 0 ? volts : kDcVoltage;
  Derive();
  return true;
}

void PowerSystem::SwitchStatesSent(std::uint8_t group) {
  if (group == kAcGroup) ac_flag_ &= static_cast<std::uint8_t>(~data_flag::kSwitchChanged);
  if (group == kRectifierGroup) rc_flag_ &= static_cast<std::uint8_t>(~data_flag::kSwitchChanged);
}

void PowerSystem::AlarmStatesSent(std::uint8_t group) {
  const auto clear = static_cast<std::uint8_t>(~data_flag::kAlarmChanged);
  if (group == kAcGroup) ac_flag_ &= clear;
  if (group == kRectifierGroup) rc_flag_ &= clear;
  if (group == kDcGroup) dc_flag_ &= clear;
}

void PowerSystem::Derive() {
  // AC: conditions override the drifting voltages; the states follow them.
  auto ac_alarms = [this] {
    std::vector<std::uint8_t> alarms;
    for (const AcUnit& unit : ac_) {
      alarms.insert(alarms.end(), unit.current_alert.begin(), unit.current_alert.end());
      for (const AcChannel& channel : unit.channels) {
        alarms.insert(alarms.end(), channel.alert.begin(), channel.alert.end());
      }
    }
    return alarms;
  };
  const std::vector<std::uint8_t> ac_before = ac_alarms();
  for (AcUnit& unit : ac_) {
    unit.current_alert.fill(alarm_code::kNormal);
    for (std::size_t k = 0; k < unit.channels.size(); ++k) {
      AcChannel& channel = unit.channels[k];
      channel.alert.fill(alarm_code::kNormal);
      float* voltages[3] = {&channel.a, &channel.b, &channel.c};
      if (channel.under_voltage) {
        for (std::size_t p = 0; p < 3; ++p) {
          *voltages[p] = std::min(*voltages[p], kUnderVoltage);
          channel.alert[p] = alarm_code::kLow;
        }
      }
      if (mains_failed_) {
        for (std::size_t p = 0; p < 3; ++p) {
          *voltages[p] = 0.0f;
          channel.alert[p] = alarm_code::kMissing;
        }
        if (k == 0) unit.ia = unit.ib = unit.ic = 0.0f;
      }
      if (channel.missing_phase >= 0) {
        const auto p = static_cast<std::size_t>(channel.missing_phase);
        *voltages[p] = 0.0f;
        channel.alert[p] = alarm_code::kMissing;
        if (k == 0) {  // the unit's currents are those of its first input
          float* currents[3] = {&unit.ia, &unit.ib, &unit.ic};
          *currents[p] = 0.0f;
          unit.current_alert[p] = alarm_code::kMissing;
        }
      }
    }
  }
  if (ac_alarms() != ac_before) ac_flag_ |= data_flag::kAlarmChanged;

  // Rectifiers: a failed module is off, carries no current and reports a fault.
  bool rc_switch_changed = false, rc_alarm_changed = false;
  int working = 0;
  for (const Rectifier& module : rectifiers_) working += module.failed ? 0 : 1;
  const float load = dc_.empty() ? kLoadCurrent : dc_[0].i;
  for (Rectifier& module : rectifiers_) {
    const std::uint8_t on_off = module.failed ? 1 : 0;
    const std::uint8_t fault = module.failed ? alarm_code::kFault : alarm_code::kNormal;
    rc_switch_changed |= module.on_off != on_off;
    rc_alarm_changed |= module.fault != fault;
    module.on_off = on_off;
    module.fault = fault;
    module.current = module.failed || working == 0 ? 0.0f : load / static_cast<float>(working);
  }
  if (rc_switch_changed) rc_flag_ |= data_flag::kSwitchChanged;
  if (rc_alarm_changed) rc_flag_ |= data_flag::kAlarmChanged;

  // DC: fuse faults and the first disconnection stage.
  bool dc_alarm_changed = false;
  for (DcUnit& unit : dc_) {
    for (std::size_t n = 0; n < unit.alert_m.size(); ++n) {
      const std::uint8_t state = unit.fuse_fault[n] ? alarm_code::kMissing : alarm_code::kNormal;
      dc_alarm_changed |= unit.alert_m[n] != state;
      unit.alert_m[n] = state;
    }
    if (unit.held_v > 0) unit.v = unit.held_v;
    if (mains_failed_) {
      // The batteries' three strings share the load.
      unit.m_value.fill(-unit.i / 3.0f);
    }
    const std::uint8_t voltage_state =
        unit.v < parameters_.dc_voltage_lower ? alarm_code::kLow : alarm_code::kNormal;
    dc_alarm_changed |= unit.dc_state != voltage_state;
    unit.dc_state = voltage_state;
    const std::uint8_t stage1 = unit.lvd1 ? alarm_code::kDisconnectedStage1 : alarm_code::kNormal;
    dc_alarm_changed |= unit.alert_p[0] != stage1;
    unit.alert_p[0] = stage1;
  }
  if (dc_alarm_changed) dc_flag_ |= data_flag::kAlarmChanged;
}
