// Fuzz target: each unit's parse operations over arbitrary bytes, many calls
// in a row so that earlier replies shape later state (the first analog reply
// fixes the channel or module count, later ones must keep it), with cycle
// ends, time steps and point reads in between. UnitDriver checks the
// invariants after every step.
//
// Input: unit choice, then operations (see UnitDriver::Step).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/checking_controller.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unit_drivers.h"

namespace {
constexpr int kMaxSteps = 2000;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixed_host::BeginInput();
  FuzzInput input(data, size);
  auto controller = std::make_shared<CheckingController>();
  std::unique_ptr<UnitDriver> driver = UnitDriver::Make(input.Byte(), controller);
  for (int step = 0; step < kMaxSteps && !input.Empty(); ++step) driver->Step(input);
  driver->EndCycle();
  return 0;
}
