#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

// Starts the built korvan-host (KORVAN_HOST_PATH) with `arguments`, its
// standard output and error written to the files `out` and `err`; the child's
// pid. Nothing buffered in this process is written twice by the child.
inline pid_t SpawnHost(const std::vector<std::string>& arguments, const std::string& out,
                       const std::string& err) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
  std::vector<char*> argv{const_cast<char*>(KORVAN_HOST_PATH)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(KORVAN_HOST_PATH, argv.data());
  _exit(127);
}
