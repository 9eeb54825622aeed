#pragma once

#include <string>
#include <vector>

// Small text helpers that the vocabulary and the outputs naming values by it share.
namespace text_parts {

// `text` cut at every `separator`: "a..b" gives "a", "", "b"; "" gives one empty part.
inline std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at = text.find(separator); at != std::string::npos;
       at = text.find(separator, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

// `text` with every `key` replaced by `value`, left to right, never rescanning a replacement.
inline std::string ReplaceAll(std::string text, const std::string& key, const std::string& value) {
  if (key.empty()) return text;
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
    text.replace(at, key.size(), value);
    at += value.size();
  }
  return text;
}

inline bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

inline bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace text_parts
