#pragma once

#include <string>
#include <thread>

#include "runtime/event_stream.h"

namespace runtime {

// While it is active, what the process writes to standard output (file
// descriptor 1) goes into a pipe instead: the devices write their trace lines
// there. A reader thread drains the pipe continuously, splits it into lines
// and publishes each as a log line of `label` on the event stream, so that
// they reach the log (standard error, silenced by --quiet-log) and never mix
// with what the outputs print on standard output. Whoever prints on standard
// output meanwhile must do so through a duplicate of the original descriptor,
// taken before. Writers into the pipe never wait for long: the reader never
// waits for the outputs (publishing does not block). The C library's buffer
// of standard output, which holds printf's lines while it is not a terminal,
// is flushed by whoever writes them: the polling threads after each step
// (FlushTraceLines), so that the lines go out with the step that wrote them.
//
// One capture at a time per process; a second one while the first is active
// does nothing. Standard output is restored by Stop and by the destructor,
// also when the process is left through an exception.
// Flushes the C library's buffer of standard output when it holds something
// and whoever reads standard output sees it: without a capture (a terminal,
// a file), or with one that publishes. A capture that drops its lines gets
// them when the buffer fills: no write, no wake-up of its reader per step.
void FlushTraceLines();

class StdoutTrace {
 public:
  // `publish` false: the lines are read and dropped (no output shows them),
  // which spares every output a wake-up per line.
  StdoutTrace(EventStream& events, std::string label, bool publish = true);
  ~StdoutTrace();
  StdoutTrace(const StdoutTrace&) = delete;
  StdoutTrace& operator=(const StdoutTrace&) = delete;

  // False when standard output could not be redirected (then it is left as
  // it was) or another capture is active.
  bool Active() const { return saved_fd_ >= 0; }
  // Publishes what is still buffered and restores standard output.
  void Stop();

  // A line longer than this without a line break is published in pieces.
  static constexpr std::size_t kMaxLine = 16 * 1024;

 private:
  void ReadLines();

  EventStream& events_;
  std::string label_;
  bool publish_ = true;
  int saved_fd_ = -1;
  int read_fd_ = -1;
  int write_fd_ = -1;
  int stop_fd_ = -1;  // eventfd: Stop was called
  std::thread reader_;
};

}  // namespace runtime
