#include "records/utf8_text.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>

namespace utf8_text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence at `at`, or 0 when it is ill-formed;
// `bad` is then the length of its maximal ill-formed subpart (at least 1).
std::size_t SequenceAt(std::string_view text, std::size_t at, std::size_t& bad) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char lead = byte(0);
  bad = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // a continuation byte, C0, C1 or F5..FF
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (at + k >= text.size()) return 0;
    const unsigned char next = byte(k);
    const unsigned char min = k == 1 ? low : 0x80;
    const unsigned char max = k == 1 ? high : 0xBF;
    if (next < min || next > max) return 0;
    bad = k + 1;
  }
  return length;
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
  // Valid text, by far the usual, is copied as a whole.
  if (IsValidUtf8(text)) return std::string(text);
  std::string valid;
  valid.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t bad = 1;
    const std::size_t length = SequenceAt(text, at, bad);
    if (length != 0) {
      valid.append(text.substr(at, length));
      at += length;
    } else {
      valid.append(kReplacement);
      at += bad;
    }
  }
  return valid;
}

bool IsValidUtf8(std::string_view text) {
  // Every text written out (JSON lines and payloads, alarm texts) passes
  // here, so the usual text (ASCII, and two- or three-byte characters such
  // as CJK ones) takes a short way; the rest goes through SequenceAt.
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const auto continuation = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char lead = byte(at);
    const std::size_t left = text.size() - at;
    if (lead < 0x80) {
      std::uint64_t word = 0;
      if (left >= sizeof word) {
        std::memcpy(&word, text.data() + at, sizeof word);
        if ((word & 0x8080808080808080ULL) == 0) {
          at += sizeof word;
          continue;
        }
      }
      at += 1;
      continue;
    }
    // C2..DF, then one continuation byte.
    if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && continuation(at + 1)) {
      at += 2;
      continue;
    }
    // E1..EC and EE..EF take any two continuation bytes (E0 and ED do not).
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && left >= 3 && continuation(at + 1) &&
        continuation(at + 2)) {
      at += 3;
      continue;
    }
    std::size_t bad = 1;
    const std::size_t length = SequenceAt(text, at, bad);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string Printable(std::string_view text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto byte = static_cast<unsigned char>(valid[i]);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += fmt::format("\\x{:02X}", byte);
    } else if (byte == 0xC2 && i + 1 < valid.size() &&
               static_cast<unsigned char>(valid[i + 1]) < 0xA0) {
      // U+0080..U+009F (valid UTF-8 here, so the next byte is 0x80..0x9F).
      out += fmt::format("\\u00{:02X}", static_cast<unsigned char>(valid[++i]));
    } else {
      out += valid[i];
    }
  }
  return out;
}

}  // namespace utf8_text
