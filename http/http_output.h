#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "http/latest_state.h"
#include "runtime/runtime.h"

namespace httplib {
class Server;
}

namespace http_output {

struct HttpOptions {
  std::string listen;     // "ADDR:PORT" or "PORT"
  std::string auth_file;  // empty: none (loopback addresses only)
  std::string db_path;    // the store's file, read per request
  std::string site;
};

// The runtime's HTTP server: the JSON API, /metrics and the dashboard, on a
// bounded pool of threads of its own. Requests read the systems through
// their point read and everything else from the latest state that it keeps
// from the event stream, or from the store opened read-only.
class HttpOutput {
 public:
  HttpOutput();
  ~HttpOutput();
  HttpOutput(const HttpOutput&) = delete;
  HttpOutput& operator=(const HttpOutput&) = delete;

  // Subscribes to `host`'s events, binds and starts serving; publishes the
  // note "HTTP server listening on http://ADDR:PORT/". After the host's
  // Prepare and Restore, before Run. False with `error` set when the address
  // is refused or taken, or the auth file cannot be read.
  bool Start(const HttpOptions& options, runtime::Runtime& host, std::string& error);
  // Stops serving and waits for the requests in progress. Before the host's
  // systems go.
  void Stop();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> listening_done_{true};
};

}  // namespace http_output
