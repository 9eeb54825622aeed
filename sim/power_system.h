#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

// The configuration of one simulated power system.
struct SystemConfig {
  std::vector<int> ac_channels{1};  // one entry per AC unit: its number of input channels
  int dc_units = 1;                 // 0 to 3
  int rectifier_modules = 3;
  std::string model = "KORVAN3";
  std::uint8_t address = 1;
  std::uint8_t version = 0x20;
  std::uint32_t seed = 1;

  // Empty when the configuration is usable, else why not.
  std::string Check() const;
};

class PowerSystem;
// Empty when every reply of `system` fits a frame, else which one does not.
std::string LongestReplyProblem(const PowerSystem& system);

// Alarm-state codes of the power system.
namespace alarm_code {
constexpr std::uint8_t kNormal = 0;
constexpr std::uint8_t kLow = 1;
constexpr std::uint8_t kHigh = 2;
constexpr std::uint8_t kMissing = 3;  // AC phase missing; also "fault" for fuses
constexpr std::uint8_t kFault = 1;    // rectifier module
constexpr std::uint8_t kDisconnectedStage1 = 0xF0;
constexpr std::uint8_t kDisconnectedStage2 = 0xF1;
}  // namespace alarm_code

// Data-flag bits: a switch state or an alarm state changed since that group's
// switch-state or alarm-state reply was last sent.
namespace data_flag {
constexpr std::uint8_t kSwitchChanged = 0x10;
constexpr std::uint8_t kAlarmChanged = 0x01;
}  // namespace data_flag

struct AcChannel {
  float a = 0, b = 0, c = 0, f = 0;     // line/phase voltages AB/A, BC/B, CA/C; frequency
  std::array<std::uint8_t, 4> alert{};  // a, b, c, f
  std::array<std::uint8_t, 3> user_alert{};
  bool under_voltage = false;
  int missing_phase = -1;  // 0..2 for A..C, -1 for none
};

struct AcUnit {
  std::vector<AcChannel> channels;
  float ia = 0, ib = 0, ic = 0;
  std::array<std::uint8_t, 3> current_alert{};
  std::array<std::uint8_t, 4> user_state{};  // user-defined switch states
};

struct DcUnit {
  float v = 0, i = 0;
  std::array<float, 3> m_value{};  // battery currents
  std::array<float, 6> user_p{};   // battery voltages and temperatures
  std::uint8_t dc_state = 0;
  std::array<std::uint8_t, 20> alert_m{};  // battery fuses
  std::array<std::uint8_t, 11> alert_p{};
  std::array<bool, 20> fuse_fault{};
  bool lvd1 = false;
  float held_v = 0;  // the bus voltage held by dc-voltage; 0: it drifts
};

struct Rectifier {
  float current = 0;
  std::uint8_t on_off = 0;  // 0 on, 1 off
  std::uint8_t current_limit = 0;
  std::uint8_t charge_mode = 0;  // 0 float, 1 equalise, 2 test
  std::uint8_t user_state = 0;
  std::uint8_t fault = 0;
  bool failed = false;
};

struct Parameters {
  float ac_voltage_upper = 280, ac_voltage_lower = 180, ac_current_upper = 63;
  float frequency_upper = 55, frequency_lower = 45;
  float dc_voltage_upper = 57.6f, dc_voltage_lower = 45;
  std::array<float, 14> dc_param{};
};

// The state of one power system: values that drift slowly, states derived
// from injected conditions, and data flags that announce changed states.
class PowerSystem {
 public:
  explicit PowerSystem(SystemConfig config);

  const SystemConfig& Config() const { return config_; }
  // Lets `seconds` of time pass: the values drift a little.
  void Advance(double seconds);

  // Injected conditions; false when the unit, channel, module or fuse does
  // not exist. Numbers are 0-based.
  bool SetAcUnderVoltage(int unit, int channel, bool on);
  bool SetMissingPhase(int unit, int channel, int phase, bool on);
  bool SetRectifierFault(int module, bool on);
  bool SetBatteryFuseFault(int unit, int fuse, bool on);
  bool SetLowVoltageDisconnect1(int unit, bool on);
  // Mains failure: every AC phase without voltage (phase missing), no AC
  // current, and the batteries carry the load (their currents negative).
  void SetMainsFailure(bool on);
  // Holds a DC unit's bus voltage at `volts` (0: it drifts again); below the
  // DC lower limit the unit reports its voltage too low.
  bool SetDcVoltage(int unit, float volts);
  void SetModel(std::string model) { config_.model = std::move(model); }
  // Modules plugged in or pulled out (new ones start working), channels of
  // an AC unit added or removed; false when out of range or when a reply
  // would no longer fit a frame.
  bool SetRectifierCount(int count);
  bool SetAcChannelCount(int unit, int count);

  const std::vector<AcUnit>& Ac() const { return ac_; }
  const std::vector<DcUnit>& Dc() const { return dc_; }
  const std::vector<Rectifier>& Rectifiers() const { return rectifiers_; }
  const Parameters& Params() const { return parameters_; }
  float OutputVoltage() const { return output_voltage_; }

  // Data flags as the next analog reply reports them.
  std::uint8_t AcFlag() const { return ac_flag_; }
  std::uint8_t RectifierFlag() const { return rc_flag_; }
  std::uint8_t DcFlag() const { return dc_flag_; }
  // A group's switch or alarm states were sent: its bit clears.
  void SwitchStatesSent(std::uint8_t group);
  void AlarmStatesSent(std::uint8_t group);

 private:
  bool mains_failed_ = false;
  // Recomputes values and alarm states from the conditions and sets the
  // data-flag bits of the groups whose states changed.
  void Derive();
  float Wander(float value, float centre, float spread, double seconds);

  SystemConfig config_;
  std::mt19937 random_;
  std::vector<AcUnit> ac_;
  std::vector<DcUnit> dc_;
  std::vector<Rectifier> rectifiers_;
  Parameters parameters_;
  float output_voltage_ = 53.5f;
  std::uint8_t ac_flag_ = data_flag::kSwitchChanged | data_flag::kAlarmChanged;
  std::uint8_t rc_flag_ = data_flag::kSwitchChanged | data_flag::kAlarmChanged;
  std::uint8_t dc_flag_ = data_flag::kAlarmChanged;
};
