#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "records/json_text.h"
#include "tests/support/http_client.h"
#include "tests/support/spawn_host.h"
#include "tests/support/temp_dir.h"

// `korvan-host simulate` serving HTTP, for the HTTP server's tests.

constexpr char kToken[] = "test-token-0123456789";

// `korvan-host simulate --http 127.0.0.1:0` in the background, with a
// rectifier module fault from its start (or another scenario) and every
// cycle's history stored.
class SimulatedServer {
 public:
  // `extra` arguments follow the others; `db` is the store's file (one in
  // the server's folder when empty); `scenario` the simulator's scenario;
  // `summaries`: the summary after every cycle is printed (in the Output()).
  explicit SimulatedServer(const std::vector<std::string>& extra = {}, const std::string& db = "",
                           const std::string& scenario_text = "rectifier-fault 2 on\n",
                           bool summaries = false) {
    const std::string token = dir_.Write("token", std::string(kToken) + "\n");
    const std::string scenario = dir_.Write("fault.scenario", scenario_text);
    db_ = db.empty() ? dir_.File("db") : db;
    std::vector<std::string> arguments{"simulate",    "--http",
                                       "127.0.0.1:0", "--http-auth-file",
                                       token,         "--db",
                                       db_,           "--scenario",
                                       scenario,      "--history-every",
                                       "0",           "--commit-interval",
                                       "0",           "--quiet-log",
                                       "--summary",   summaries ? "on" : "off"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    pid_ = SpawnHost(arguments, dir_.File("out"), dir_.File("err"));
    static const std::regex listening(R"(HTTP server listening on http://127\.0\.0\.1:(\d+)/)");
    WaitFor([&] {
      std::smatch match;
      const std::string out = ReadFile(dir_.File("out"));
      if (!std::regex_search(out, match, listening)) return false;
      port_ = std::stoi(match[1]);
      return true;
    });
  }
  ~SimulatedServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

  // Sends SIGTERM and waits up to `limit` for the process to end; how long
  // it took, or nothing when it still runs (it is then killed).
  std::optional<std::chrono::milliseconds> Terminate(std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() - start > limit) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  // Polls `condition` until it holds, for up to 90 s (qemu, a loaded machine).
  static bool WaitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
  }

  int Port() const { return port_; }
  std::string Db() const { return db_; }
  std::string Output() const { return ReadFile(dir_.File("out")) + ReadFile(dir_.File("err")); }

  // The answer to `method` `path`, with the bearer token `token` (none when
  // empty).
  HttpAnswer Fetch(const std::string& path, const std::string& method = "GET",
                   const std::string& token = kToken) const {
    std::vector<std::string> headers;
    if (!token.empty()) headers.push_back("Authorization: Bearer " + token);
    const bool body = method == "POST" || method == "PUT";
    return Exchange(port_, RequestText(method, path, port_, headers, body ? "x" : ""));
  }
  // The answer to a GET of `path` with these further header lines.
  HttpAnswer FetchWith(const std::string& path,
                       const std::vector<std::string>& header_lines) const {
    std::vector<std::string> headers{"Authorization: Bearer " + std::string(kToken)};
    headers.insert(headers.end(), header_lines.begin(), header_lines.end());
    return Exchange(port_, RequestText("GET", path, port_, headers));
  }
  // The JSON answer of a GET, with its status in `status`.
  Json::Value Get(const std::string& path, int* status = nullptr) const {
    const HttpAnswer answer = Fetch(path);
    if (status) *status = answer.status;
    Json::Value value;
    std::string error;
    if (answer.status > 0 && !json_text::Parse(answer.body, false, value, error)) {
      ADD_FAILURE() << path << ": " << error << ": " << answer.body;
    }
    return value;
  }

  pid_t Pid() const { return pid_; }

 private:
  TempDir dir_;
  std::string db_;
  pid_t pid_ = -1;
  int port_ = 0;
};
