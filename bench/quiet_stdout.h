#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

// The units write trace lines to standard output on every cycle. On the board
// that is a log or /dev/null; in a benchmark a terminal would time the
// terminal. Points standard output at /dev/null and returns a descriptor of
// the original, on which the benchmark reports; -1 when that fails.
inline int QuietStdout() {
  std::fflush(stdout);
  const int original = dup(STDOUT_FILENO);
  const int null_device = open("/dev/null", O_WRONLY);
  if (original < 0 || null_device < 0 || dup2(null_device, STDOUT_FILENO) < 0) return -1;
  close(null_device);
  return original;
}
