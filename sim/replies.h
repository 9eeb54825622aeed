#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/power_system.h"

// The INFO field of each reply of the polling cycle, built from the power
// system's state. Each returns false for a request it does not know.
namespace replies {

// Group and command codes.
constexpr std::uint8_t kAc = 0x40;
constexpr std::uint8_t kRectifier = 0x41;
constexpr std::uint8_t kDc = 0x42;
constexpr std::uint8_t kAnalog = 0x41;
constexpr std::uint8_t kSwitches = 0x43;
constexpr std::uint8_t kAlarms = 0x44;
constexpr std::uint8_t kParameters = 0x46;
constexpr std::uint8_t kModel = 0x51;
constexpr std::size_t kModelWidth = 20;

// "GGh/CCh" of a request.
std::string Name(std::uint8_t group, std::uint8_t command);

bool Build(const PowerSystem& system, std::uint8_t group, std::uint8_t command,
           std::vector<std::uint8_t>& info);

void AcAnalog(const PowerSystem& system, std::vector<std::uint8_t>& info);
void AcSwitches(const PowerSystem& system, std::vector<std::uint8_t>& info);
void AcAlarms(const PowerSystem& system, std::vector<std::uint8_t>& info);
void RectifierAnalog(const PowerSystem& system, std::vector<std::uint8_t>& info);
void RectifierSwitches(const PowerSystem& system, std::vector<std::uint8_t>& info);
void RectifierAlarms(const PowerSystem& system, std::vector<std::uint8_t>& info);
void DcAnalog(const PowerSystem& system, std::vector<std::uint8_t>& info);
void DcAlarms(const PowerSystem& system, std::vector<std::uint8_t>& info);
void AcParameters(const PowerSystem& system, std::vector<std::uint8_t>& info);
void DcParameters(const PowerSystem& system, std::vector<std::uint8_t>& info);
void Model(const PowerSystem& system, std::vector<std::uint8_t>& info);

}  // namespace replies
