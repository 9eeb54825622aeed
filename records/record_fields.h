#pragma once

#include <json/value.h>

#include <string>
#include <vector>

// Single fields of decoded records, named by a path: member names and array
// positions (from 0) joined by dots, as `decode` prints them: "v",
// "m_value.2", "channels.0.a", "modules.1.output_current".
namespace records {

// True when `path` names a number or text that a record of some type has.
// Channels and modules are counted by one byte, so positions up to 254 are
// known whatever a stored record holds.
bool IsKnownField(const std::string& path);

// Every known field, one line per record type ("5210 (DC): data_id, dc_m,
// ..."), arrays as "m_value.0..2" and channels and modules as "channels.N.a".
std::string KnownFieldsText();

// The number or text at `path` in a decoded record; null when the record has
// none there (another record type, a channel beyond its count).
Json::Value FieldValue(const Json::Value& record, const std::string& path);

// The numbers and texts at the top level of a decoded record of `type`, in
// the order decode prints them, without data_id, type and length.
std::vector<std::string> TopLevelFields(int type);

// A number as JSON writes it, a text as it is, null as "".
std::string ScalarText(const Json::Value& value);

}  // namespace records
