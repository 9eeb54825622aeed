#include "http/http_settings.h"

#include "http/http_auth.h"
#include "serving/listen_address.h"

namespace http_output {

std::string CheckHttpSettings(const std::string& listen, const std::string& auth_file) {
  serving::ListenAddress address;
  std::string error;
  if (!serving::ParseListen(listen, address, error)) return error;
  HttpAuth auth;
  if (!auth_file.empty() && !auth.Load(auth_file, error)) return error;
  if (!serving::IsLoopback(address.host) && !auth.Required()) {
    return "HTTP listen address " + address.host +
           " is not a loopback address: it needs an auth file (\"auth_file\" of the \"http\" "
           "key, or --http-auth-file)";
  }
  return "";
}

}  // namespace http_output
