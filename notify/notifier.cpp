#include "notify/notifier.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <json/value.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <thread>

#include "console/alarm_glossary.h"
#include "console/json_line.h"
#include "host/host_clock.h"
#include "records/utf8_text.h"
#include "runtime/local_time_text.h"
#include "runtime/power_system.h"

extern char** environ;

namespace runtime {

namespace {

// The same local time as a ptime; the alarm's text time when it has one,
// since the console and the store show that one.
boost::posix_time::ptime EventTime(const RuntimeEvent& event) {
  if (event.kind == RuntimeEvent::Kind::kAlarm && !event.alarm.time.empty()) {
    try {
      const auto time = boost::posix_time::time_from_string(event.alarm.time);
      if (!time.is_special()) return time;
    } catch (const std::exception&) {
      // Not a time: the stream's stamp below.
    }
  }
  return event.time.is_special() ? host_clock::LocalNow() : event.time;
}

// A variable's value cannot hold NUL; the text is valid UTF-8 already.
std::string VariableValue(const std::string& text) {
  std::string value = utf8_text::ValidUtf8(text);
  for (char& c : value) {
    if (c == '\0') c = ' ';
  }
  return value;
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGKILL:
      return "SIGKILL";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    case SIGSEGV:
      return "SIGSEGV";
    case SIGABRT:
      return "SIGABRT";
    case SIGPIPE:
      return "SIGPIPE";
    default:
      return "signal " + std::to_string(signal);
  }
}

std::string Seconds(std::chrono::milliseconds duration) {
  return fmt::format("{:g} s", static_cast<double>(duration.count()) / 1000);
}

// The command's output on one line, for a problem text.
std::string OutputText(const std::string& output) {
  std::string text = utf8_text::ValidUtf8(output);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  std::string line;
  for (const char c : text) {
    if (c == '\n') {
      line += " | ";
    } else if (c == '\r' || c == '\0') {
      line += ' ';
    } else {
      line += c;
    }
  }
  return line;
}

// Moves a descriptor above standard input, output and error, so that the
// child's dup2 onto 0, 1 or 2 always copies it (and clears close-on-exec).
bool AboveStdio(int& fd) {
  if (fd > STDERR_FILENO) return true;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  fd = moved;
  return moved >= 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Takes back a SIGPIPE that a write raised while it was blocked on this thread.
void DiscardPendingSigpipe() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  const timespec now{0, 0};
  while (sigtimedwait(&pipe_only, nullptr, &now) == SIGPIPE) {
  }
}

// Blocks SIGPIPE on the calling thread while it lives.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous_);
  }
  ~SigpipeBlocked() {
    DiscardPendingSigpipe();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t previous_;
};

// Reads what the pipe holds now into `kept` (up to `limit` bytes, the rest
// read and dropped); false at its end or on an error.
bool ReadAvailable(int fd, std::string& kept, std::size_t limit) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      const std::size_t room = limit > kept.size() ? limit - kept.size() : 0;
      kept.append(buffer, std::min(room, static_cast<std::size_t>(got)));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// The child: its own process group (the group is what a time-out stops,
// with whatever the shell started), no blocked signals, the signals that the
// runtime catches or ignores at their defaults, standard input and output on
// the pipes and no other descriptor of the runtime.
int Spawn(pid_t& pid, const std::string& command, const std::vector<std::string>& environment,
          int input_fd, int output_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1,
                           SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigdefault(&attributes, &defaults);

  std::vector<char*> argv{const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                          const_cast<char*>(command.c_str()), nullptr};
  std::vector<char*> envp;
  for (const std::string& variable : environment)
    envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  const int result = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

// Signals the child's process group, or the child alone when it has none yet.
void SignalGroup(pid_t pid, int signal) {
  if (kill(-pid, signal) != 0) kill(pid, signal);
}

}  // namespace

