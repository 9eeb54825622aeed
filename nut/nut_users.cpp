#include "nut/nut_users.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "nut/nut_line.h"
#include "runtime/bounded_read.h"
#include "serving/same_text.h"

namespace nut {

namespace {

// A users file larger than this is refused: it is a handful of lines.
constexpr std::size_t kMaxUsersFileBytes = 1 << 20;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool NutUsers::Load(const std::string& path, std::string& error) {
  std::string text;
  if (!runtime::ReadFileBounded(path, kMaxUsersFileBytes, text, error, true) ||
      !Parse(text, error)) {
    error = "NUT users file " + path + ": " + error;
    return false;
  }
  return true;
}

bool NutUsers::Parse(const std::string& text, std::string& error) {
  users_.clear();
  std::map<std::string, NutUser> users;
  NutUser* user = nullptr;
  std::size_t number = 0, start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    // A '#' outside quotes begins a comment.
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\') {
        ++i;
      } else if (line[i] == '"') {
        quoted = !quoted;
      } else if (line[i] == '#' && !quoted) {
        line.resize(i);
        break;
      }
    }
    std::vector<std::string> words;
    std::string why;
    if (!SplitWords(line, words, why)) {
      error = where + why;
      return false;
    }
    if (words.empty()) continue;
    if (words.size() == 1 && words[0].size() > 2 && words[0].front() == '[' &&
        words[0].back() == ']') {
      const std::string name = words[0].substr(1, words[0].size() - 2);
      if (users.count(name) != 0) {
        error = where + "user " + name + " given twice";
        return false;
      }
      user = &users[name];
      continue;
    }
    // "key = value ...", "key=value", or "upsmon ROLE".
    std::string key = words[0];
    std::vector<std::string> values(words.begin() + 1, words.end());
    const std::size_t equals = key.find('=');
    if (equals != std::string::npos) {
      if (equals + 1 < key.size()) values.insert(values.begin(), key.substr(equals + 1));
      key.resize(equals);
    } else if (!values.empty() && values[0] == "=") {
      values.erase(values.begin());
    } else if (!values.empty() && values[0].front() == '=') {
      values[0].erase(0, 1);
    }
    key = Upper(key);
    if (user == nullptr) {
      error = where + "\"" + words[0] + "\" before the first [user]";
      return false;
    }
    if (key == "PASSWORD" && values.size() == 1) {
      user->password = values[0];
    } else if (key == "UPSMON" && values.size() == 1) {
      const std::string role = Upper(values[0]);
      if (role == "PRIMARY" || role == "MASTER") {
        user->upsmon = "primary";
      } else if (role == "SECONDARY" || role == "SLAVE") {
        user->upsmon = "secondary";
      } else {
        error = where + "upsmon takes primary or secondary, not " + values[0];
        return false;
      }
    } else if (key == "ACTIONS" && !values.empty()) {
      for (const std::string& action : values) user->actions.insert(Upper(action));
    } else if (key == "INSTCMDS" && !values.empty()) {
      for (const std::string& command : values) user->instcmds.insert(command);
    } else {
      error = where + "expected password, upsmon, actions or instcmds, not \"" + line + "\"";
      return false;
    }
  }
  for (const auto& entry : users) {
    if (entry.second.password.empty()) {
      error = "user " + entry.first + " has no password";
      return false;
    }
  }
  if (users.empty()) {
    error = "no [user] in it";
    return false;
  }
  users_ = std::move(users);
  return true;
}

const NutUser* NutUsers::Check(const std::string& name, const std::string& password) const {
  const auto found = users_.find(name);
  if (found == users_.end()) {
    // As long as a comparison with a known user's password.
    serving::SameText(password, password);
    return nullptr;
  }
  return serving::SameText(found->second.password, password) ? &found->second : nullptr;
}

}  // namespace nut
