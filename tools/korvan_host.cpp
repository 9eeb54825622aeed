// korvan-host: runs the device plug-in as the monitoring controller does.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <memory>

#include "tools/cli/host_cli.h"

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
  g_interrupted.store(true);
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

  // With --json, standard output carries only JSON lines: the plug-in's own
  // trace lines, which it writes to standard output, go to standard error.
  bool json = false;
  for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> json_buffer;
  std::unique_ptr<std::ostream> json_out;
  if (json) {
    std::cout.flush();
    const int json_fd = dup(STDOUT_FILENO);
    if (json_fd >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
      json_buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(json_fd, std::ios::out);
      json_out = std::make_unique<std::ostream>(json_buffer.get());
    }
  }
  std::ostream& out = json_out ? *json_out : std::cout;
  const int code = cli::RunHostCli(argc, argv, out, std::cerr, g_interrupted);
  out.flush();
  return code;
}
