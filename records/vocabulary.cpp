#include "records/vocabulary.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/record_fields.h"
#include "records/record_layout.h"
#include "records/text_parts.h"

namespace vocabulary {

namespace {

constexpr int kAc = records::kAcSnapshot;
constexpr int kDc = records::kDcRecord;
constexpr int kRc = records::kRectifierSnapshot;

constexpr const char* kAlarmCodes = "0 normal, 1 too low, 2 too high";
constexpr const char* kAcAlarmCodes = "0 normal, 1 too low, 2 too high, 3 phase missing";

// The rows. Stated once here; outputs, the man page and `list` read them.
std::vector<Variable> MakeTable() {
  using K = Kind;
  using S = Scope;
  std::vector<Variable> t;
  // A row; the items of a list are at first + stride x (n - 1), at most
  // `items` of them (0: any), as many as `count_field` announces.
  auto add = [&t](std::string name, std::string unit, Kind kind, Scope scope, std::string meaning,
                  int type, std::string field, int first = 0, int stride = 1, int items = 0,
                  std::string count_field = "", int active_when = -1) {
    Variable v;
    v.name = std::move(name);
    v.unit = std::move(unit);
    v.kind = kind;
    v.scope = scope;
    v.meaning = std::move(meaning);
    v.record_type = type;
    v.field = std::move(field);
    v.first = first;
    v.stride = stride;
    v.items = items;
    v.count_field = std::move(count_field);
    v.active_when = active_when;
    t.push_back(std::move(v));
  };
  // Standard names, from the first AC and DC unit.
  const struct {
    const char *name, *unit, *meaning, *source;
  } standard[] = {
      {"input.L1-N.voltage", "V", "input voltage of phase 1 (first AC unit, channel 1)",
       "ac.1.channel.1.L1-N.voltage"},
      {"input.L2-N.voltage", "V", "input voltage of phase 2 (first AC unit, channel 1)",
       "ac.1.channel.1.L2-N.voltage"},
      {"input.L3-N.voltage", "V", "input voltage of phase 3 (first AC unit, channel 1)",
       "ac.1.channel.1.L3-N.voltage"},
      {"input.voltage", "V",
       "input voltage: of phase 1 (first AC unit, channel 1), as a single-phase UPS gives it",
       "ac.1.channel.1.L1-N.voltage"},
      {"input.frequency", "Hz", "input frequency (first AC unit, channel 1)",
       "ac.1.channel.1.frequency"},
      {"input.L1.current", "A", "current of phase 1 (first AC unit)", "ac.1.L1.current"},
      {"input.L2.current", "A", "current of phase 2 (first AC unit)", "ac.1.L2.current"},
      {"input.L3.current", "A", "current of phase 3 (first AC unit)", "ac.1.L3.current"},
      {"output.voltage", "V", "DC output voltage (first DC unit)", "dc.1.output.voltage"},
      {"output.current", "A", "DC load current (first DC unit)", "dc.1.output.current"},
      {"battery.voltage", "V",
       "battery voltage: the DC bus voltage on which the batteries float (first DC unit)",
       "dc.1.output.voltage"},
      {"battery.current", "A",
       "sum of the battery currents, positive while charging (first DC unit)",
       "sum:dc.1.battery.{n}.current"},
  };
  for (const auto& row : standard) {
    add(row.name, row.unit, K::kMeasure, S::kStandard, row.meaning, 0, "");
    t.back().standard_of = row.source;
  }

  // AC distribution unit (record 5209).
  const char* phases[] = {"1", "2", "3"};
  const char* currents[] = {"ia", "ib", "ic"};
  for (int p = 0; p < 3; ++p) {
    const std::string name = std::string("ac.{u}.L") + phases[p] + ".current";
    add(name, "A", K::kMeasure, S::kAcUnit, std::string("current of phase ") + phases[p], kAc,
        currents[p]);
    t.back().point = currents[p];
    add(name + ".alarm", "", K::kState, S::kAcUnit,
        std::string("alarm state of the phase ") + phases[p] + " current: " + kAlarmCodes, kAc,
        std::string(currents[p]) + "_alert");
    t.back().states = {"normal", "too low", "too high"};
    t.back().point = t.back().field;
  }
  add("ac.{u}.switch.{n}.state", "", K::kState, S::kAcUnit,
      "user-defined switch state {n} as the unit reports it", kAc, "user_state.*", 0, 1, 4,
      "user_state_count");
  const char* legs[] = {"a", "b", "c"};
  for (int p = 0; p < 3; ++p) {
    const std::string name = std::string("ac.{u}.channel.{n}.L") + phases[p] + "-N.voltage";
    const std::string field = std::string("channels.*.") + legs[p];
    add(name, "V", K::kMeasure, S::kAcChannel,
        std::string("input voltage of phase ") + phases[p] +
            " of channel {n} (the line voltage on plants that measure between lines)",
        kAc, field);
    t.back().point = std::string("channel_{i}_") + legs[p];
    add(name + ".alarm", "", K::kState, S::kAcChannel,
        std::string("alarm state of the phase ") + phases[p] +
            " voltage of channel {n}: " + kAcAlarmCodes,
        kAc, field + "_alert");
    t.back().states = {"normal", "too low", "too high", "phase missing"};
  }
  add("ac.{u}.channel.{n}.frequency", "Hz", K::kMeasure, S::kAcChannel,
      "input frequency of channel {n}", kAc, "channels.*.f");
  t.back().point = "channel_{i}_f";
  add("ac.{u}.channel.{n}.frequency.alarm", "", K::kState, S::kAcChannel,
      "alarm state of the frequency of channel {n}: 0 normal, 1 too low, 2 too high", kAc,
      "channels.*.f_alert");
  t.back().states = {"normal", "too low", "too high"};

  // DC distribution unit (record 5210).
  add("dc.{u}.output.voltage", "V", K::kMeasure, S::kDcUnit, "DC output (bus) voltage", kDc, "v");
  t.back().point = "v";
  add("dc.{u}.output.current", "A", K::kMeasure, S::kDcUnit, "DC load current", kDc, "i");
  t.back().point = "i";
  add("dc.{u}.output.voltage.alarm", "", K::kState, S::kDcUnit,
      "alarm state of the DC output voltage: 0 normal, 1 too low, 2 too high", kDc, "dc_state");
  t.back().states = {"normal", "too low", "too high"};
  add("dc.{u}.battery.count", "", K::kCount, S::kDcUnit,
      "number of battery currents the unit reports", kDc, "dc_m");
  add("dc.{u}.battery.{n}.current", "A", K::kMeasure, S::kDcNumbered,
      "current of battery {n}, positive while charging, negative while discharging", kDc,
      "m_value.*", 0, 1, 3, "dc_m");
  add("dc.{u}.battery.{n}.voltage", "V", K::kMeasure, S::kDcNumbered,
      "voltage of battery {n} (user-defined value 2n-1)", kDc, "user_p.*", 0, 2, 3, "p_count");
  t.back().no_data_marker = true;
  add("dc.{u}.battery.{n}.temperature", "degC", K::kMeasure, S::kDcNumbered,
      "temperature of battery {n} (user-defined value 2n)", kDc, "user_p.*", 1, 2, 3, "p_count");
  t.back().no_data_marker = true;
  add("dc.{u}.battery.{n}.voltage.low.alarm", "", K::kFlag, S::kDcNumbered,
      "1 while battery {n}'s voltage is low", kDc, "alert_p.*", 3, 3, 3, "alert_p_count", 1);
  add("dc.{u}.battery.{n}.temperature.high.alarm", "", K::kFlag, S::kDcNumbered,
      "1 while battery {n}'s temperature is high", kDc, "alert_p.*", 4, 3, 3, "alert_p_count", 2);
  add("dc.{u}.battery.fuse.{n}.alarm", "", K::kFlag, S::kDcNumbered,
      "1 while battery fuse {n} has failed", kDc, "alert_m.*", 0, 1, 20, "alert_m_count", 3);
  add("dc.{u}.load.fuse.{n}.alarm", "", K::kFlag, S::kDcNumbered,
      "1 while load fuse {n} has failed", kDc, "alert_p.*", 2, 3, 3, "alert_p_count", 3);
  add("dc.{u}.lvd.1.alarm", "", K::kFlag, S::kDcUnit,
      "1 while low-voltage disconnection stage 1 has cut its loads", kDc, "alert_p.*", 0, 1, 1,
      "alert_p_count", 0xF0);
  add("dc.{u}.lvd.2.alarm", "", K::kFlag, S::kDcUnit,
      "1 while low-voltage disconnection stage 2 has cut its loads", kDc, "alert_p.*", 1, 1, 1,
      "alert_p_count", 0xF1);

  // Rectifier group (record 5211).
  add("rectifier.output.voltage", "V", K::kMeasure, S::kRectifierGroup,
      "output voltage of the rectifiers", kRc, "output_voltage");
  add("rectifier.count", "", K::kCount, S::kRectifierGroup, "number of rectifier modules", kRc,
      "module_count");
  add("rectifier.input.voltage.high", "V", K::kSetting, S::kRectifierGroup,
      "AC input voltage upper limit", kRc, "ac_voltage_upper");
  add("rectifier.input.voltage.low", "V", K::kSetting, S::kRectifierGroup,
      "AC input voltage lower limit", kRc, "ac_voltage_lower");
  add("rectifier.input.current.high", "A", K::kSetting, S::kRectifierGroup,
      "AC current upper limit", kRc, "ac_current_upper");
  add("rectifier.input.frequency.high", "Hz", K::kSetting, S::kRectifierGroup,
      "AC frequency upper limit", kRc, "frequency_upper");
  add("rectifier.input.frequency.low", "Hz", K::kSetting, S::kRectifierGroup,
      "AC frequency lower limit", kRc, "frequency_lower");
  add("rectifier.output.voltage.high", "V", K::kSetting, S::kRectifierGroup,
      "DC output voltage upper limit", kRc, "dc_voltage_upper");
  add("rectifier.output.voltage.low", "V", K::kSetting, S::kRectifierGroup,
      "DC output voltage lower limit", kRc, "dc_voltage_lower");
  add("rectifier.parameter.{n}", "", K::kSetting, S::kRectifierGroup,
      "user-defined DC parameter {n} as the plant reports it", kRc, "dc_param.*", 0, 1, 14,
      "dc_param_count");
  add("rectifier.{n}.current", "A", K::kMeasure, S::kRectifierModule,
      "output current of rectifier module {n}", kRc, "modules.*.output_current");
  add("rectifier.{n}.on", "", K::kFlag, S::kRectifierModule,
      "1 while rectifier module {n} is switched on", kRc, "modules.*.on_off", 0, 1, 0, "", 0);
  add("rectifier.{n}.current_limit", "", K::kFlag, S::kRectifierModule,
      "1 while rectifier module {n} limits its current", kRc, "modules.*.current_limit", 0, 1, 0,
      "", 0);
  add("rectifier.{n}.charge_mode", "", K::kState, S::kRectifierModule,
      "charge mode of rectifier module {n}: 0 float, 1 equalise, 2 test", kRc,
      "modules.*.charge_mode");
  t.back().states = {"float", "equalise", "test"};
  add("rectifier.{n}.switch.state", "", K::kState, S::kRectifierModule,
      "user-defined switch state of rectifier module {n}", kRc, "modules.*.user_state.0");
  add("rectifier.{n}.fault", "", K::kFlag, S::kRectifierModule,
      "1 while rectifier module {n} reports a fault", kRc, "modules.*.fault", 0, 1, 0, "", 1);
  return t;
}

// A number from 0 or 1 written without sign or leading zeros, at most 3 digits.
bool Number(const std::string& text, int& number) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return true;
}

const Json::Value* Walk(const Json::Value& record, const std::string& path) {
  const Json::Value* node = &record;
  for (const std::string& segment : text_parts::Split(path, '.')) {
    if (node->isObject()) {
      if (!node->isMember(segment)) return nullptr;
      node = &(*node)[segment];
    } else if (node->isArray()) {
      int position = 0;
      if (!Number(segment, position)) return nullptr;
      if (static_cast<Json::ArrayIndex>(position) >= node->size()) return nullptr;
      node = &(*node)[static_cast<Json::ArrayIndex>(position)];
    } else {
      return nullptr;
    }
  }
  return node;
}

bool IsItemScope(const Variable& v) {
  return v.scope == Scope::kAcChannel || v.scope == Scope::kRectifierModule ||
         std::string(v.field).find('*') != std::string::npos;
}

// The item's position in the field's array, from 0.
int PositionOf(const Variable& v, int item) {
  return v.first + v.stride * (item - 1);
}

// How many items of `v` the record holds.
int ItemsIn(const Variable& v, const Json::Value& record) {
  const std::string& field = v.field;
  const std::size_t star = field.find('*');
  const Json::Value* list = Walk(record, field.substr(0, star == 0 ? 0 : star - 1));
  if (list == nullptr || !list->isArray()) return 0;
  int capacity = static_cast<int>(list->size());
  if (!v.count_field.empty()) {
    // Items of a list with a count byte: those the plant announced, at most
    // the record's capacity; a user-defined value list announced longer than
    // its capacity was not stored at all.
    const Json::Value* count = Walk(record, v.count_field);
    if (count == nullptr || !count->isIntegral()) return 0;
    const int announced = count->asInt();
    if (announced > capacity && v.no_data_marker) return 0;
    if (announced < capacity) capacity = announced;
  }
  int items = 0;
  while (PositionOf(v, items + 1) < capacity && (v.items == 0 || items < v.items)) ++items;
  return items;
}

std::string PathFor(const Variable& v, int item) {
  if (item == 0) return v.field;
  return text_parts::ReplaceAll(v.field, "*", std::to_string(PositionOf(v, item)));
}

// The value at `path`, as the variable reads it; null when there is none.
Json::Value Read(const Variable& v, const Json::Value& record, const std::string& path) {
  const Json::Value* node = Walk(record, path);
  if (node == nullptr) return Json::Value();
  if (node->isString()) {
    // Floats that JSON cannot hold are decoded as texts; keep them as numbers.
    const std::string text = node->asString();
    if (text == "NaN") return Json::Value(std::nan(""));
    if (text == "Infinity") return Json::Value(HUGE_VAL);
    if (text == "-Infinity") return Json::Value(-HUGE_VAL);
    return *node;
  }
  if (!node->isNumeric()) return Json::Value();
  if (v.active_when >= 0) return Json::Value(node->asInt() == v.active_when ? 1 : 0);
  if (v.no_data_marker && static_cast<float>(node->asDouble()) == -0.1f) return Json::Value();
  return *node;
}

void Collect(const Variable& v, int unit, int item, const Json::Value& record,
             std::vector<NamedValue>& out) {
  const Json::Value value = Read(v, record, PathFor(v, item));
  if (!value.isNumeric()) return;
  out.push_back({NameFor(v, unit, item), value.asDouble(), &v, unit, item});
}

// Where a variable's value lies in the packed record, found once from its
// field path.
struct Place {
  const records::Layout* layout = nullptr;  // null: no field of a record
  const records::Field* field = nullptr;    // of the head, or of each item
  bool per_item = false;                    // "*" is the channel or module
  bool per_element = false;                 // "*" is the element of a head array
  std::size_t element = 0;                  // else the element of an array field
  const records::Field* count = nullptr;    // the head's count_field
};

Place PlaceOf(const Variable& v) {
  const records::Layout* layout = records::LayoutOf(v.record_type);
  if (layout == nullptr) return {};
  const std::vector<std::string> parts = text_parts::Split(v.field, '.');
  Place place;
  const std::vector<records::Field>* fields = &layout->head;
  std::size_t next = 0;
  if (layout->list != nullptr && parts.size() >= 3 && parts[0] == layout->list && parts[1] == "*") {
    place.per_item = true;
    fields = &layout->item;
    next = 2;
  }
  if (next >= parts.size()) return {};
  place.field = records::FindField(*fields, parts[next++]);
  if (place.field == nullptr || place.field->type == records::FieldType::kStamp) return {};
  if (next + 1 == parts.size() && place.field->array) {
    int element = 0;
    if (parts[next] == "*" && !place.per_item) {
      place.per_element = true;
    } else if (Number(parts[next], element) &&
               static_cast<std::size_t>(element) < place.field->count) {
      place.element = static_cast<std::size_t>(element);
    } else {
      return {};
    }
  } else if (next != parts.size() || place.field->array) {
    return {};
  }
  if (!v.count_field.empty()) {
    place.count = records::FindField(layout->head, v.count_field);
    if (place.count == nullptr || place.count->array) return {};
  }
  place.layout = layout;
  return place;
}

// The places of Table()'s rows, by row.
const std::vector<Place>& Places() {
  static const std::vector<Place> places = [] {
    std::vector<Place> found;
    for (const Variable& v : Table()) found.push_back(PlaceOf(v));
    return found;
  }();
  return places;
}

// ItemsIn over the bytes; `listed` the channels or modules the record has.
int ItemsAt(const Variable& v, const Place& place, const unsigned char* data, std::size_t listed) {
  int capacity = static_cast<int>(place.per_item ? listed : place.field->count);
  if (place.count != nullptr) {
    const int announced = static_cast<int>(records::NumberAt(*place.count, data, 0));
    if (announced > capacity && v.no_data_marker) return 0;
    if (announced < capacity) capacity = announced;
  }
  int items = 0;
  while (PositionOf(v, items + 1) < capacity && (v.items == 0 || items < v.items)) ++items;
  return items;
}

// Read over the bytes: the value at `position` (an item's, or 0 for a value
// of none), as the variable reads it; false when there is none.
bool ReadAt(const Variable& v, const Place& place, const unsigned char* data, int position,
            double& value) {
  const unsigned char* base = data;
  std::size_t element = place.element;
  if (place.per_item) {
    base += place.layout->head_size + place.layout->item_size * static_cast<std::size_t>(position);
  } else if (place.per_element) {
    element = static_cast<std::size_t>(position);
  }
  const double number = records::NumberAt(*place.field, base, element);
  if (!std::isfinite(number)) {
    value = number;
  } else if (v.active_when >= 0) {
    value = std::trunc(number) == v.active_when ? 1 : 0;
  } else if (v.no_data_marker && static_cast<float>(number) == -0.1f) {
    return false;
  } else {
    value = number;
  }
  return true;
}

// Reads a dotted or bracketed record path ("channels[0].a") as dotted.
std::string Dotted(const std::string& path) {
  std::string dotted;
  for (char c : path) {
    if (c == '[') {
      dotted += '.';
    } else if (c != ']') {
      dotted += c;
    }
  }
  return dotted;
}

// Matches `name` against a variable's pattern; fills unit and item.
bool Match(const Variable& v, const std::string& name, int& unit, int& item) {
  const std::vector<std::string> want = text_parts::Split(v.name, '.');
  const std::vector<std::string> got = text_parts::Split(name, '.');
  if (want.size() != got.size()) return false;
  unit = 0;
  item = 0;
  for (std::size_t k = 0; k < want.size(); ++k) {
    if (want[k] == "{u}" || want[k] == "{n}") {
      int number = 0;
      if (!Number(got[k], number) || number == 0) return false;
      (want[k] == "{u}" ? unit : item) = number;
    } else if (want[k] != got[k]) {
      return false;
    }
  }
  // A variable of one fixed item (an LVD stage) is item 1 of its list.
  if (item == 0 && v.field.find('*') != std::string::npos) item = 1;
  if (v.items != 0 && item > v.items) return false;
  return item <= 255;
}

// The field with the item's position written as a formula of n ("user_p.2n-1",
// "alert_p.3n+1"), and the value that makes a flag 1.
std::string FieldText(const Variable& v) {
  std::string position;
  const int offset = v.first - v.stride;  // position = stride x n + offset
  if (v.items == 1) {
    position = std::to_string(v.first);
  } else {
    position = (v.stride == 1 ? "" : std::to_string(v.stride)) + "n";
    if (offset > 0) position += "+" + std::to_string(offset);
    if (offset < 0) position += std::to_string(offset);
  }
  std::string text = text_parts::ReplaceAll(v.field, "*", position);
  if (v.active_when >= 0) text += " = " + std::to_string(v.active_when);
  return text;
}

}  // namespace

