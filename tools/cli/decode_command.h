#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

// The most bytes decode reads, from its file or as hex text: far more than
// the largest record, and /dev/zero cannot make it read for ever.
constexpr std::size_t kMaxDecodeInput = 1024 * 1024;

struct DecodeOptions {
  int type = 0;
  std::vector<std::string> hex;  // the blob as hex text (several pieces are joined)
  std::string file;              // a file of the blob's bytes
  bool pretty = false;
};

CLI::App* AddDecodeCommand(CLI::App& app, DecodeOptions& options);

// Decodes the blob from the arguments, the file or `in` (hex text); the exit code.
int RunDecode(const DecodeOptions& options, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace cli
