#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>

// Published records, history rows and cache blobs of the plug-in's devices as
// JSON: every field under its name in the record layout, floats as numbers,
// the 7-byte stamp as a time text, arrays as JSON arrays, channels and
// modules as lists of objects.
namespace records {

constexpr int kAcSnapshot = 5209;
constexpr int kDcRecord = 5210;
constexpr int kRectifierSnapshot = 5211;

// Decodes a record of `type`; false with `error` set when the type is unknown
// or the length does not fit the layout (the message gives both lengths).
bool Decode(int type, const unsigned char* data, std::size_t length, Json::Value& out,
            std::string& error);

// The host's 7-byte stamp (year u16 LE, month, day, hour, minute, second) as
// "YYYY-MM-DD HH:MM:SS", digits as stored even when they make no date.
std::string StampText(const unsigned char* stamp);

}  // namespace records
