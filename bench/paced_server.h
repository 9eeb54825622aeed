#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/serial_port.h"
#include "sim/simulator.h"

// Serves a simulator on the simulator's end of a pseudo-terminal as a
// 9600-baud line would carry the frames: a request counts as received once
// its characters have had the time to arrive (10 bits each), and each reply
// goes out character by character at the line's rate, right after its
// request. A pseudo-terminal itself carries bytes at once.
class PacedServer {
 public:
  using Clock = std::chrono::steady_clock;

  // A frame on the line, seen from the simulator's end.
  struct Frame {
    bool request;             // else a reply
    std::string head;         // the first 9 characters: SOI, VER, ADR, CID1, CID2
    std::size_t characters;   // SOI to EOI
    Clock::time_point first;  // first character on the line
    Clock::time_point last;   // last character on the line
  };

  PacedServer(Simulator& simulator, std::shared_ptr<SerialPort> line, unsigned baud = 9600);
  ~PacedServer();
  PacedServer(const PacedServer&) = delete;
  PacedServer& operator=(const PacedServer&) = delete;

  void Start();
  void Stop();
  // The frames carried so far, in line order.
  std::vector<Frame> Frames() const;
  const std::string& Error() const { return error_; }

 private:
  void Serve();
  // Sends `frames` at the line's rate from `start` on; false when the line failed.
  bool SendPaced(const std::string& frames, Clock::time_point start);
  void Record(bool request, const std::string& text, std::size_t begin, std::size_t end,
              Clock::time_point first, Clock::time_point last);

  Simulator& simulator_;
  std::shared_ptr<SerialPort> line_;
  const Clock::duration character_time_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::string error_;
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
};
