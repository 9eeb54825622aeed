#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>

#include "host/pmbus_frame.h"
#include "sim/commands.h"
#include "sim/power_system.h"

// One power system on a serial line: decodes request frames, answers each
// with a reply frame built from the power system's state, and takes state
// changes from other threads.
//
// Answers: a known request with RTN 00h; an unknown group/command with 04h;
// a request of another protocol version with 01h; a bad check sum with 02h
// and a bad length check sum with 03h (when the header could be read); an
// INFO other than none or FFh with 05h. Frames for other addresses, and
// frames too damaged to read, get no answer.
class Simulator {
 public:
  struct Stats {
    std::uint64_t requests = 0;   // frames addressed to this system
    std::uint64_t answered = 0;   // reply frames sent
    std::uint64_t errors = 0;     // of them with RTN other than 0
    std::uint64_t silenced = 0;   // requests left unanswered while silent
    std::uint64_t corrupted = 0;  // replies damaged on purpose
  };

  // With `wall_clock` the values drift with the time between requests;
  // without it only Advance moves them (tests).
  explicit Simulator(SystemConfig config, bool wall_clock = true);

  // Bytes received from the line, in any chunking; appends the reply frames
  // to `out`.
  void Receive(const unsigned char* data, std::size_t length, std::string& out);

  // Applies a parsed command (not kWait); false with `error` when its unit,
  // channel, module or fuse does not exist.
  bool Execute(const Command& command, std::string& error);
  // Parses and applies one command line.
  bool Apply(const std::string& line, std::string& error);

  void Advance(double seconds);
  Stats Statistics() const;
  // Runs `look` on the power system under the simulator's lock.
  void Inspect(const std::function<void(const PowerSystem&)>& look) const;

 private:
  void Answer(const pmbus_frame::Decoder::Result& request, std::string& out);
  void Send(std::uint8_t cid1, std::uint8_t rtn, std::string& out);
  void Corrupt(std::string& frame);

  mutable std::mutex mutex_;
  PowerSystem system_;
  bool wall_clock_;
  std::chrono::steady_clock::time_point last_request_;
  pmbus_frame::Decoder decoder_;
  pmbus_frame::Decoder::Result decoded_;
  pmbus_frame::Frame reply_;
  bool silent_ = false;
  double corrupt_rate_ = 0;
  std::mt19937 random_;
  Stats stats_;
};
