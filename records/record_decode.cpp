#include "records/record_decode.h"

#include <cstdio>

#include "records/json_text.h"
#include "records/record_layout.h"

namespace records {

namespace {

Json::Value Element(const Field& field, const unsigned char* base, std::size_t index) {
  if (field.type == FieldType::kF32) return json_text::Float(FloatAt(field, base, index));
  return Json::UInt(static_cast<unsigned int>(NumberAt(field, base, index)));
}

// The fields of a head or item starting at `base`, by name into `out`.
void DecodeFields(const std::vector<Field>& fields, const unsigned char* base, Json::Value& out) {
  for (const Field& field : fields) {
    if (field.type == FieldType::kStamp) {
      out[field.name] = StampText(base + field.offset);
    } else if (field.array) {
      Json::Value list(Json::arrayValue);
      for (std::size_t k = 0; k < field.count; ++k) list.append(Element(field, base, k));
      out[field.name] = std::move(list);
    } else {
      out[field.name] = Element(field, base, 0);
    }
  }
}

}  // namespace

std::string StampText(const unsigned char* stamp) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u",
                static_cast<unsigned int>(stamp[0] | (stamp[1] << 8)), stamp[2], stamp[3], stamp[4],
                stamp[5], stamp[6]);
  return text;
}

bool Decode(int type, const unsigned char* data, std::size_t length, Json::Value& out,
            std::string& error) {
  if (data == nullptr) length = 0;
  const Layout* layout = LayoutOf(type);
  if (layout == nullptr) {
    error = "record type " + std::to_string(type) + " is not one of 5209, 5210, 5211";
    return false;
  }
  std::size_t items = 0;
  if (!CheckLength(*layout, data, length, items, error)) return false;
  Json::Value fields(Json::objectValue);
  DecodeFields(layout->head, data, fields);
  if (layout->list != nullptr) {
    Json::Value& list = fields[layout->list] = Json::Value(Json::arrayValue);
    for (std::size_t k = 0; k < items; ++k) {
      Json::Value item(Json::objectValue);
      DecodeFields(layout->item, data + layout->head_size + layout->item_size * k, item);
      list.append(std::move(item));
    }
  }
  fields["type"] = type;
  fields["length"] = Json::UInt64(length);
  out = std::move(fields);
  return true;
}

}  // namespace records
