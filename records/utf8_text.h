#pragma once

#include <string>
#include <string_view>

// Text that leaves the program (JSON lines, console text) or enters the
// store's text columns must be valid UTF-8, whatever bytes a device sent.
namespace utf8_text {

// `text` with every ill-formed sequence replaced by U+FFFD, one replacement
// per maximal ill-formed subpart (as the Unicode standard recommends): a lone
// continuation byte, a sequence cut short, an overlong form, a surrogate or a
// code point above U+10FFFF. Valid text comes back unchanged.
std::string ValidUtf8(std::string_view text);
// ValidUtf8(text) safe for a terminal or the journal, where a device's text
// could start a line of its own (a newline followed by "<0>") or send escape
// sequences: C0 and C1 control characters and DEL written as \n, \r, \t,
// \xNN and \u00NN. For text lines only; the store and JSON keep the text.
std::string Printable(std::string_view text);
// Whether ValidUtf8 would return `text` unchanged; allocates nothing.
bool IsValidUtf8(std::string_view text);

}  // namespace utf8_text
