#pragma once

#include <functional>
#include <string>

namespace replay {

// Catches what the process writes to standard output (file descriptor 1)
// while it is active, so that the devices' trace lines can be shown in order
// with everything else. Output goes to a temporary file; Drain hands over the
// complete lines written since the last call.
class StdoutCapture {
 public:
  using LineSink = std::function<void(const std::string& line)>;

  explicit StdoutCapture(LineSink sink) : sink_(std::move(sink)) {}
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Starts catching; false when standard output cannot be redirected (then
  // nothing is caught and Drain does nothing).
  bool Begin();
  // Hands the complete lines written so far to the sink.
  void Drain();
  // Drains, hands over an unfinished last line too, and restores standard output.
  void End();

 private:
  LineSink sink_;
  int saved_fd_ = -1;
  int file_fd_ = -1;
  long long read_offset_ = 0;
  std::string partial_;
};

}  // namespace replay
