#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace http_output {

// A request as the routes see it, apart from the server library.
struct HttpRequest {
  std::string method;
  std::string path;                            // decoded, without the query
  std::map<std::string, std::string> params;   // the first value of each query parameter
  std::map<std::string, std::string> headers;  // names in lower case
  std::vector<std::string> matches;            // the path's variable parts, set by the router

  bool has_param(const std::string& name) const { return params.count(name) != 0; }
  // The parameter's value; empty when absent.
  std::string param(const std::string& name) const {
    const auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
  }
  std::string header(const std::string& lower_name) const {
    const auto found = headers.find(lower_name);
    return found == headers.end() ? std::string() : found->second;
  }
};

// The answer to send.
struct HttpResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type

  void set_header(const std::string& name, const std::string& value) {
    headers.emplace_back(name, value);
  }
};

}  // namespace http_output