const std::vector<Variable>& Table() {
  static const std::vector<Variable> table = MakeTable();
  return table;
}

int ItemsOf(const Variable& variable, const Json::Value& record) {
  if (!IsItemScope(variable) || !record.isMember("type") ||
      record["type"].asInt() != variable.record_type) {
    return 0;
  }
  return ItemsIn(variable, record);
}

std::string NameFor(const Variable& variable, int unit, int item) {
  return text_parts::ReplaceAll(text_parts::ReplaceAll(variable.name, "{u}", std::to_string(unit)),
                                "{n}", std::to_string(item));
}

std::vector<NamedValue> ValuesOf(int record_type, int unit, const Json::Value& record) {
  std::vector<NamedValue> values;
  for (const Variable& v : Table()) {
    if (v.record_type != record_type) continue;
    const int owner = v.record_type == kRc ? 0 : unit;
    if (!IsItemScope(v)) {
      Collect(v, owner, 0, record, values);
      continue;
    }
    const int items = ItemsIn(v, record);
    for (int item = 1; item <= items; ++item) Collect(v, owner, item, record, values);
  }
  return values;
}

bool ReadingsOf(int record_type, int unit, const unsigned char* data, std::size_t length,
                std::vector<Reading>& out) {
  out.clear();
  const records::Layout* layout = records::LayoutOf(record_type);
  std::size_t listed = 0;
  std::string error;
  if (layout == nullptr || data == nullptr ||
      !records::CheckLength(*layout, data, length, listed, error)) {
    return false;
  }
  const std::vector<Variable>& table = Table();
  const std::vector<Place>& places = Places();
  const int owner = record_type == kRc ? 0 : unit;
  for (std::size_t row = 0; row < table.size(); ++row) {
    const Variable& v = table[row];
    const Place& place = places[row];
    if (v.record_type != record_type || place.layout == nullptr) continue;
    double value = 0;
    if (!place.per_item && !place.per_element) {
      if (ReadAt(v, place, data, 0, value)) out.push_back({&v, owner, 0, value});
      continue;
    }
    const int items = ItemsAt(v, place, data, listed);
    for (int item = 1; item <= items; ++item) {
      if (ReadAt(v, place, data, PositionOf(v, item), value))
        out.push_back({&v, owner, item, value});
    }
  }
  return true;
}

