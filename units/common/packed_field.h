#pragma once

#include <cstddef>
#include <cstring>

// Access to fields of byte-packed records by offset and memcpy, so that no
// pointer to a misaligned member is ever formed (the target is ARM).
//   StoreField(tele_, offsetof(Tele, ia), value);
//   float ia = LoadField<float>(tele_, offsetof(Tele, ia));

template <typename Record>
unsigned char* FieldAddress(Record& record, std::size_t offset) {
  return reinterpret_cast<unsigned char*>(&record) + offset;
}

template <typename Record>
const unsigned char* FieldAddress(const Record& record, std::size_t offset) {
  return reinterpret_cast<const unsigned char*>(&record) + offset;
}

template <typename Value, typename Record>
void StoreField(Record& record, std::size_t offset, const Value& value) {
  static_assert(sizeof(Value) <= sizeof(Record), "field larger than its record");
  std::memcpy(FieldAddress(record, offset), &value, sizeof(Value));
}

template <typename Value, typename Record>
Value LoadField(const Record& record, std::size_t offset) {
  Value value;
  std::memcpy(&value, FieldAddress(record, offset), sizeof(Value));
  return value;
}
