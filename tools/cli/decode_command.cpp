#include "tools/cli/decode_command.h"

#include <json/writer.h>

#include <optional>
#include <sstream>

#include "runtime/bounded_read.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/utf8_text.h"
#include "tools/replay/hex_text.h"

namespace cli {

namespace {

constexpr int kUndecodable = 1;  // the blob does not fit the layout of its type
constexpr int kBadInput = 2;     // bad hex, or the file cannot be read or is too large

std::string PrettyJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  builder["precision"] = 15;
  return utf8_text::ValidUtf8(Json::writeString(builder, value));
}

}  // namespace

CLI::App* AddDecodeCommand(CLI::App& app, DecodeOptions& options) {
  CLI::App* command =
      app.add_subcommand("decode", "print a record, history row or cache blob of a device as JSON");
  command->fallthrough();
  command->add_option("--type", options.type, "record type: 5209 AC, 5210 DC, 5211 rectifiers")
      ->required()
      ->check(CLI::IsMember({5209, 5210, 5211}));
  command->add_option("hex", options.hex,
                      "the blob as hex text; without it and without --file, hex text is read "
                      "from standard input");
  command->add_option("--file", options.file, "file holding the blob's bytes");
  command->add_flag("--pretty", options.pretty, "indent the JSON over several lines");
  command->footer(
      "Input is at most " + std::to_string(kMaxDecodeInput) +
      " bytes (file or hex text).\nExit codes: 0 decoded; 1 the blob's length does not fit the "
      "record type; 2 bad hex text, an unreadable file (also a directory) or input larger than "
      "that.");
  return command;
}

int RunDecode(const DecodeOptions& options, std::istream& in, std::ostream& out,
              std::ostream& err) {
  std::vector<unsigned char> blob;
  std::string text, problem;
  if (!options.file.empty()) {
    if (!runtime::ReadFileBounded(options.file, kMaxDecodeInput, text, problem)) {
      err << "korvan-host: decode: " << options.file << ": " << problem << "\n";
      return kBadInput;
    }
    blob.assign(text.begin(), text.end());
  } else {
    if (options.hex.empty() && !runtime::ReadStreamBounded(in, kMaxDecodeInput, text, problem)) {
      err << "korvan-host: decode: standard input: " << problem << "\n";
      return kBadInput;
    }
    for (const std::string& piece : options.hex) text += piece;
    if (text.size() > kMaxDecodeInput) {
      err << "korvan-host: decode: the hex text is larger than " << kMaxDecodeInput << " bytes\n";
      return kBadInput;
    }
    std::optional<std::vector<unsigned char>> decoded = hex_text::Decode(text);
    if (!decoded) {
      err << "korvan-host: decode: the blob is not hex text (digit pairs, blanks allowed "
             "between them)\n";
      return kBadInput;
    }
    blob = std::move(*decoded);
  }
  Json::Value record;
  std::string error;
  if (!records::Decode(options.type, blob.data(), blob.size(), record, error)) {
    err << "korvan-host: decode: " << error << "\n";
    return kUndecodable;
  }
  out << (options.pretty ? PrettyJson(record) : json_text::Line(record)) << "\n";
  return 0;
}

}  // namespace cli
