#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "http/latest_state.h"
#include "runtime/runtime.h"

namespace http_output {

// What the routes read: the systems (point reads through Summarize), the
// latest state kept from the event stream, and the store's file (opened
// read-only per request).
struct ApiContext {
  runtime::Runtime* host = nullptr;
  std::shared_ptr<LatestState> state;
  std::string db_path;
  std::string site;
};

// Adds the JSON API, /metrics and the dashboard's files to `server`.
void AddRoutes(httplib::Server& server, const ApiContext& context);

// Sets a JSON answer.
void SendJson(httplib::Response& res, int status, const Json::Value& value);
void SendError(httplib::Response& res, int status, const std::string& text);

}  // namespace http_output
