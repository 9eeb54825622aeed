// Fuzz target: LoadFromCache of each unit with an arbitrary blob, on a fresh
// unit or after a few replies, followed by a polling cycle. A refused blob
// must change nothing, a taken one becomes the record; after the cycle the
// unit must take back the record it published. UnitDriver checks the
// invariants after every step.
//
// Input: unit choice, number of operations before the blob (0..3), those
// operations, the blob (u16 length and bytes), then the operations of the
// cycle (see UnitDriver::Step).

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
  for (int before = input.Byte() % 4; before > 0; --before) driver->Step(input);
  driver->Restore(input.Block());
  for (int step = 0; step < kMaxSteps && !input.Empty(); ++step) driver->Step(input);
  driver->EndCycle();
  driver->RestoreOwnRecord();
  return 0;
}