std::vector<NamedValue> Named(const std::vector<Reading>& readings) {
  std::vector<NamedValue> values;
  values.reserve(readings.size());
  for (const Reading& r : readings) {
    values.push_back({NameFor(*r.variable, r.unit, r.item), r.value, r.variable, r.unit, r.item});
  }
  return values;
}

Json::Value JsonValue(const NamedValue& value) {
  const Kind kind = value.variable == nullptr ? Kind::kMeasure : value.variable->kind;
  if (kind == Kind::kMeasure || kind == Kind::kSetting) {
    return json_text::Float(static_cast<float>(value.value));
  }
  return Json::Int64(static_cast<long long>(value.value));
}

std::vector<NamedValue> StandardValues(const std::vector<NamedValue>& values) {
  std::vector<NamedValue> standard;
  for (const Variable& v : Table()) {
    if (v.scope != Scope::kStandard) continue;
    const std::string& source = v.standard_of;
    if (source.rfind("sum:", 0) == 0) {
      const std::string pattern = source.substr(4);
      const std::size_t hole = pattern.find("{n}");
      bool any = false;
      double sum = 0;
      for (const NamedValue& value : values) {
        if (value.name.size() <= hole || value.name.compare(0, hole, pattern, 0, hole) != 0) {
          continue;
        }
        const std::string rest = pattern.substr(hole + 3);
        const std::size_t dot = value.name.find('.', hole);
        if (dot == std::string::npos || value.name.substr(dot) != rest) continue;
        int number = 0;
        if (!Number(value.name.substr(hole, dot - hole), number)) continue;
        sum += value.value;
        any = true;
      }
      if (any) standard.push_back({v.name, sum, &v, 0, 0});
      continue;
    }
    for (const NamedValue& value : values) {
      if (value.name == source) {
        standard.push_back({v.name, value.value, &v, 0, 0});
        break;
      }
    }
  }
  return standard;
}

