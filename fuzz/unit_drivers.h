#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/checking_controller.h"
#include "fuzz/fuzz_input.h"

// Drives one AC, DC or rectifier unit on its own, the way the bus device and
// the host do, and checks after every step what must hold whatever bytes the
// unit was given:
// - a parse returns -1 or at most the bytes it was given (the two parameter
//   replies excepted, whose results the record format fixes), never touches
//   the data id, the stamp, the data-ready flag or the last-update time, and
//   keeps the channel or module count that an earlier reply or a restore
//   fixed; a reply with another count is refused and changes nothing (the
//   rectifier's output voltage excepted);
// - every float of the record is the one encoded in the reply that it came
//   from, a no-data marker stored as the unit's value for it (a taken reply
//   stores all it carries, a refused one some of them, nothing else moves);
// - the end of a cycle publishes exactly the unit's record, of the formula's
//   length for its current count, stamped with the time now; its job saves
//   that record, even when held while later replies arrive;
// - a refused blob changes nothing (record, data-ready flag, last-update
//   time); a taken blob becomes the record as it stands and has the length of
//   its own count byte; the unit takes back the record it published;
// - a point read answers as the point names say: "数据未就绪" while no data
//   are ready, "数据已超时" once they are 61 s old, else the named field or
//   the unit's text for a name it does not serve (AC channel names are
//   checked against a search for "channel_(\d+)_(.+?)" with std::regex).
class UnitDriver {
 public:
  virtual ~UnitDriver();

  // An AC, DC or rectifier unit as `choice` % 3 says, bound to `controller`.
  static std::unique_ptr<UnitDriver> Make(std::uint8_t choice,
                                          std::shared_ptr<CheckingController> controller);

  // Operation codes of Step: the parse operations come first.
  virtual int ParseOperations() const = 0;
  int EndCycleOperation() const { return ParseOperations(); }
  int AdvanceOperation() const { return ParseOperations() + 1; }
  // Operand: a choice of a usual name (below 80h) or 80h and up and a
  // block holding the name.
  int ReadPointOperation() const { return ParseOperations() + 2; }
  int BatchResultOperation() const { return ParseOperations() + 3; }
  // Operand: bit 0 set leaves the jobs of the next cycle ends unrun, as a
  // host may that runs them late or on another thread while the next replies
  // arrive; clear runs the held jobs.
  int HoldJobsOperation() const { return ParseOperations() + 4; }
  int Operations() const { return ParseOperations() + 5; }

  // One operation read from the input, with its operands.
  void Step(FuzzInput& input);

  virtual void Parse(int operation, const std::vector<unsigned char>& bytes) = 0;
  virtual void EndCycle() = 0;
  // True when the blob was taken.
  virtual bool Restore(const std::vector<unsigned char>& blob) = 0;
  // Offers the unit the last record it published, which it must take (an AC
  // record without channels is too short to be a blob).
  virtual void RestoreOwnRecord() = 0;
  virtual void ReadPoint(const std::string& name) = 0;
  // The record of the last cycle end; empty before the first.
  virtual const std::vector<unsigned char>& LastRecord() const = 0;

 protected:
  explicit UnitDriver(std::shared_ptr<CheckingController> controller)
      : controller_(std::move(controller)) {}

  std::shared_ptr<CheckingController> controller_;
  bool hold_jobs_ = false;
};
