#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "nut/nut_users.h"
#include "nut/ups_view.h"

namespace nut {

// Where the protocol reads its UPSes from.
class UpsSource {
 public:
  virtual ~UpsSource() = default;
  // Every UPS name, in the order LIST UPS gives them.
  virtual std::vector<std::string> Names() const = 0;
  // One UPS as it is now, with FSD when `forced_shutdown`; empty for an
  // unknown name.
  virtual std::optional<UpsView> Find(const std::string& name, bool forced_shutdown) const = 0;
};

// What every connection of one server shares: the users, the UPSes, the
// forced-shutdown flags and who is logged in. Used by one thread.
struct ServerShared {
  const UpsSource* source = nullptr;
  const NutUsers* users = nullptr;  // null: nobody may log in
  std::string version_text;         // VER's answer
  std::set<std::string> forced_shutdown;
  // Logins by UPS: the connection's number and its peer's address.
  std::map<std::string, std::map<std::uint64_t, std::string>> logins;
};

// One client connection's side of the protocol: takes request lines and
// gives the reply lines, each ended by "\n".
class Session {
 public:
  // `peer`: the client's address as LIST CLIENT shows it; `loopback`: it
  // connected from this machine, and may read without credentials.
  Session(ServerShared& shared, std::uint64_t id, std::string peer, bool loopback);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The reply to one line (without its newline).
  std::string Handle(const std::string& line);
  // The client said LOGOUT: close once the reply is sent.
  bool Closing() const { return closing_; }

 private:
  std::string Dispatch(const std::vector<std::string>& words);
  std::string List(const std::vector<std::string>& words);
  std::string Get(const std::vector<std::string>& words);
  // The user of the USERNAME and PASSWORD given; null when none or wrong.
  const NutUser* User() const;
  // "" when the client may read the UPSes' values, else the error line.
  std::string ReadDenied() const;
  // The UPS, or the error line in `error`.
  std::optional<UpsView> Ups(const std::string& name, std::string& error) const;
  void Logout();

  ServerShared& shared_;
  std::uint64_t id_;
  std::string peer_;
  bool loopback_;
  std::optional<std::string> username_, password_;
  std::string logged_in_;  // the UPS of LOGIN; empty: none
  bool closing_ = false;
};

}  // namespace nut