std::optional<Notification> MakeNotification(const RuntimeEvent& event) {
  std::string name, state, id, code, title, text, event_id;
  std::uint32_t data_id = event.device.data_id;
  int record_type = event.device.record_type;
  int level = 0;
  if (event.kind == RuntimeEvent::Kind::kAlarm) {
    const AlarmEvent& alarm = event.alarm;
    name = alarm.raised ? "alarm_raised" : "alarm_cleared";
    state = alarm.raised ? "active" : "cleared";
    id = alarm.id;
    code = alarm.code;
    level = alarm.level;
    title = alarm.name;
    text = alarm.text;
    data_id = alarm.data_id;
    record_type = alarm.record_type;
    event_id = alarm.event_id;
  } else if (event.kind == RuntimeEvent::Kind::kCommunication) {
    const HostAlarm& lost = host_alarms::kCommunicationLost;
    name = event.ok ? "communication_restored" : "communication_lost";
    state = event.ok ? "restored" : "lost";
    id = lost.id;
    code = lost.code;
    level = lost.level;
    title = lost.name;
    text = event.text;
    event_id = event.event_id;
  } else {
    return std::nullopt;
  }

  Notification notification;
  notification.system = event.system;
  notification.what = id.empty() ? name : name + " " + id;
  const std::string time = IsoLocalTime(LocalTimeText(EventTime(event)));
  const std::string gloss = AlarmGloss(id, code, text);
  notification.variables = {
      {"KORVAN_SYSTEM", event.system},
      {"KORVAN_DEVICE", std::to_string(data_id)},
      {"KORVAN_RECORD_TYPE", std::to_string(record_type)},
      {"KORVAN_EVENT", name},
      {"KORVAN_ID", id},
      {"KORVAN_CODE", code},
      {"KORVAN_LEVEL", std::to_string(level)},
      {"KORVAN_NAME", title},
      {"KORVAN_TEXT", text},
      {"KORVAN_GLOSS", gloss},
      {"KORVAN_STATE", state},
      {"KORVAN_TIME", time},
      {"KORVAN_EVENT_ID", event_id},
  };
  for (auto& variable : notification.variables) variable.second = VariableValue(variable.second);

  Json::Value object(Json::objectValue);
  object["event"] = name;
  object["system"] = event.system;
  object["data_id"] = data_id;
  object["record_type"] = record_type;
  object["id"] = id;
  object["code"] = code;
  object["level"] = level;
  object["name"] = title;
  object["text"] = text;
  object["gloss"] = gloss;
  object["state"] = state;
  object["time"] = time;
  object["event_id"] = event_id;
  notification.json = JsonLine(object) + "\n";
  return notification;
}

CommandResult RunShellCommand(const std::string& command,
                              const std::vector<std::string>& environment, const std::string& input,
                              std::chrono::milliseconds timeout,
                              std::chrono::milliseconds kill_after, std::size_t output_limit,
                              const std::function<bool()>& stop) {
  using Clock = std::chrono::steady_clock;
  CommandResult result;
  int input_pipe[2] = {-1, -1};
  int output_pipe[2] = {-1, -1};
  auto fail = [&](const std::string& what, int error) {
    for (int& fd : input_pipe) CloseFd(fd);
    for (int& fd : output_pipe) CloseFd(fd);
    result.end = CommandResult::End::kNotStarted;
    result.error = what + ": " + std::strerror(error);
    return result;
  };
  if (pipe2(input_pipe, O_CLOEXEC) != 0) return fail("pipe", errno);
  if (pipe2(output_pipe, O_CLOEXEC) != 0) return fail("pipe", errno);
  for (int& fd : input_pipe) {
    if (!AboveStdio(fd)) return fail("pipe", errno);
  }
  for (int& fd : output_pipe) {
    if (!AboveStdio(fd)) return fail("pipe", errno);
  }

  SigpipeBlocked blocked;
  pid_t pid = -1;
  const int spawned = Spawn(pid, command, environment, input_pipe[0], output_pipe[1]);
  if (spawned != 0) return fail("/bin/sh", spawned);
  CloseFd(input_pipe[0]);
  CloseFd(output_pipe[1]);
  int& to_child = input_pipe[1];
  int& from_child = output_pipe[0];
  fcntl(to_child, F_SETFL, fcntl(to_child, F_GETFL) | O_NONBLOCK);
  fcntl(from_child, F_SETFL, fcntl(from_child, F_GETFL) | O_NONBLOCK);
  std::size_t written = 0;
  if (input.empty()) CloseFd(to_child);

  const Clock::time_point started = Clock::now();
  std::optional<Clock::time_point> terminated;
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) break;
    const Clock::time_point now = Clock::now();
    if (!terminated) {
      const bool late = now - started >= timeout;
      if (late || (stop && stop())) {
        result.timed_out = late;
        result.stopped = !late;
        SignalGroup(pid, SIGTERM);
        terminated = now;
      }
    } else if (!result.killed && now - *terminated >= kill_after) {
      SignalGroup(pid, SIGKILL);
      result.killed = true;
    }

    pollfd fds[2];
    nfds_t count = 0;
    if (to_child >= 0) fds[count++] = pollfd{to_child, POLLOUT, 0};
    if (from_child >= 0) fds[count++] = pollfd{from_child, POLLIN, 0};
    // Short waits: the child's end is seen by waitpid, not by poll.
    if (poll(count == 0 ? nullptr : fds, count, 10) <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == to_child) {
        const ssize_t sent = write(to_child, input.data() + written, input.size() - written);
        if (sent > 0) written += static_cast<std::size_t>(sent);
        if (sent < 0 && errno == EPIPE) DiscardPendingSigpipe();
        const bool retry = sent < 0 && (errno == EAGAIN || errno == EINTR);
        if (written == input.size() || (sent < 0 && !retry)) CloseFd(to_child);
      } else if (!ReadAvailable(from_child, result.output, output_limit)) {
        CloseFd(from_child);
      }
    }
  }
  // What the child wrote before it ended; a process it left behind may hold
  // the pipe open, so nothing more is waited for.
  if (from_child >= 0) ReadAvailable(from_child, result.output, output_limit);
  // What the command left running in its process group (a job started with
  // "&") ends with it: SIGTERM, then SIGKILL for what outlives kill_after.
  // The group keeps its number while it has members, so no other process
  // can be hit.
  if (kill(-pid, SIGTERM) == 0) {
    const Clock::time_point until = Clock::now() + kill_after;
    while (kill(-pid, 0) == 0 && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid, SIGKILL);
  }
  CloseFd(to_child);
  CloseFd(from_child);
  if (WIFSIGNALED(status)) {
    result.end = CommandResult::End::kSignalled;
    result.signal = WTERMSIG(status);
  } else {
    result.end = CommandResult::End::kExited;
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

Notifier::Notifier(NotifierOptions options, EventStream& events)
    : options_(std::move(options)), events_(events) {}

Notifier::~Notifier() {
  Finish();
}

const std::string& Notifier::CommandOf(const std::string& system) const {
  const auto own = options_.system_commands.find(system);
  return own == options_.system_commands.end() ? options_.command : own->second;
}

void Notifier::OnEvent(const RuntimeEvent& event) {
  if (event.kind != RuntimeEvent::Kind::kAlarm &&
      event.kind != RuntimeEvent::Kind::kCommunication) {
    return;
  }
  const std::string& command = CommandOf(event.system);
  if (command.empty()) return;
  std::optional<Notification> notification = MakeNotification(event);
  if (!notification) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (finishing_) return;
  std::unique_ptr<Worker>& worker = workers_[event.system];
  if (!worker) {
    worker = std::make_unique<Worker>();
    worker->system = event.system;
    worker->command = command;
    Worker* raw = worker.get();
    worker->thread = std::thread([this, raw] { Work(*raw); });
  }
  if (worker->backlog.size() >= options_.backlog) {
    ++worker->dropped;
    return;
  }
  worker->backlog.push_back(std::move(*notification));
  changed_.notify_all();
}

bool Notifier::PastDeadline() {
  std::lock_guard<std::mutex> lock(mutex_);
  return finishing_ && Clock::now() >= deadline_;
}

void Notifier::Work(Worker& worker) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !worker.backlog.empty() || finishing_; });
    const bool late = finishing_ && Clock::now() >= deadline_;
    if (late) {
      worker.dropped += worker.backlog.size();
      worker.backlog.clear();
    }
    if (worker.dropped != 0) {
      const std::uint64_t dropped = worker.dropped;
      worker.dropped = 0;
      lock.unlock();
      events_.Problem(worker.system,
                      late ? fmt::format("{} notification(s) not run: the runtime was ending and "
                                         "the notify commands' time ran out",
                                         dropped)
                           : fmt::format("{} notification(s) dropped: {} were waiting for the "
                                         "notify command already",
                                         dropped, options_.backlog));
      lock.lock();
    }
    if (worker.backlog.empty()) {
      if (finishing_) return;
      continue;
    }
    Notification notification = std::move(worker.backlog.front());
    worker.backlog.pop_front();
    lock.unlock();
    Run(worker, notification);
    lock.lock();
  }
}

