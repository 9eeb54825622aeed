#include "http/http_output.h"

#include <microhttpd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>

#include "http/api_routes.h"
#include "http/gzip_body.h"
#include "http/header_deadline.h"
#include "http/host_check.h"
#include "http/http_auth.h"
#include "http/http_settings.h"
#include "http/query_gate.h"
#include "serving/listen_address.h"
#include "serving/listen_socket.h"

namespace http_output {

namespace {

// A connection's buffers, the request line and headers among them: a longer
// header section is refused by the library (431) without growing memory.
constexpr std::size_t kConnectionMemory = 32 * 1024;
constexpr unsigned int kMaxConnections = 64;
constexpr unsigned int kMaxConnectionsPerAddress = 16;
// A connection without a byte in or out for this long is closed.
constexpr unsigned int kIdleSeconds = 10;
// A request's headers must be complete this long after its connection
// opened or its previous answer left (HeaderDeadline).
constexpr std::chrono::seconds kHeaderDeadline{15};
// Store queries at once; more are answered 503 with Retry-After.
constexpr std::size_t kMaxQueries = 2;
constexpr std::size_t kMaxRequestLine = 8192;

MHD_Result AddValue(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto& values = *static_cast<std::map<std::string, std::string>*>(cls);
  values.emplace(key, value != nullptr ? value : "");
  return MHD_YES;
}

std::map<std::string, std::string> Values(MHD_Connection* connection, MHD_ValueKind kind) {
  std::map<std::string, std::string> values;
  MHD_get_connection_values(connection, kind, AddValue, &values);
  return values;
}

std::string LowerName(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

struct HttpOutput::Server {
  // What one request carries from call to call of the library's handler.
  struct Exchange {
    HttpResponse response;
    std::atomic<bool> ready{false};  // `response` set (by a query's thread)
    bool queued = false;             // handed to the library
  };

  ApiContext context;
  std::shared_ptr<HttpAuth> auth;
  std::string bound_host;
  bool check_host = false;
  QueryGate queries{kMaxQueries};
  HeaderDeadline deadline{kHeaderDeadline};
  MHD_Daemon* daemon = nullptr;

  // The answers that need no route (checks before routing); false when the
  // request may be routed.
  bool Refuse(const HttpRequest& req, std::size_t line_size, HttpResponse& res) const {
    // Loopback only: a page of another name whose DNS points here (rebinding)
    // names itself in Host.
    if (check_host && !HostAllowed(req.header("host"), bound_host)) {
      SendError(res, 421, "host not served here: \"" + req.header("host") + "\"");
      return true;
    }
    if (line_size > kMaxRequestLine) {
      SendError(res, 414, "request line too long");
      return true;
    }
    // Read-only, and nothing without the credentials when they are set.
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      SendError(res, 405, "method not allowed: only GET and HEAD");
      return true;
    }
    if (!auth->Allows(req.header("authorization"))) {
      res.set_header("WWW-Authenticate", "Bearer, Basic realm=\"korvan-host\"");
      SendError(res, 401, "authorization missing or wrong");
      return true;
    }
    return false;
  }

  static MHD_Result Queue(MHD_Connection* connection, Exchange& exchange) {
    const HttpResponse& res = exchange.response;
    MHD_Response* response = MHD_create_response_from_buffer(
        res.body.size(), const_cast<char*>(res.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (!res.content_type.empty()) {
      MHD_add_response_header(response, "Content-Type", res.content_type.c_str());
    }
    for (const auto& [name, value] : res.headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    // The page runs its own scripts and styles only; nothing is sniffed or framed.
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned int>(res.status), response);
    MHD_destroy_response(response);
    exchange.queued = true;
    return queued;
  }

  static void Run(const ApiContext& context, HttpRequest& req, HttpResponse& res,
                  const std::atomic<bool>& cancel) {
    try {
      Route(context, req, res, cancel);
    } catch (const std::exception& e) {
      res = HttpResponse();
      SendError(res, 500, std::string("internal error: ") + e.what());
    }
    // On the thread that made the answer: a history query's on its own.
    CompressJson(req.header("accept-encoding"), res);
  }

  // The library's handler: called once the headers are in, then again for
  // any body (ignored) and after a resume.
  static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char*,
                           std::size_t* upload_data_size, void** request_state) {
    Server& server = *static_cast<Server*>(cls);
    if (*request_state != nullptr) {
      Exchange& exchange = *static_cast<Exchange*>(*request_state);
      *upload_data_size = 0;
      if (exchange.queued || !exchange.ready.load()) return MHD_YES;
      return Queue(connection, exchange);
    }
    server.deadline.HeadersDone(connection);
    auto* exchange = new Exchange();
    *request_state = exchange;  // freed by Completed
    HttpRequest req;
    req.method = method;
    req.path = url;
    req.params = Values(connection, MHD_GET_ARGUMENT_KIND);
    std::size_t line_size = req.path.size();
    for (const auto& [key, value] : req.params) line_size += key.size() + value.size() + 2;
    for (const auto& [key, value] : Values(connection, MHD_HEADER_KIND)) {
      req.headers.emplace(LowerName(key), value);
    }
    if (server.Refuse(req, line_size, exchange->response)) return Queue(connection, *exchange);
    if (!IsHeavyPath(req.path)) {
      static const std::atomic<bool> kNever{false};
      Run(server.context, req, exchange->response, kNever);
      return Queue(connection, *exchange);
    }
    // A store query: on a thread of the gate, the connection suspended until
    // its answer is ready. Suspended first, so that the resume comes after.
    MHD_suspend_connection(connection);
    const ApiContext& context = server.context;
    const bool started = server.queries.TryRun(
        [exchange, &context, req](const std::atomic<bool>& cancel) mutable {
          Run(context, req, exchange->response, cancel);
        },
        [connection, exchange] {
          exchange->ready.store(true);
          MHD_resume_connection(connection);
        });
    if (!started) {
      exchange->response.set_header("Retry-After", "1");
      SendError(exchange->response, 503, "busy: too many history or alarm queries at once");
      exchange->ready.store(true);
      MHD_resume_connection(connection);
    }
    return MHD_YES;
  }

  static void Completed(void* cls, MHD_Connection* connection, void** request_state,
                        MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*request_state);
    *request_state = nullptr;
    static_cast<Server*>(cls)->deadline.Answered(connection);
  }

  static void Notify(void* cls, MHD_Connection* connection, void**,
                     MHD_ConnectionNotificationCode code) {
    HeaderDeadline& deadline = static_cast<Server*>(cls)->deadline;
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) return deadline.Closed(connection);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) deadline.Opened(connection, info->connect_fd);
  }
};

