#include "tools/cli/get_command.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <tuple>

#include "http/http_auth.h"
#include "serving/listen_address.h"
#include "records/json_text.h"
#include "records/vocabulary.h"
#include "runtime/exit_codes.h"
#include "runtime/system_config.h"
#include "tools/cli/http_get.h"
#include "tools/cli/polling_options.h"
#include "tools/cli/query_options.h"

namespace cli {

namespace {

namespace codes = runtime::exit_codes;

// A path segment with every byte but the unreserved ones percent-encoded.
std::string PathSegment(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The server's address and the Authorization header, from --url or the
// configuration file; 0, or the exit code with the reason printed.
int FindServer(const GetOptions& options, HttpTarget& target, std::string& authorization,
               std::ostream& err) {
  std::string auth_file = options.auth_file;
  if (!options.url.empty()) {
    std::string error;
    if (!ParseHttpUrl(options.url, target, error)) {
      err << "korvan-host: get: --url: " << error << "\n";
      return kBadValue;
    }
  } else {
    const runtime::LoadedConfig loaded = runtime::LoadConfigFiles({options.config_file});
    const PollingOptions settings = WithFileSettings(PollingOptions{}, loaded.settings);
    if (settings.http_listen.empty()) {
      err << "korvan-host: get: " << options.config_file
          << " gives no \"http\": {\"listen\"}: the instance serves no HTTP API by it (give "
             "--url)\n";
      for (const runtime::ConfigProblem& problem : loaded.problems) {
        if (problem.system.empty()) err << "korvan-host: get: " << problem.Message() << "\n";
      }
      return codes::kConfigRefused;
    }
    serving::ListenAddress listen;
    std::string error;
    if (!serving::ParseListen(settings.http_listen, listen, error)) {
      err << "korvan-host: get: " << options.config_file << ": " << error << "\n";
      return codes::kConfigRefused;
    }
    if (listen.port == 0) {
      err << "korvan-host: get: " << options.config_file
          << " lets the server choose a free port: give --url with the port it named\n";
      return codes::kConfigRefused;
    }
    // A server on every address is reached on this machine's loopback.
    if (listen.host == "0.0.0.0") listen.host = "127.0.0.1";
    if (listen.host == "::") listen.host = "::1";
    target.host = listen.host;
    target.port = listen.port;
    if (auth_file.empty()) auth_file = settings.http_auth_file;
  }
  if (!auth_file.empty()) {
    http_output::HttpAuth auth;
    std::string error;
    if (!auth.Load(auth_file, error)) {
      err << "korvan-host: get: " << error << "\n";
      return codes::kConfigRefused;
    }
    authorization = auth.Authorization();
  }
  return codes::kOk;
}

// A value as the API wrote it, whole numbers (flags, states, counts)
// without a fraction; the text of one that JSON cannot hold ("NaN").
std::string ValueText(const Json::Value& value) {
  if (value.isString()) return value.asString();
  const double number = value.asDouble();
  if (std::floor(number) == number && std::fabs(number) < 1e15) {
    return std::to_string(static_cast<long long>(number));
  }
  return json_text::Line(value);
}

// The order of the vocabulary's table: row, unit, item; names this program
// does not know (a newer server's) after them, by name.
std::tuple<std::size_t, int, int> TablePlace(const std::string& name) {
  const std::vector<vocabulary::Variable>& table = vocabulary::Table();
  int unit = 0, item = 0;
  const vocabulary::Variable* variable = vocabulary::VariableOf(name, &unit, &item);
  if (variable == nullptr) return {table.size(), 0, 0};
  return {static_cast<std::size_t>(variable - table.data()), unit, item};
}

}  // namespace

CLI::App* AddGetCommand(CLI::App& app, GetOptions& options) {
  CLI::App* command = app.add_subcommand(
      "get", "print a running instance's current values of a system by name, from its HTTP API");
  command->fallthrough();
  command->add_option("SYSTEM", options.system, "the system's name")->required();
  command->add_option("NAME", options.names,
                      "names of values (korvan-host list prints them; default: every value)");
  CLI::Option* config =
      command->add_option("--config", options.config_file,
                          "the instance's configuration file: its \"http\": {\"listen\", "
                          "\"auth_file\"} tell where it serves and with which credentials");
  CLI::Option* url = command->add_option("--url", options.url,
                                         "the instance's HTTP API at http://HOST:PORT instead");
  config->excludes(url);
  command->add_option("--http-auth-file", options.auth_file,
                      "file of the server's credentials (a bearer token, or user:password lines: "
                      "the first is sent); default: the configuration's \"auth_file\"");
  command->footer(
      "Prints NAME: VALUE lines, every value in the order of korvan-host list without NAME, the "
      "NAMEs asked in their order with several, and the bare value with one. Values are those of "
      "GET /api/systems/SYSTEM/values: the newest record of each device, with standard names "
      "(output.voltage, battery.current, ...) from the first units. A server listening on "
      "0.0.0.0 or :: is asked on the loopback address. Connecting may take 5 s, the answer 15 s, "
      "and it may hold 4 MiB.\n"
      "Exit codes: 0 printed; 9 the configuration file gives no usable HTTP address or the auth "
      "file cannot be read; 14 the server cannot be reached, does not answer in time, refuses "
      "the credentials or does not answer as korvan-host's API; 15 the server runs no system "
      "of that name; 16 the system has no value of a NAME (a unit, item or device it does not "
      "have, or no record yet; the values it has are printed); 17 the values are printed but "
      "the system's communication is lost or its newest record is stale (said on standard "
      "error); 105 a NAME that names no value, a bad --url; 106 neither --config nor --url.");
  return command;
}

int RunGet(const GetOptions& options, std::ostream& out, std::ostream& err) {
  for (const std::string& name : options.names) {
    if (vocabulary::VariableOf(name) == nullptr) {
      err << "korvan-host: get: unknown name \"" << name
          << "\": it names no value (korvan-host list prints the names)\n";
      return kBadValue;
    }
  }
  if (options.config_file.empty() && options.url.empty()) {
    err << "korvan-host: get: give the instance's --config FILE or --url http://HOST:PORT\n";
    return static_cast<int>(CLI::ExitCodes::RequiredError);
  }
  HttpTarget target;
  std::string authorization;
  if (const int code = FindServer(options, target, authorization, err)) return code;

  HttpGetAnswer answer;
  std::string error;
  const std::string path = "/api/systems/" + PathSegment(options.system) + "/values";
  if (!HttpGet(target, path, authorization, HttpGetLimits{}, answer, error)) {
    err << "korvan-host: get: " << error << "\n";
    return codes::kUnreachable;
  }
  const std::string where = "http://" + target.HostHeader() + path;
  Json::Value body;
  const bool json = json_text::Parse(answer.body, false, body, error) && body.isObject();
  const std::string server_error =
      json && body["error"].isString() ? body["error"].asString() : std::string();
  if (answer.status == 404 && server_error.rfind("no system named ", 0) == 0) {
    err << "korvan-host: get: the instance at http://" << target.HostHeader()
        << "/ runs no system named \"" << options.system << "\"\n";
    return codes::kNoSystem;
  }
  if (answer.status == 401) {
    err << "korvan-host: get: " << where << " refused "
        << (authorization.empty() ? "a request without credentials (give --http-auth-file)"
                                  : "the credentials of the auth file")
        << "\n";
    return codes::kUnreachable;
  }
  if (answer.status != 200 || !json || !body["values"].isObject()) {
    err << "korvan-host: get: " << where << " answered " << answer.status
        << (server_error.empty() ? std::string(" and not the values of a system")
                                 : ": " + server_error)
        << "\n";
    return codes::kUnreachable;
  }

  const Json::Value& values = body["values"];
  int code = codes::kOk;
  if (options.names.empty()) {
    std::vector<std::pair<std::tuple<std::size_t, int, int>, std::string>> names;
    for (const std::string& name : values.getMemberNames())
      names.push_back({TablePlace(name), name});
    std::sort(names.begin(), names.end());
    for (const auto& [place, name] : names) out << name << ": " << ValueText(values[name]) << "\n";
  } else {
    for (const std::string& name : options.names) {
      if (!values.isMember(name)) {
        err << "korvan-host: get: system \"" << options.system << "\" has no value " << name
            << "\n";
        code = codes::kNoValue;
        continue;
      }
      if (options.names.size() == 1) {
        out << ValueText(values[name]) << "\n";
      } else {
        out << name << ": " << ValueText(values[name]) << "\n";
      }
    }
  }
  if (code == codes::kOk && body["stale"].asBool()) {
    const Json::Value& age = body["age_seconds"];
    err << "korvan-host: get: system \"" << options.system << "\": ";
    if (body["communication"].asString() == "lost") {
      err << "communication lost";
    } else {
      err << "stale";
    }
    if (age.isNumeric()) {
      err << ": the newest record is " << static_cast<long long>(std::floor(age.asDouble()))
          << " s old\n";
    } else {
      err << ": no record received yet\n";
    }
    code = codes::kStale;
  }
  return code;
}

}  // namespace cli
