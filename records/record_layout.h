#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The byte layouts of the plug-in's records, field by field, written once:
// records::Decode writes them as JSON and the vocabulary reads its values
// from them straight out of the bytes.
namespace records {

enum class FieldType { kU8, kU32, kF32, kStamp };

struct Field {
  const char* name;  // the field's name in decoded JSON
  std::size_t offset;
  FieldType type;
  bool array = false;     // a list of `count` elements (possibly none)
  std::size_t count = 1;  // elements of an array
};

// A record: a head, followed for AC and rectifier snapshots by one item per
// channel or module, as many as a count byte of the head says.
struct Layout {
  int type;
  std::size_t head_size;
  std::vector<Field> head;
  const char* list = nullptr;  // "channels", "modules"; null: the head alone
  std::size_t list_count_offset = 0;
  std::size_t item_size = 0;
  std::vector<Field> item;
  // How the length error names the record and its parts.
  const char* what;       // "an AC snapshot (type 5209)"
  const char* head_name;  // "head record"
  const char* announcer;  // "its head"
  const char* letter;     // "n"
};

// The layout of `type`; null for a type that is none of the plug-in's.
const Layout* LayoutOf(int type);

// The field called `name` among `fields`; null when none is.
const Field* FindField(const std::vector<Field>& fields, const std::string& name);

// How many items (channels, modules) the record announces when its length
// fits the layout; false with `error` (both lengths) when it does not.
bool CheckLength(const Layout& layout, const unsigned char* data, std::size_t length,
                 std::size_t& items, std::string& error);

// Element `index` of a number field of the head or item that starts at `base`.
double NumberAt(const Field& field, const unsigned char* base, std::size_t index);
// The same element as a float field holds it (NumberAt of any other type).
float FloatAt(const Field& field, const unsigned char* base, std::size_t index);

}  // namespace records
