#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/event_stream.h"

namespace runtime {

struct NotifierOptions {
  // Run for the events of every system without a command of its own; empty: none.
  std::string command;
  // A system's own command ("notify_cmd"), by system name; an empty text: none for it.
  std::map<std::string, std::string> system_commands;
  // A command still running after this long gets SIGTERM, and SIGKILL after `kill_after`.
  std::chrono::milliseconds timeout{10000};
  std::chrono::milliseconds kill_after{1000};
  // Events of one system that may wait while its command runs; more are dropped and counted.
  std::size_t backlog = 100;
  // Bytes of the command's standard output and error kept for the problem text.
  std::size_t output_limit = 4096;
};

// What a command is told about one event: KORVAN_* variables and the same
// as one JSON object on a line (with its newline).
struct Notification {
  std::string system;
  std::vector<std::pair<std::string, std::string>> variables;
  std::string json;
  std::string what;  // "alarm_raised RC_0", for messages
};

// The notification of an alarm raised or cleared or of communication lost or
// restored; nothing for the other kinds of event.
std::optional<Notification> MakeNotification(const RuntimeEvent& event);

// How one run of a command ended.
struct CommandResult {
  enum class End { kExited, kSignalled, kNotStarted };
  End end = End::kNotStarted;
  int exit_code = 0;  // kExited
  int signal = 0;     // kSignalled
  bool timed_out = false;
  bool stopped = false;  // `stop` asked for it to end
  bool killed = false;   // SIGKILL was sent: SIGTERM did not end it in time
  std::string error;     // kNotStarted: why
  std::string output;    // the first bytes of its standard output and error
  bool Succeeded() const { return end == End::kExited && exit_code == 0 && !timed_out && !stopped; }
};

// Runs `/bin/sh -c command` in a process group of its own with `environment`
// ("NAME=value") and `input` on its standard input, and waits for it. At its
// time limit, or once `stop` returns true, the group gets SIGTERM, then
// SIGKILL after `kill_after`; the shell is always reaped. Standard output and
// error go to one pipe of which `output_limit` bytes are kept. A command that
// closes its standard input early is no failure (the write's SIGPIPE is
// blocked on the calling thread and taken back).
CommandResult RunShellCommand(const std::string& command,
                              const std::vector<std::string>& environment, const std::string& input,
                              std::chrono::milliseconds timeout,
                              std::chrono::milliseconds kill_after, std::size_t output_limit,
                              const std::function<bool()>& stop);

// An output of the event stream that runs a command for every alarm raised
// or cleared and every loss or return of communication, with the event in
// KORVAN_* variables and as JSON on standard input.
//
// Each system has a worker thread of its own, made at its first event: its
// commands run one at a time in the order of its events, while other systems'
// run alongside. OnEvent only queues, so the stream's thread (and polling)
// never waits for a command. While a command runs, up to `backlog` events of
// its system wait; later ones are dropped, and how many is reported when the
// worker next takes one. A failure (cannot start, exits non-zero, killed by
// a signal, timed out) is a problem on the stream, under the system's name.
// The stream must outlive the notifier.
class Notifier : public EventSubscriber {
 public:
  Notifier(NotifierOptions options, EventStream& events);
  ~Notifier() override;
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  void OnEvent(const RuntimeEvent& event) override;
  bool Wants(RuntimeEvent::Kind kind) const override {
    return kind == RuntimeEvent::Kind::kAlarm || kind == RuntimeEvent::Kind::kCommunication;
  }

  // Lets the workers go on with what is queued for at most one time limit;
  // then a command still running is stopped (SIGTERM, SIGKILL) and events not
  // yet started are dropped and reported. Joins the workers; later events are
  // ignored. Bounded by the time limit plus `kill_after`.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  struct Worker {
    std::string system;
    std::string command;
    std::deque<Notification> backlog;
    std::uint64_t dropped = 0;  // since last reported
    std::thread thread;
  };
  void Work(Worker& worker);
  void Run(const Worker& worker, const Notification& notification);
  // The command of `system`; empty: none.
  const std::string& CommandOf(const std::string& system) const;
  bool PastDeadline();

  NotifierOptions options_;
  EventStream& events_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::unique_ptr<Worker>> workers_;
  bool finishing_ = false;
  Clock::time_point deadline_;  // when finishing: the end of the grace period
};

}  // namespace runtime
