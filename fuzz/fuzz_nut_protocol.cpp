// Fuzz target: the NUT server's request lines (nut/nut_line.h, the protocol
// session of nut/nut_protocol.h). Checked:
// - SplitWords takes a line exactly when it fits kMaxLineLength (after a
//   trailing "\r"); the words it gives, written back with Quoted and read
//   again, are the same words;
// - every reply of a session is one or more whole lines, each starting with
//   a reply word of the protocol, and the session never answers with values
//   to a client from another host that gave no valid credentials;
// - FSD is set only by a session that gave the primary's password;
// - sessions that end leave no login behind.
//
// Input: request lines separated by '\n', each run on a session from
// loopback and on one from another host.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "nut/nut_line.h"
#include "nut/nut_protocol.h"

namespace {

class Source : public nut::UpsSource {
 public:
  std::vector<std::string> Names() const override { return {"plant", "stale"}; }
  std::optional<nut::UpsView> Find(const std::string& name, bool fsd) const override {
    if (name != "plant" && name != "stale") return std::nullopt;
    nut::UpsView view;
    view.name = name;
    view.description = "a \"quoted\" \\ description";
    view.stale = name == "stale";
    view.variables = {{"ups.status", fsd ? "FSD OL" : "OL"}, {"battery.voltage", "53.5"}};
    return view;
  }
};

bool StartsWithReplyWord(const std::string& line) {
  static const char* const kWords[] = {
      "OK",        "ERR", "BEGIN", "END",  "VAR",   "UPS",    "TYPE", "DESC",      "UPSDESC",
      "NUMLOGINS", "RW",  "CMD",   "ENUM", "RANGE", "CLIENT", "1.3",  "Commands:", "korvan-host"};
  for (const char* word : kWords) {
    if (line.compare(0, std::char_traits<char>::length(word), word) == 0) return true;
  }
  return false;
}

void CheckReply(const std::string& reply, bool may_read) {
  FUZZ_CHECK(!reply.empty() && reply.back() == '\n', "a reply is whole lines");
  std::size_t start = 0;
  while (start < reply.size()) {
    const std::size_t end = reply.find('\n', start);
    const std::string line = reply.substr(start, end - start);
    FUZZ_CHECK(StartsWithReplyWord(line), "every line starts with a reply word");
    if (!may_read) {
      FUZZ_CHECK(line.compare(0, 4, "VAR ") != 0 && line.compare(0, 4, "UPS ") != 0,
                 "no values for an unauthenticated remote client");
    }
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= input.size()) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }

  for (const std::string& line : lines) {
    std::vector<std::string> words, again;
    std::string error;
    std::string bare = line;
    if (!bare.empty() && bare.back() == '\r') bare.pop_back();
    const bool taken = nut::SplitWords(line, words, error);
    if (bare.size() > nut::kMaxLineLength) FUZZ_CHECK(!taken, "an over-long line is refused");
    if (!taken) continue;
    FUZZ_CHECK(words.size() <= nut::kMaxWords, "at most kMaxWords words");
    std::string written;
    bool breaks = false;
    for (const std::string& word : words) {
      written += nut::Quoted(word) + " ";
      breaks |= word.find_first_of("\r\n") != std::string::npos;
    }
    if (breaks || written.size() > nut::kMaxLineLength) continue;
    FUZZ_CHECK(nut::SplitWords(written, again, error), "quoted words read back");
    FUZZ_CHECK(again == words, "quoted words read back unchanged");
  }

  Source source;
  nut::NutUsers users;
  std::string error;
  users.Parse("[admin]\n password = pw\n upsmon primary\n[mon]\n password = m\n", error);
  nut::ServerShared shared;
  shared.source = &source;
  shared.users = &users;
  shared.version_text = "korvan-host fuzz";
  {
    nut::Session local(shared, 1, "127.0.0.1", true);
    nut::Session remote(shared, 2, "192.0.2.1", false);
    for (const std::string& line : lines) {
      if (local.Closing() || remote.Closing()) break;
      CheckReply(local.Handle(line), true);
      // The remote client may read only with a user's credentials, which
      // an input without a user's name cannot hold.
      const bool may_read =
          input.find("mon") != std::string::npos || input.find("admin") != std::string::npos;
      CheckReply(remote.Handle(line), may_read);
    }
  }
  FUZZ_CHECK(shared.logins.empty(), "closed sessions leave no login");
  if (input.find("pw") == std::string::npos) {
    FUZZ_CHECK(shared.forced_shutdown.empty(), "FSD needs the primary's password");
  }
  return 0;
}
