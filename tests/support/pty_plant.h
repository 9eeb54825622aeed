#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/pty_port.h"
#include "sim/sim_server.h"
#include "sim/simulator.h"
#include "tests/support/spawn_host.h"
#include "tests/support/temp_dir.h"

// A simulated plant on a pseudo-terminal, polled by `korvan-host run` as the
// system "plant-a" (an AC unit, a DC unit and the rectifier group) with
// communication lost after 10 s; its output is in `dir`'s files out and err.
class PtyPlant {
 public:
  // `settings`: further keys of the configuration file, such as
  // `"nut": {...}`; `arguments` follow run's own.
  PtyPlant(const TempDir& dir, const std::string& settings,
           const std::vector<std::string>& arguments)
      : dir_(dir), simulator_(::SystemConfig()), line_(std::make_shared<PtyPort>()) {
    std::string error;
    EXPECT_TRUE(line_->Open(SerialSettings(), error)) << error;
    server_ = std::make_unique<SimServer>(simulator_, line_);
    server_->Start();
    const std::string config =
        dir_.Write("plant.json", "{\"name\": \"plant-a\", \"port\": \"" + line_->Path() +
                                     "\", \"data_id\": 100, \"acSetting\": [{\"data_id\": 11}], "
                                     "\"dcSetting\": [{\"data_id\": 21}], \"rcSetting\": {}, " +
                                     settings + "}");
    std::vector<std::string> all{"run",           "--config",          config, "--db",
                                 dir_.File("db"), "--comm-lost-after", "10",   "--summary",
                                 "off",           "--quiet-log"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    pid_ = SpawnHost(all, dir_.File("out"), dir_.File("err"));
  }
  ~PtyPlant() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    server_->Stop();
  }

  // Whether korvan-host has ended.
  bool Ended() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }
  void Apply(const std::string& command) {
    std::string error;
    EXPECT_TRUE(simulator_.Apply(command, error)) << command << ": " << error;
  }
  std::string Output() const { return ReadFile(dir_.File("out")) + ReadFile(dir_.File("err")); }

 private:
  const TempDir& dir_;
  Simulator simulator_;
  std::shared_ptr<PtyPort> line_;
  std::unique_ptr<SimServer> server_;
  pid_t pid_ = -1;
};
