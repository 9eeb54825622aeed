#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

// Other programs run by the tests: Debian's clients and servers of the
// protocols korvan-host speaks.

struct ToolRun {
  int code = -1;
  std::string output;  // standard output
  std::string errors;  // standard error
};

// Runs `argv` with the environment `env` alone, its output in `output_file`
// and its errors in `error_file` (the same file when empty).
inline pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::string& output_file, const std::string& error_file = "") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (error_file.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args, vars;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& var : env) vars.push_back(const_cast<char*>(var.c_str()));
  args.push_back(nullptr);
  vars.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), vars.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Runs `argv` to its end with the environment `env` alone.
inline ToolRun RunTool(const TempDir& dir, const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {"PATH=/usr/bin:/bin"}) {
  ToolRun run;
  const std::string file = dir.File("tool.out");
  const pid_t pid = StartProcess(argv, env, file, dir.File("tool.err"));
  if (pid < 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.output = ReadFile(file);
  run.errors = ReadFile(dir.File("tool.err"));
  return run;
}

// Whether `condition` holds within `seconds` (generous by default: a
// sanitizer or an emulator slows the host down many times).
inline bool WaitFor(const std::function<bool()>& condition, int seconds = 120) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return condition();
}

// Processes that the test started, ended with it whatever it asserts.
struct Children {
  std::vector<pid_t> pids;
  ~Children() {
    for (const pid_t pid : pids) {
      kill(pid, SIGTERM);
      int status = 0;
      waitpid(pid, &status, 0);
    }
  }
};
