#pragma once

#include <map>
#include <set>
#include <string>

namespace nut {

// What one user of the NUT server may do.
struct NutUser {
  std::string password;
  // "primary" or "secondary" ("master" and "slave" are read as these); empty:
  // the user may not log in as a upsmon.
  std::string upsmon;
  std::set<std::string> actions;   // upper case: "SET", "FSD"
  std::set<std::string> instcmds;  // as written; "ALL" for every one
};

// The users of a file in the form of upsd.users:
//   [name]
//     password = secret
//     upsmon primary        (or secondary; master and slave are old names)
//     actions = SET FSD
//     instcmds = ALL
// '#' begins a comment; values may be quoted as in the protocol.
class NutUsers {
 public:
  // Reads `path`; false with `error` set when it cannot be read or holds a
  // line of another form, a user without a password or no user at all.
  bool Load(const std::string& path, std::string& error);
  // The same from the file's text; `error` names the line.
  bool Parse(const std::string& text, std::string& error);

  bool Empty() const { return users_.empty(); }
  // The user whose name and password these are; null when there is none.
  // Passwords are compared in time that does not depend on where they differ.
  const NutUser* Check(const std::string& name, const std::string& password) const;

 private:
  std::map<std::string, NutUser> users_;
};

}  // namespace nut
