#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "records/vocabulary.h"

namespace records {

// A field of a history query: a vocabulary name or a record path, or a
// vocabulary name with "*" in place of an item's number ("rectifier.*.current"),
// which stands for every item the rows hold.
struct SeriesField {
  std::string text;           // as asked
  vocabulary::Resolved path;  // a wildcard's: of item 1
  bool wildcard = false;
};

// Reads `text` as a field; false with `error` set for a name that no record
// has, or a "*" that does not stand for an item's number of a vocabulary name.
bool ParseSeriesField(const std::string& text, SeriesField& out, std::string& error);

// The series names a wildcard stands for in a decoded record: the vocabulary
// names of the items it holds, in their order. Empty for a field that is none.
std::vector<std::string> ExpandedNames(const SeriesField& field, const Json::Value& record);

}  // namespace records
