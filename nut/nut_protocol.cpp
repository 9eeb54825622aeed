#include "nut/nut_protocol.h"

#include <cctype>
#include <set>

#include "nut/nut_line.h"
#include "records/vocabulary.h"

namespace nut {

namespace {

const char kHelp[] =
    "Commands: HELP VER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD STARTTLS";

std::string Line(const std::string& text) {
  return text + "\n";
}
std::string Error(const char* name) {
  return Line(std::string("ERR ") + name);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// What GET DESC says of a variable of this server's own.
std::string OwnDescription(const std::string& variable) {
  static const std::map<std::string, std::string> kOwn{
      {"device.mfr", "Device manufacturer"},
      {"device.type", "Device type: ups for a plant with DC units and batteries, else pdu"},
      {"driver.name", "Program that reads the device"},
      {"driver.version", "Version of the program that reads the device"},
      {"ups.status",
       "Status: OL on line, OB on battery, DISCHRG, CHRG, LB low battery, ALARM, FSD"},
      {"ups.alarm", "Active alarms, separated by semicolons"},
      {"battery.voltage.low", "Battery voltage under which the status says LB (V)"},
  };
  const auto found = kOwn.find(variable);
  return found == kOwn.end() ? "" : found->second;
}

std::string Description(const std::string& variable) {
  std::string own = OwnDescription(variable);
  if (!own.empty()) return own;
  int unit = 0, item = 0;
  const vocabulary::Variable* found = vocabulary::VariableOf(variable, &unit, &item);
  if (found == nullptr) return "Description unavailable";
  std::string meaning = found->meaning;
  const std::size_t at = meaning.find("{n}");
  if (at != std::string::npos) meaning.replace(at, 3, std::to_string(item));
  if (!found->unit.empty()) meaning += " (" + found->unit + ")";
  return meaning;
}

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  std::size_t digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      ++digits;
    } else if (!(c == '-' && i == 0) && c != '.' && c != 'e' && c != 'E' && c != '+') {
      return false;
    }
  }
  return digits > 0;
}

}  // namespace

Session::Session(ServerShared& shared, std::uint64_t id, std::string peer, bool loopback)
    : shared_(shared), id_(id), peer_(std::move(peer)), loopback_(loopback) {}

Session::~Session() {
  Logout();
}

void Session::Logout() {
  if (logged_in_.empty()) return;
  auto found = shared_.logins.find(logged_in_);
  if (found != shared_.logins.end()) {
    found->second.erase(id_);
    if (found->second.empty()) shared_.logins.erase(found);
  }
  logged_in_.clear();
}

const NutUser* Session::User() const {
  if (!username_ || !password_ || shared_.users == nullptr) return nullptr;
  return shared_.users->Check(*username_, *password_);
}

std::string Session::ReadDenied() const {
  return loopback_ || User() != nullptr ? "" : Error("ACCESS-DENIED");
}

std::optional<UpsView> Session::Ups(const std::string& name, std::string& error) const {
  std::optional<UpsView> view =
      shared_.source->Find(name, shared_.forced_shutdown.count(name) != 0);
  if (!view) error = Error("UNKNOWN-UPS");
  return view;
}

std::string Session::Handle(const std::string& line) {
  std::vector<std::string> words;
  std::string why;
  if (!SplitWords(line, words, why)) {
    return why == "line too long" ? Error("TOO-LONG") : Error("INVALID-ARGUMENT");
  }
  if (words.empty()) return Error("UNKNOWN-COMMAND");
  return Dispatch(words);
}

std::string Session::Dispatch(const std::vector<std::string>& words) {
  const std::string command = Upper(words[0]);
  const std::size_t n = words.size();
  std::string error;
  if (command == "VER" && n == 1) return Line(shared_.version_text);
  if (command == "NETVER" && n == 1) return Line("1.3");
  if (command == "HELP" && n == 1) return Line(kHelp);
  if (command == "STARTTLS" && n == 1) return Error("FEATURE-NOT-CONFIGURED");
  if (command == "LIST" && n >= 2) return List(words);
  if (command == "GET" && n >= 2) return Get(words);
  if (command == "USERNAME" && n == 2) {
    if (username_) return Error("ALREADY-SET-USERNAME");
    username_ = words[1];
    return Line("OK");
  }
  if (command == "PASSWORD" && n == 2) {
    if (password_) return Error("ALREADY-SET-PASSWORD");
    password_ = words[1];
    return Line("OK");
  }
  if (command == "LOGOUT" && n == 1) {
    Logout();
    closing_ = true;
    return Line("OK Goodbye");
  }
  if (command == "LOGIN" && n == 2) {
    if (!logged_in_.empty()) return Error("ALREADY-LOGGED-IN");
    if (!username_) return Error("USERNAME-REQUIRED");
    if (!password_) return Error("PASSWORD-REQUIRED");
    if (User() == nullptr) return Error("ACCESS-DENIED");
    if (!Ups(words[1], error)) return error;
    logged_in_ = words[1];
    shared_.logins[logged_in_][id_] = peer_;
    return Line("OK");
  }
  if ((command == "PRIMARY" || command == "MASTER") && n == 2) {
    const NutUser* user = User();
    if (user == nullptr || user->upsmon != "primary") return Error("ACCESS-DENIED");
    if (!Ups(words[1], error)) return error;
    return Line("OK " + command + "-GRANTED");
  }
  if (command == "FSD" && n == 2) {
    const NutUser* user = User();
    if (user == nullptr || (user->upsmon != "primary" && user->actions.count("FSD") == 0)) {
      return Error("ACCESS-DENIED");
    }
    if (!Ups(words[1], error)) return error;
    shared_.forced_shutdown.insert(words[1]);
    return Line("OK FSD-SET");
  }
  if (command == "SET" && n >= 2) {
    if (Upper(words[1]) != "VAR" || n != 5) return Error("INVALID-ARGUMENT");
    const NutUser* user = User();
    if (user == nullptr || user->actions.count("SET") == 0) return Error("ACCESS-DENIED");
    const std::optional<UpsView> view = Ups(words[2], error);
    if (!view) return error;
    if (view->Find(words[3]) == nullptr) return Error("VAR-NOT-SUPPORTED");
    return Error("READONLY");
  }
  if (command == "INSTCMD" && (n == 3 || n == 4)) {
    const NutUser* user = User();
    if (user == nullptr ||
        (user->instcmds.count("ALL") == 0 && user->instcmds.count(words[2]) == 0)) {
      return Error("ACCESS-DENIED");
    }
    if (!Ups(words[1], error)) return error;
    // No command is carried out: this server only reads the plant.
    return Error("CMD-NOT-SUPPORTED");
  }
  // A command named above, with the wrong number of words.
  static const std::set<std::string> kCommands{
      "VER",      "NETVER", "HELP",  "STARTTLS", "LIST",   "GET", "USERNAME",
      "PASSWORD", "LOGOUT", "LOGIN", "PRIMARY",  "MASTER", "FSD", "INSTCMD"};
  return kCommands.count(command) != 0 ? Error("INVALID-ARGUMENT") : Error("UNKNOWN-COMMAND");
}

