#include "nut/nut_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <list>
#include <map>
#include <thread>

#include "nut/nut_line.h"
#include "nut/nut_protocol.h"
#include "runtime/power_system.h"
#include "runtime/thread_name.h"
#include "serving/latest_state.h"
#include "serving/listen_address.h"
#include "serving/listen_socket.h"

#ifndef KORVAN_VERSION
#define KORVAN_VERSION "unknown"
#endif

namespace nut {

namespace {

using Clock = std::chrono::steady_clock;

// The UPSes from the latest state of the event stream.
class LatestSource : public UpsSource {
 public:
  LatestSource(std::shared_ptr<serving::LatestState> state, UpsSettings settings)
      : state_(std::move(state)), settings_(settings) {}
  std::vector<std::string> Names() const override {
    std::vector<std::string> names;
    for (const serving::SystemState& system : state_->Systems()) names.push_back(system.name);
    return names;
  }
  std::optional<UpsView> Find(const std::string& name, bool forced_shutdown) const override {
    const std::optional<serving::SystemState> system = state_->System(name);
    if (!system) return std::nullopt;
    return ViewOf(*system, forced_shutdown, settings_);
  }

 private:
  std::shared_ptr<serving::LatestState> state_;
  UpsSettings settings_;
};

// The client's address as text, and whether it is on this machine.
std::string PeerText(const sockaddr_storage& peer, socklen_t length, bool& loopback) {
  char host[NI_MAXHOST] = {};
  getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, nullptr, 0,
              NI_NUMERICHOST);
  std::string text = host;
  if (text.rfind("::ffff:", 0) == 0) text = text.substr(7);
  loopback = serving::IsLoopback(text) && text != "localhost";
  return text;
}

struct Connection {
  int fd = -1;
  std::string peer;
  std::unique_ptr<Session> session;
  std::string in, out;
  Clock::time_point last_active;
  bool closing = false;  // close once `out` is sent
};

}  // namespace

std::string CheckNutSettings(const std::string& listen, const std::string& users_file,
                             double low_battery) {
  serving::ListenAddress address;
  std::string error;
  if (!serving::ParseListen(listen, address, error)) return "NUT " + error;
  NutUsers users;
  if (!users_file.empty() && !users.Load(users_file, error)) return error;
  if (!serving::IsLoopback(address.host) && users_file.empty()) {
    return "NUT listen address " + address.host +
           " is not a loopback address: it needs a users file (\"users_file\" of the \"nut\" "
           "key, or --nut-users-file)";
  }
  if (!(low_battery >= 0 && low_battery <= 1000)) {
    return "NUT low-battery level must be a voltage from 0 to 1000";
  }
  return "";
}

struct NutServer::Server {
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  NutUsers users;
  std::unique_ptr<LatestSource> source;
  ServerShared shared;
  std::list<Connection> connections;
  std::uint64_t next_id = 1;
  std::thread thread;

  void Run();
  void Accept();
  // Reads what the client sent and answers its complete lines; false when
  // the connection is to be closed now.
  bool Read(Connection& connection);
  // Answers the complete lines received, until kReadPauseBytes of replies
  // wait; false when the connection is to be closed now.
  bool Answer(Connection& connection);
  bool Write(Connection& connection);
  void Close(std::list<Connection>::iterator at);
};

void NutServer::Server::Accept() {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int fd =
      accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  bool loopback = false;
  const std::string address = PeerText(peer, length, loopback);
  int same = 0;
  for (const Connection& connection : connections) same += connection.peer == address;
  if (static_cast<int>(connections.size()) >= kMaxConnections ||
      same >= kMaxConnectionsPerAddress) {
    close(fd);
    return;
  }
  connections.emplace_back();
  Connection& connection = connections.back();
  connection.fd = fd;
  connection.peer = address;
  connection.session = std::make_unique<Session>(shared, next_id++, address, loopback);
  connection.last_active = Clock::now();
}

bool NutServer::Server::Read(Connection& connection) {
  char buffer[4096];
  const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
  if (got == 0) return false;
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  connection.last_active = Clock::now();
  connection.in.append(buffer, static_cast<std::size_t>(got));
  return Answer(connection);
}

bool NutServer::Server::Answer(Connection& connection) {
  std::size_t start = 0;
  while (!connection.closing && connection.out.size() < kReadPauseBytes) {
    const std::size_t end = connection.in.find('\n', start);
    if (end == std::string::npos) break;
    connection.out += connection.session->Handle(connection.in.substr(start, end - start));
    connection.closing = connection.session->Closing();
    start = end + 1;
  }
  connection.in.erase(0, start);
  // A line that cannot end within the bound is refused, and the client too.
  if (!connection.closing && connection.in.find('\n') == std::string::npos &&
      connection.in.size() > kMaxLineLength + 1) {
    connection.out += "ERR TOO-LONG\n";
    connection.closing = true;
  }
  return connection.out.size() <= kMaxPendingBytes;
}

