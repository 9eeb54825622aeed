#pragma once

#include <cstdint>

// The polling cycle: each step names the reply the bus device waits for and
// the request that asks for it. Steps 10 to 13 do not occur.
namespace polling {

constexpr std::int32_t kAcAnalog = 0;     // 40h/41h
constexpr std::int32_t kAcSwitch = 1;     // 40h/43h
constexpr std::int32_t kAcAlarm = 2;      // 40h/44h
constexpr std::int32_t kAcParameters = 3; // 40h/46h, to the rectifier group
constexpr std::int32_t kRcAnalog = 4;     // 41h/41h
constexpr std::int32_t kRcSwitch = 5;     // 41h/43h
constexpr std::int32_t kRcAlarm = 6;      // 41h/44h
constexpr std::int32_t kDcAnalog = 7;     // 42h/41h
constexpr std::int32_t kDcAlarm = 8;      // 42h/44h
constexpr std::int32_t kDcParameters = 9; // 42h/46h, to the rectifier group
constexpr std::int32_t kModel = 14;       // 40h/51h
constexpr std::int32_t kEndOfCycle = -1;  // not a step: the cycle is over

constexpr std::uint8_t kGroupAc = 0x40;
constexpr std::uint8_t kGroupRc = 0x41;
constexpr std::uint8_t kGroupDc = 0x42;

// Data flag bits: bit 4 asks for the switch states, bit 0 for the alarm states.
constexpr std::uint8_t kSwitchChanged = 0x10;
constexpr std::uint8_t kAlarmChanged = 0x01;

enum class InfoField {
  kNone,          // no information field
  kCommandGroup,  // the one byte FFh
  kOnVersion21,   // FFh only when the protocol version byte is 21h
};

struct StepRequest {
  std::int32_t step;
  std::uint8_t group;
  std::uint8_t command;
  InfoField info;
};

constexpr StepRequest kStepRequests[] = {
    {kModel, kGroupAc, 0x51, InfoField::kNone},
    {kAcAnalog, kGroupAc, 0x41, InfoField::kCommandGroup},
    {kAcSwitch, kGroupAc, 0x43, InfoField::kCommandGroup},
    {kAcAlarm, kGroupAc, 0x44, InfoField::kCommandGroup},
    {kRcAnalog, kGroupRc, 0x41, InfoField::kNone},
    {kRcSwitch, kGroupRc, 0x43, InfoField::kNone},
    {kRcAlarm, kGroupRc, 0x44, InfoField::kNone},
    {kDcAnalog, kGroupDc, 0x41, InfoField::kOnVersion21},
    {kDcAlarm, kGroupDc, 0x44, InfoField::kOnVersion21},
    {kAcParameters, kGroupAc, 0x46, InfoField::kNone},
    {kDcParameters, kGroupDc, 0x46, InfoField::kNone},
};

inline const StepRequest* FindStepRequest(std::int32_t step) {
  for (const StepRequest& request : kStepRequests) {
    if (request.step == step) return &request;
  }
  return nullptr;
}

// What decides the request after an accepted reply.
struct CycleState {
  bool ready;              // the bus device's data-ready flag
  bool has_ac;             // AC children configured
  bool has_dc;             // DC children configured
  std::uint8_t ac_flag;    // data flag of the last AC analog reply
  std::uint8_t rc_flag;    // data flag of the last rectifier analog reply
  std::uint8_t dc_flag;    // data flag of the current DC analog reply
};

// The step that follows an accepted reply of `step`, or kEndOfCycle.
inline std::int32_t NextStep(std::int32_t step, const CycleState& state) {
  const std::int32_t after_rectifier = state.has_dc ? kDcAnalog : kEndOfCycle;
  switch (step) {
    case kModel:
      return state.has_ac ? kAcAnalog : kRcAnalog;
    case kAcAnalog:
      if (!state.ready || (state.ac_flag & kSwitchChanged)) return kAcSwitch;
      return (state.ac_flag & kAlarmChanged) ? kAcAlarm : kRcAnalog;
    case kAcSwitch:
      return (!state.ready || (state.ac_flag & kAlarmChanged)) ? kAcAlarm : kRcAnalog;
    case kAcAlarm:
      return kRcAnalog;
    case kRcAnalog:
      if (!state.ready || (state.rc_flag & kSwitchChanged)) return kRcSwitch;
      return (state.rc_flag & kAlarmChanged) ? kRcAlarm : after_rectifier;
    case kRcSwitch:
      return (!state.ready || (state.rc_flag & kAlarmChanged)) ? kRcAlarm : after_rectifier;
    case kRcAlarm:
      return after_rectifier;
    case kDcAnalog:
      if (!state.ready || (state.dc_flag & (kSwitchChanged | kAlarmChanged))) return kDcAlarm;
      return state.has_ac ? kAcParameters : kDcParameters;
    case kDcAlarm:
      return state.has_ac ? kAcParameters : kDcParameters;
    case kAcParameters:
      return kDcParameters;
    default:
      return kEndOfCycle;
  }
}

}  // namespace polling
