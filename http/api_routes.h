#pragma once

#include <json/value.h>

#include <atomic>
#include <memory>
#include <string>

#include "http/http_exchange.h"
#include "runtime/runtime.h"
#include "serving/latest_state.h"

namespace http_output {

// What the routes read: the systems (point reads through Summarize), the
// latest state kept from the event stream, and the store's file (opened
// read-only per request).
struct ApiContext {
  runtime::Runtime* host = nullptr;
  std::shared_ptr<serving::LatestState> state;
  std::string db_path;
  std::string site;
};

// Answers `req` from the JSON API, /metrics or the dashboard's files (404
// for any other path). Sets `req.matches`. A history query stops with 503
// when `cancel` is set. May run on any thread.
void Route(const ApiContext& context, HttpRequest& req, HttpResponse& res,
           const std::atomic<bool>& cancel);
// Whether `path` is a query of the store (history, alarm events): those run
// off the server's thread, a few at a time.
bool IsHeavyPath(const std::string& path);

// Sets a JSON answer.
void SendJson(HttpResponse& res, int status, const Json::Value& value);
// Sets a JSON answer already written (one line ended by a newline).
void SendJsonText(HttpResponse& res, int status, std::string text);
void SendError(HttpResponse& res, int status, const std::string& text);

}  // namespace http_output