bool NutServer::Server::Write(Connection& connection) {
  while (!connection.out.empty()) {
    const ssize_t sent =
        send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    connection.out.erase(0, static_cast<std::size_t>(sent));
    connection.last_active = Clock::now();
  }
  return !connection.closing;
}

void NutServer::Server::Close(std::list<Connection>::iterator at) {
  close(at->fd);
  connections.erase(at);
}

void NutServer::Server::Run() {
  runtime::NameThisThread("nut server");
  std::vector<pollfd> fds;
  std::vector<std::list<Connection>::iterator> order;
  for (;;) {
    fds.clear();
    order.clear();
    fds.push_back({wake[0], POLLIN, 0});
    fds.push_back({listen_fd, POLLIN, 0});
    for (auto at = connections.begin(); at != connections.end(); ++at) {
      short events = 0;
      // Requests of a client that leaves its replies unread wait.
      if (!at->closing && at->out.size() < kReadPauseBytes) events |= POLLIN;
      if (!at->out.empty()) events |= POLLOUT;
      fds.push_back({at->fd, events, 0});
      order.push_back(at);
    }
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) Accept();
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < order.size(); ++i) {
      Connection& connection = *order[i];
      const short revents = fds[i + 2].revents;
      bool keep = true;
      if (revents & (POLLERR | POLLNVAL)) keep = false;
      if (keep && (revents & (POLLIN | POLLHUP))) keep = Read(connection);
      if (keep && !connection.out.empty()) keep = Write(connection);
      // Lines held back while replies waited are answered once they are sent.
      if (keep && connection.out.empty() && connection.in.find('\n') != std::string::npos) {
        keep = Answer(connection) && Write(connection);
      }
      if (keep && connection.closing && connection.out.empty()) keep = false;
      if (keep && now - connection.last_active > std::chrono::seconds(kIdleSeconds)) keep = false;
      if (!keep) Close(order[i]);
    }
  }
}

NutServer::NutServer() = default;
NutServer::~NutServer() {
  Stop();
}

bool NutServer::Start(const NutOptions& options, runtime::Runtime& host, std::string& error) {
  error = CheckNutSettings(options.listen, options.users_file, options.low_battery);
  if (!error.empty()) return false;
  auto server = std::make_unique<Server>();
  if (!options.users_file.empty() && !server->users.Load(options.users_file, error)) return false;
  serving::ListenAddress address;
  if (!serving::ParseListen(options.listen, address, error)) return false;
  int port = 0;
  server->listen_fd = serving::OpenListenSocket(address, port, error, "NUT server");
  if (server->listen_fd < 0) return false;
  fcntl(server->listen_fd, F_SETFL, fcntl(server->listen_fd, F_GETFL) | O_NONBLOCK);
  if (pipe2(server->wake, O_CLOEXEC) != 0) {
    close(server->listen_fd);
    error = "NUT server cannot start: no pipe";
    return false;
  }
  auto state = std::make_shared<serving::LatestState>();
  for (const std::unique_ptr<runtime::PowerSystem>& system : host.Systems()) {
    state->Seed(system->Summarize("nut"));
  }
  host.Events().Subscribe("nut", state);
  UpsSettings settings;
  settings.low_battery = options.low_battery;
  server->source = std::make_unique<LatestSource>(state, settings);
  server->shared.source = server->source.get();
  server->shared.users = options.users_file.empty() ? nullptr : &server->users;
  server->shared.version_text = "korvan-host " KORVAN_VERSION " NUT network protocol server";
  Server* self = server.get();
  server->thread = std::thread([self] { self->Run(); });
  server_ = std::move(server);
  const std::string host_text =
      address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  host.Events().Note("", "NUT server listening on " + host_text + ":" + std::to_string(port));
  return true;
}

void NutServer::Stop() {
  if (!server_) return;
  const char byte = 1;
  if (write(server_->wake[1], &byte, 1) < 0) {
    // The thread still ends: it is joined after the pipe's end is closed.
  }
  close(server_->wake[1]);
  server_->thread.join();
  for (Connection& connection : server_->connections) close(connection.fd);
  server_->connections.clear();
  close(server_->wake[0]);
  close(server_->listen_fd);
  server_.reset();
}

}  // namespace nut
