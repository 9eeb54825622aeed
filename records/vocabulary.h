#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

// The one vocabulary of this program: every value a power system reports, by
// a stable dotted name, its unit and its meaning in English, and where it
// comes from (record field, point name). Every output names values from it.
//
// Names are relative to a system. AC and DC units are numbered by their place
// in the system's configuration, from 1 ("ac.1.", "dc.2."); channels,
// batteries, fuses and rectifier modules from 1 as a person counts them. The
// rectifier group is one per system ("rectifier."). Network UPS Tools'
// standard names ("input.frequency", "output.voltage", "battery.current",
// ...) are the system's values of its first AC and DC unit.
namespace vocabulary {

enum class Scope {
  kAcUnit,           // ac.U.NAME
  kAcChannel,        // ac.U.channel.N.NAME
  kDcUnit,           // dc.U.NAME
  kDcNumbered,       // dc.U.battery.N..., dc.U.load.fuse.N..., dc.U.lvd.N...
  kRectifierGroup,   // rectifier.NAME
  kRectifierModule,  // rectifier.N.NAME
  kStandard,         // a Network UPS Tools name of the system
};

enum class Kind {
  kMeasure,  // a measured quantity in `unit`
  kSetting,  // a limit the plant is set to, in `unit`
  kFlag,     // 1 or 0
  kState,    // a state code as the plant reports it; `meaning` lists the codes
  kCount,    // how many items the plant announces
};

struct Variable {
  std::string name;  // "ac.{u}.channel.{n}.L1-N.voltage": {u} unit, {n} item, both from 1
  std::string unit;  // "V", "A", "Hz", "degC"; "" for flags, states and counts
  Kind kind;
  Scope scope;
  std::string meaning;  // English; {n} is the item's number
  int record_type;      // 5209, 5210, 5211; 0 for a standard name
  // Where the value is in the decoded record: a path whose "*" is the item's
  // position from 0 in an array ("channels.*.a", "m_value.*"), the position
  // being first + stride x (n - 1).
  std::string field;
  int first = 0;
  int stride = 1;
  int items = 0;  // the most items there can be; 0: as many as the record has
  // The field that counts the items the plant announced ("dc_m"), or "" for
  // lists of channels and modules, which hold just the announced ones.
  std::string count_field;
  int active_when = -1;         // kFlag: the field's value that makes it 1
  bool no_data_marker = false;  // -0.1 stands for "no value" (user-defined values)
  std::string point;            // the point read's name ("channel_{i}_a": {i} from 0), or ""
  // kState: the state each code stands for, by code ("normal", "too low",
  // ...); empty when the codes have no known meaning.
  std::vector<std::string> states;
  std::string standard_of;  // kStandard: the name it takes its value from, "sum:" a sum
};

// Every variable, in the order outputs list them.
const std::vector<Variable>& Table();

// One value of a system, by name.
struct NamedValue {
  std::string name;
  double value = 0;
  const Variable* variable = nullptr;
  int unit = 0;  // AC or DC unit number; 0 for the rectifier group and standard names
  int item = 0;  // channel, battery, fuse, stage or module number; 0 for none
};

// The values of one decoded record (as records::Decode gives it) of
// `record_type`, for the unit numbered `unit` (from 1; ignored for the
// rectifier group). Values the record does not hold (items beyond the
// announced count, a "no value" marker) are left out.
std::vector<NamedValue> ValuesOf(int record_type, int unit, const Json::Value& record);

// One value of a record read straight from its bytes, without a name: what
// compares values cycle by cycle. NameFor(*variable, unit, item) names it.
struct Reading {
  const Variable* variable = nullptr;
  int unit = 0;  // as NamedValue::unit
  int item = 0;  // as NamedValue::item
  double value = 0;
};

// The values of a packed record of `record_type` (as the plug-in publishes
// it), the same ones in the same order as ValuesOf gives for the record
// decoded, each the float the record holds. False, with `out` empty, for a
// record whose length does not fit its type.
bool ReadingsOf(int record_type, int unit, const unsigned char* data, std::size_t length,
                std::vector<Reading>& out);

// `readings` named: what ValuesOf gives for the same record decoded.
std::vector<NamedValue> Named(const std::vector<Reading>& readings);

// The value as outputs write it in JSON: measures and settings as floats in
// their shortest form (NaN and the infinities as texts), flags, states and
// counts as whole numbers.
Json::Value JsonValue(const NamedValue& value);

// The standard names that `values` (a system's values) allow.
std::vector<NamedValue> StandardValues(const std::vector<NamedValue>& values);

// `values` as one JSON object, NAME: number, as every output writes them: each
// value in the shortest form that reads back as the same single-precision
// float, NaN and the infinities as the texts "NaN", "Infinity", "-Infinity"
// (json_text::Float). A name given twice keeps its last value.
Json::Value ValuesJson(const std::vector<NamedValue>& values);

// The vocabulary name of `point` (a point read's name) of the unit numbered
// `unit` of `record_type`; "" for a name the point read does not serve.
std::string NameOfPoint(int record_type, int unit, const std::string& point);

// A name given by a person, resolved to a place in a record.
struct Resolved {
  const Variable* variable = nullptr;
  int unit = 0;      // 0 when the name gives none (a field path of the record)
  int item = 0;      // from 1; 0 for none
  std::string path;  // the decoded record's field, "channels.1.a"
};

// Resolves a field of a record: a vocabulary name ("dc.1.battery.2.current",
// "ac.1.channel.2.L1-N.voltage", "rectifier.3.current"), or a record path as
// earlier versions took it: dotted ("channels.0.a", "m_value.2") or with
// brackets ("channels[0].a"), positions from 0. False for a name that no
// record type has.
bool Resolve(const std::string& name, Resolved& out);

// The value `resolved` names in a decoded record: a number (flags as 0 or 1),
// a text (the stamp), or null where the record has none (another record type,
// an item beyond those announced, another unit when the caller checks units).
Json::Value ValueIn(const Resolved& resolved, const Json::Value& record);

// The variable whose value `name` names ("dc.1.battery.2.current",
// "output.voltage"), with its unit and item (0 for none) when asked; null for
// a name of no value (a record path is none).
const Variable* VariableOf(const std::string& name, int* unit = nullptr, int* item = nullptr);

// How many items of `variable` (channels, modules, batteries, ...) a decoded
// record holds: those numbered 1 to it. 0 for a record of another type or a
// variable that is no list.
int ItemsOf(const Variable& variable, const Json::Value& record);

// The name with {u} and {n} filled in.
std::string NameFor(const Variable& variable, int unit, int item);

// The table as text, one line per variable, tab-separated: name, unit ("-"
// for none), meaning, source (record type and field, positions from 0 as a
// formula of the item's number n; the point read's name; "= NAME" for a
// standard name).
std::string TableText();

}  // namespace vocabulary