HttpOutput::HttpOutput() = default;

HttpOutput::~HttpOutput() {
  Stop();
}

bool HttpOutput::Start(const HttpOptions& options, runtime::Runtime& host, std::string& error) {
  // The settings as check refuses them; then read again for use.
  error = CheckHttpSettings(options.listen, options.auth_file);
  if (!error.empty()) return false;
  serving::ListenAddress address;
  if (!serving::ParseListen(options.listen, address, error)) return false;
  auto auth = std::make_shared<HttpAuth>();
  if (!options.auth_file.empty() && !auth->Load(options.auth_file, error)) return false;
  int port = 0;
  const int fd = serving::OpenListenSocket(address, port, error);
  if (fd < 0) return false;

  auto state = std::make_shared<serving::LatestState>();
  // The devices and the alarms active at start (restored ones too).
  for (const std::unique_ptr<runtime::PowerSystem>& system : host.Systems()) {
    state->Seed(system->Summarize("http"));
  }
  host.Events().Subscribe("http", state);

  auto server = std::make_unique<Server>();
  server->context = ApiContext{&host, state, options.db_path, options.site};
  server->auth = auth;
  server->bound_host = address.host;
  server->check_host = serving::IsLoopback(address.host);
  Server* self = server.get();
  server->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
      nullptr, &Server::Answer, self, MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_CONNECTION_LIMIT,
      kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_NOTIFY_COMPLETED, &Server::Completed,
      self, MHD_OPTION_NOTIFY_CONNECTION, &Server::Notify, self, MHD_OPTION_END);
  if (server->daemon == nullptr) {
    close(fd);
    error = "HTTP server cannot start on " + options.listen;
    return false;
  }
  server_ = std::move(server);
  host.Events().Note("", "HTTP server listening on " + address.Url(port));
  return true;
}

void HttpOutput::Stop() {
  if (!server_) return;
  // The queries first: each resumes its connection as it ends, and the
  // library must have none suspended when it stops. Then every connection
  // closes at once, however slow its client.
  server_->queries.CancelAndJoin();
  MHD_stop_daemon(server_->daemon);
  server_.reset();
}

}  // namespace http_output
