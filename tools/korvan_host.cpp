// korvan-host: runs the device plug-in as the monitoring controller does.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <memory>

#include "runtime/runtime.h"
#include "tools/cli/host_cli.h"

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
  g_interrupted.store(true);
  runtime::WakeForInterrupt();
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // A hang-up (the terminal or the session went away) stops as cleanly as
  // Ctrl-C or a kill: polling ends and the database is closed.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  // Standard output carries only what the command prints, through a
  // duplicate of its descriptor; descriptor 1 itself goes to standard error,
  // so that what the plug-in writes there outside of polling (where it is
  // caught as log lines) never mixes with summaries or JSON lines.
  std::cout.flush();
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> out_buffer;
  std::unique_ptr<std::ostream> own_out;
  const int out_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (out_fd >= 0) {
    if (dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
      out_buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(out_fd, std::ios::out);
      own_out = std::make_unique<std::ostream>(out_buffer.get());
    } else {
      close(out_fd);
    }
  }
  std::ostream& out = own_out ? *own_out : std::cout;
  const int code = cli::RunHostCli(argc, argv, out, std::cerr, g_interrupted);
  out.flush();
  return code;
}
