// The watchdog: a thread that owes a step is late at half its bound and
// stalled at the bound; a sleeping thread owes nothing before its wake-up.
// Under systemd the runtime tells readiness, the watchdog's pings and its end.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>

#include "runtime/progress_mark.h"
#include "runtime/watchdog.h"
#include "support/host_run.h"
#include "support/temp_dir.h"

namespace {

using Clock = runtime::Watchdog::Clock;
using std::chrono::milliseconds;

TEST(Watchdog, FindsLateAndStalledThreadsByName) {
  const Clock::time_point now = Clock::now();
  runtime::Watchdog watchdog;
  const struct Row {
    const char* name;
    Clock::time_point owed_since;
  } rows[] = {
      {"fresh", now - milliseconds(14000)},  // under half the bound
      {"late", now - milliseconds(15000)},  {"stalled", now - milliseconds(30000)},
      {"idle", Clock::time_point::max()},   {"sleeping", now + milliseconds(60000)},
  };
  for (const Row& row : rows) {
    const Clock::time_point since = row.owed_since;
    watchdog.Watch({row.name, [since] { return since; }, milliseconds(30000)});
  }
  const std::vector<runtime::Watchdog::Finding> findings = watchdog.Check(now);
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].name, "late");
  EXPECT_FALSE(findings[0].stalled);
  EXPECT_EQ(findings[1].name, "stalled");
  EXPECT_TRUE(findings[1].stalled);
  EXPECT_EQ(runtime::DescribeFindings(findings),
            "late has made no progress for 15 s; stalled has made no progress for 30 s");

  // A mark owes a step from its touch, or from the end of its sleep.
  runtime::ProgressMark mark;
  mark.SleepUntil(now + milliseconds(5000));
  EXPECT_GE(mark.Due(), now + milliseconds(5000));
  mark.Touch();
  EXPECT_LE(mark.Due(), Clock::now());
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~NotifySocket() { close(fd_); }
  bool Bound() const { return bound_; }
  // Every message received so far.
  std::set<std::string> Messages() {
    char buffer[4096];
    for (;;) {
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      messages_.insert(std::string(buffer, static_cast<std::size_t>(got)));
    }
    return messages_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::set<std::string> messages_;
};

TEST(Watchdog, UnderSystemdTheRunTellsReadinessPingsAndItsEnd) {
  TempDir dir;
  NotifySocket socket(dir.File("notify"));
  ASSERT_TRUE(socket.Bound());
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "1000000", 1);
  const HostRun run =
      RunHost({"simulate", "--cycles", "3", "--db", dir.File("k.db"), "--quiet-log"});
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  EXPECT_EQ(run.code, 0) << run.err;
  const std::set<std::string> messages = socket.Messages();
  for (const char* expected : {"READY=1", "WATCHDOG=1", "STOPPING=1"}) {
    EXPECT_EQ(messages.count(expected), 1u) << expected;
  }
}

}  // namespace