std::string Session::List(const std::vector<std::string>& words) {
  const std::string what = Upper(words[1]);
  const std::size_t n = words.size();
  std::string denied = ReadDenied();
  if (!denied.empty()) return denied;
  std::string error;
  if (what == "UPS" && n == 2) {
    std::string out = Line("BEGIN LIST UPS");
    // The description comes from the name alone: no system's values are read.
    for (const std::string& name : shared_.source->Names()) {
      out += Line("UPS " + name + " " + Quoted(UpsDescription(name)));
    }
    return out + Line("END LIST UPS");
  }
  if ((what == "VAR" || what == "RW" || what == "CMD" || what == "CLIENT") && n == 3) {
    const std::optional<UpsView> view = Ups(words[2], error);
    if (!view) return error;
    const std::string tail = what + " " + view->name;
    std::string out = Line("BEGIN LIST " + tail);
    if (what == "VAR") {
      if (view->stale) return Error("DATA-STALE");
      for (const auto& var : view->variables) {
        out += Line("VAR " + view->name + " " + var.first + " " + Quoted(var.second));
      }
    } else if (what == "CLIENT") {
      const auto found = shared_.logins.find(view->name);
      if (found != shared_.logins.end()) {
        for (const auto& login : found->second) {
          out += Line("CLIENT " + view->name + " " + login.second);
        }
      }
    }
    return out + Line("END LIST " + tail);
  }
  if ((what == "ENUM" || what == "RANGE") && n == 4) {
    const std::optional<UpsView> view = Ups(words[2], error);
    if (!view) return error;
    if (view->Find(words[3]) == nullptr) return Error("VAR-NOT-SUPPORTED");
    // No variable is writable: none has values to choose from.
    const std::string tail = what + " " + view->name + " " + words[3];
    return Line("BEGIN LIST " + tail) + Line("END LIST " + tail);
  }
  return Error("INVALID-ARGUMENT");
}

std::string Session::Get(const std::vector<std::string>& words) {
  const std::string what = Upper(words[1]);
  const std::size_t n = words.size();
  std::string denied = ReadDenied();
  if (!denied.empty()) return denied;
  std::string error;
  if ((what == "UPSDESC" || what == "NUMLOGINS") && n == 3) {
    const std::optional<UpsView> view = Ups(words[2], error);
    if (!view) return error;
    if (what == "UPSDESC") return Line("UPSDESC " + view->name + " " + Quoted(view->description));
    const auto found = shared_.logins.find(view->name);
    const std::size_t count = found == shared_.logins.end() ? 0 : found->second.size();
    return Line("NUMLOGINS " + view->name + " " + std::to_string(count));
  }
  if ((what == "VAR" || what == "TYPE" || what == "DESC") && n == 4) {
    const std::optional<UpsView> view = Ups(words[2], error);
    if (!view) return error;
    const std::string& name = words[3];
    if (view->stale && what == "VAR") return Error("DATA-STALE");
    const std::string* value = view->Find(name);
    if (value == nullptr) return Error("VAR-NOT-SUPPORTED");
    const std::string head = what + " " + view->name + " " + name + " ";
    if (what == "VAR") return Line(head + Quoted(*value));
    if (what == "DESC") return Line(head + Quoted(Description(name)));
    return Line(head + (IsNumber(*value)
                            ? "NUMBER"
                            : "STRING:" + std::to_string(std::max<std::size_t>(value->size(), 1))));
  }
  if (what == "CMDDESC" && n == 4) {
    if (!Ups(words[2], error)) return error;
    return Error("CMD-NOT-SUPPORTED");
  }
  return Error("INVALID-ARGUMENT");
}

}  // namespace nut