Json::Value ValuesJson(const std::vector<NamedValue>& values) {
  Json::Value object(Json::objectValue);
  for (const NamedValue& value : values) {
    object[value.name] = JsonValue(value);
  }
  return object;
}

std::string NameOfPoint(int record_type, int unit, const std::string& point) {
  for (const Variable& v : Table()) {
    if (v.record_type != record_type || v.point.empty()) continue;
    const std::string& pattern = v.point;
    const std::size_t hole = pattern.find("{i}");
    if (hole == std::string::npos) {
      if (point == pattern) return NameFor(v, unit, 0);
      continue;
    }
    const std::string tail = pattern.substr(hole + 3);
    if (point.size() <= hole + tail.size() || point.compare(0, hole, pattern, 0, hole) != 0 ||
        point.compare(point.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    int position = 0;
    if (!Number(point.substr(hole, point.size() - hole - tail.size()), position)) continue;
    return NameFor(v, unit, position + 1);
  }
  return "";
}

bool Resolve(const std::string& name, Resolved& out) {
  for (const Variable& v : Table()) {
    if (v.scope == Scope::kStandard) {
      // A standard name taken from one value is that value; a sum is not a field.
      if (name == v.name && v.standard_of.rfind("sum:", 0) != 0) return Resolve(v.standard_of, out);
      continue;
    }
    int unit = 0, item = 0;
    if (!Match(v, name, unit, item)) continue;
    out.variable = &v;
    out.unit = unit;
    out.item = item;
    out.path = PathFor(v, item);
    return true;
  }
  // A record path as earlier versions took it.
  const std::string path = Dotted(name);
  if (!records::IsKnownField(path)) return false;
  out = Resolved{};
  out.path = path;
  return true;
}

const Variable* VariableOf(const std::string& name, int* unit, int* item) {
  for (const Variable& v : Table()) {
    int u = 0, n = 0;
    if (v.scope == Scope::kStandard ? name != v.name : !Match(v, name, u, n)) continue;
    if (unit) *unit = u;
    if (item) *item = n;
    return &v;
  }
  return nullptr;
}

Json::Value ValueIn(const Resolved& resolved, const Json::Value& record) {
  if (resolved.variable == nullptr) return records::FieldValue(record, resolved.path);
  const Variable& v = *resolved.variable;
  if (!record.isMember("type") || record["type"].asInt() != v.record_type) return Json::Value();
  if (resolved.item != 0 && resolved.item > ItemsIn(v, record)) return Json::Value();
  const Json::Value value = Read(v, record, resolved.path);
  if (value.isDouble() && !std::isfinite(value.asDouble())) return *Walk(record, resolved.path);
  return value;
}

std::string TableText() {
  std::string text;
  for (const Variable& v : Table()) {
    std::string source;
    if (v.scope == Scope::kStandard) {
      source = "= " + v.standard_of;
    } else {
      source = std::to_string(v.record_type) + " " + FieldText(v);
      if (!v.point.empty()) source += ", point " + v.point;
    }
    text +=
        v.name + "\t" + (v.unit.empty() ? "-" : v.unit) + "\t" + v.meaning + "\t" + source + "\n";
  }
  return text;
}

}  // namespace vocabulary
