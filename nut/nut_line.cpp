#include "nut/nut_line.h"

namespace nut {

bool SplitWords(const std::string& text, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::string line = text;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > kMaxLineLength) {
    error = "line too long";
    return false;
  }
  std::string word;
  bool in_word = false, quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\') {
      if (i + 1 == line.size()) {
        error = "backslash at the end of the line";
        return false;
      }
      word += line[++i];
      in_word = true;
    } else if (c == '"') {
      // A quote opens or closes a quoted part; "" is an empty word.
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) {
        if (words.size() == kMaxWords) {
          error = "too many words";
          return false;
        }
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) {
    error = "unclosed quote";
    return false;
  }
  if (in_word) {
    if (words.size() == kMaxWords) {
      error = "too many words";
      return false;
    }
    words.push_back(std::move(word));
  }
  return true;
}

std::string Quoted(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    // A reply is one line: a line break in a value would end it.
    out += c == '\n' || c == '\r' ? ' ' : c;
  }
  return out + "\"";
}

}  // namespace nut
