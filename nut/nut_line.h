#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The words of one line of the NUT network protocol, and of a users file.
namespace nut {

// The longest request line a client may send, without its newline. The
// protocol's longest command (SET VAR with a quoted value) fits many times.
constexpr std::size_t kMaxLineLength = 1024;
// The most words one line may hold.
constexpr std::size_t kMaxWords = 16;

// Splits `line` into words: separated by spaces or tabs, a word in double
// quotes may hold spaces, and a backslash takes the next character as it is
// (\" and \\ inside or outside quotes). A trailing "\r" is dropped. False
// with `error` set for an unclosed quote, a backslash at the end, more than
// kMaxWords words or a line longer than kMaxLineLength.
bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error);

// `value` in double quotes, with '"' and '\' escaped by a backslash: how
// replies carry values and descriptions.
std::string Quoted(const std::string& value);

}  // namespace nut
