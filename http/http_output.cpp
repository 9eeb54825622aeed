#include "http/http_output.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "http/api_routes.h"
#include "http/http_auth.h"
#include "http/listen_address.h"

namespace http_output {

namespace {

// Requests are answered by this many threads; more connections wait. A
// browser keeps up to six connections open, and a scraper one more.
constexpr std::size_t kThreads = 8;
// Requests are GET or HEAD: a body is never needed.
constexpr std::size_t kMaxPayload = 64 * 1024;
constexpr time_t kTimeoutSeconds = 5;
// A connection is closed after this many requests or this long idle, so
// that a few clients cannot keep every thread.
constexpr std::size_t kKeepAliveRequests = 100;
constexpr time_t kKeepAliveSeconds = 2;

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "not found";
    case 413:
      return "request too large";
    case 414:
      return "request line too long";
    default:
      return "request failed";
  }
}

void Configure(httplib::Server& server, std::shared_ptr<const HttpAuth> auth) {
  server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server.set_payload_max_length(kMaxPayload);
  server.set_read_timeout(kTimeoutSeconds, 0);
  server.set_write_timeout(kTimeoutSeconds, 0);
  server.set_keep_alive_max_count(kKeepAliveRequests);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  // Small answers leave at once instead of waiting for an acknowledgement.
  server.set_tcp_nodelay(true);
  // The page runs its own scripts and styles only; nothing is sniffed or framed.
  server.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"X-Frame-Options", "DENY"}});
  // Read-only, and nothing without the credentials when they are set.
  server.set_pre_routing_handler([auth](const httplib::Request& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      SendError(res, 405, "method not allowed: only GET and HEAD");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!auth->Allows(req.get_header_value("Authorization"))) {
      res.set_header("WWW-Authenticate", "Bearer, Basic realm=\"korvan-host\"");
      SendError(res, 401, "authorization missing or wrong");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // The library's own answers (no route, a request too large) as JSON too.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        SendError(res, res.status, StatusText(res.status));
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr failure) {
        std::string what = "internal error";
        try {
          if (failure) std::rethrow_exception(failure);
        } catch (const std::exception& e) {
          what += std::string(": ") + e.what();
        } catch (...) {
        }
        SendError(res, 500, what);
      });
}

}  // namespace

HttpOutput::HttpOutput() = default;

HttpOutput::~HttpOutput() {
  Stop();
}

bool HttpOutput::Start(const HttpOptions& options, runtime::Runtime& host, std::string& error) {
  ListenAddress address;
  if (!ParseListen(options.listen, address, error)) return false;
  auto auth = std::make_shared<HttpAuth>();
  if (!options.auth_file.empty() && !auth->Load(options.auth_file, error)) return false;
  if (!IsLoopback(address.host) && !auth->Required()) {
    error = "HTTP listen address " + address.host +
            " is not a loopback address: it needs an auth file (\"auth_file\" of the \"http\" "
            "key, or --http-auth-file)";
    return false;
  }
  auto state = std::make_shared<LatestState>();
  // The devices and the alarms active at start (restored ones too).
  for (const std::unique_ptr<runtime::PowerSystem>& system : host.Systems()) {
    state->Seed(system->Summarize("http"));
  }
  host.Events().Subscribe("http", state);

  server_ = std::make_unique<httplib::Server>();
  Configure(*server_, auth);
  AddRoutes(*server_, ApiContext{&host, state, options.db_path, options.site});
  int port = address.port;
  errno = 0;
  const bool bound = port == 0 ? (port = server_->bind_to_any_port(address.host)) > 0
                               : server_->bind_to_port(address.host, port);
  if (!bound) {
    error = "HTTP server cannot listen on " + options.listen +
            (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    server_.reset();
    return false;
  }
  listening_done_.store(false);
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listening_done_.store(true);
  });
  host.Events().Note("", "HTTP server listening on " + address.Url(port));
  return true;
}

void HttpOutput::Stop() {
  if (!server_) return;
  // A stop before the thread began listening would be lost: repeated until
  // the listening ends.
  while (!listening_done_.load()) {
    if (server_->is_running()) server_->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace http_output