void Notifier::Run(const Worker& worker, const Notification& notification) {
  // The runtime's environment, with the event's variables in place of any
  // of the same name.
  std::vector<std::string> environment;
  for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    bool replaced = false;
    for (const auto& [name, value] : notification.variables) {
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    }
    if (!replaced) environment.push_back(entry);
  }
  for (const auto& [name, value] : notification.variables)
    environment.push_back(name + "=" + value);

  const CommandResult result = RunShellCommand(
      worker.command, environment, notification.json, options_.timeout, options_.kill_after,
      options_.output_limit, [this] { return PastDeadline(); });
  if (result.Succeeded()) return;
  std::string problem = "notify command for " + notification.what + " ";
  if (result.end == CommandResult::End::kNotStarted) {
    problem += "could not start: " + result.error;
  } else if (result.timed_out || result.stopped) {
    problem += result.timed_out ? "timed out after " + Seconds(options_.timeout)
                                : "was still running when the runtime ended";
    problem += result.killed ? "; SIGTERM did not end it, SIGKILL did" : "; ended with SIGTERM";
  } else if (result.end == CommandResult::End::kSignalled) {
    problem += "was killed by " + SignalName(result.signal);
  } else {
    problem += "exited with code " + std::to_string(result.exit_code);
  }
  const std::string output = OutputText(result.output);
  if (!output.empty()) problem += ": " + output;
  events_.Problem(worker.system, problem);
}

void Notifier::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finishing_) return;
    finishing_ = true;
    deadline_ = Clock::now() + options_.timeout;
  }
  changed_.notify_all();
  // No worker is added once finishing: the map stays as it is.
  for (auto& [system, worker] : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}

}  // namespace runtime
