#pragma once

#include <memory>
#include <string>

#include "runtime/runtime.h"
#include "serving/latest_state.h"

namespace http_output {

struct HttpOptions {
  std::string listen;     // "ADDR:PORT" or "PORT"
  std::string auth_file;  // empty: none (loopback addresses only)
  std::string db_path;    // the store's file, read per request
  std::string site;
};

// The runtime's HTTP server (libmicrohttpd): the JSON API, /metrics and the
// dashboard. One thread multiplexes every connection, so slow or idle
// clients hold memory within set bounds, never a thread; the store's queries
// run on threads of their own, a few at a time. Requests read the systems
// through their point read and everything else from the latest state that
// it keeps from the event stream, or from the store opened read-only.
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
  // Stops serving: cancels the queries in progress and closes every
  // connection, whatever its client does. Before the host's systems go.
  void Stop();

 private:
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace http_output
