#include "records/record_fields.h"

#include <cstddef>
#include <sstream>

#include "records/json_text.h"
#include "records/record_decode.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace records {

namespace {

constexpr int kTypes[] = {kAcSnapshot, kDcRecord, kRectifierSnapshot};
constexpr std::size_t kMaxGrowingPosition = 254;  // a count byte allows 255 items

// A decoded all-zero record of `type` with one channel or module, which
// shows every field its type can have.
Json::Value Sample(int type) {
  std::vector<unsigned char> bytes;
  if (type == kAcSnapshot) {
    bytes.assign(sizeof(tele_c_korvan_ac) + sizeof(tele_c_korvan_ac_channel), 0);
    bytes[offsetof(tele_c_korvan_ac, channel_count)] = 1;
  } else if (type == kRectifierSnapshot) {
    bytes.assign(sizeof(tele_c_korvan_rc) + sizeof(tele_c_korvan_rc_channel), 0);
    bytes[offsetof(tele_c_korvan_rc, module_count)] = 1;
  } else {
    bytes.assign(92, 0);
  }
  Json::Value record;
  std::string error;
  Decode(type, bytes.data(), bytes.size(), record, error);
  return record;
}

const Json::Value& SampleOf(int type) {
  static const Json::Value samples[] = {Sample(kAcSnapshot), Sample(kDcRecord),
                                        Sample(kRectifierSnapshot)};
  return samples[type == kAcSnapshot ? 0 : type == kDcRecord ? 1 : 2];
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> segments;
  std::istringstream in(path);
  for (std::string segment; std::getline(in, segment, '.');) segments.push_back(segment);
  if (!path.empty() && path.back() == '.') segments.emplace_back();
  return segments;
}

// A position written as decimal digits without leading zeros, at most 3 of them.
bool Position(const std::string& text, std::size_t& position) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
  position = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    position = position * 10 + static_cast<std::size_t>(c - '0');
  }
  return true;
}

// Walks `path` through `value`. With `growing`, arrays of objects (channels,
// modules) are read at their first item for any position they may reach.
Json::Value Walk(const Json::Value& value, const std::string& path, bool growing) {
  const Json::Value* node = &value;
  for (const std::string& segment : Split(path)) {
    if (node->isObject()) {
      if (!node->isMember(segment)) return Json::Value();
      node = &(*node)[segment];
    } else if (node->isArray()) {
      std::size_t position = 0;
      if (!Position(segment, position)) return Json::Value();
      const bool of_objects = node->size() != 0 && (*node)[0u].isObject();
      if (growing && of_objects && position <= kMaxGrowingPosition) position = 0;
      if (position >= node->size()) return Json::Value();
      node = &(*node)[static_cast<Json::ArrayIndex>(position)];
    } else {
      return Json::Value();
    }
  }
  if (node->isObject() || node->isArray()) return Json::Value();
  return *node;
}

// The fields under `node`, named from `prefix`, for KnownFieldsText.
void Describe(const Json::Value& node, const std::string& prefix, std::vector<std::string>& out) {
  if (node.isObject()) {
    for (const std::string& name : node.getMemberNames()) {
      Describe(node[name], prefix.empty() ? name : prefix + "." + name, out);
    }
  } else if (node.isArray()) {
    if (node.size() == 0) return;
    if (node[0u].isObject()) {
      Describe(node[0u], prefix + ".N", out);
    } else if (node.size() == 1) {
      out.push_back(prefix + ".0");
    } else {
      out.push_back(prefix + ".0.." + std::to_string(node.size() - 1));
    }
  } else {
    out.push_back(prefix);
  }
}

}  // namespace

bool IsKnownField(const std::string& path) {
  for (int type : kTypes) {
    if (!Walk(SampleOf(type), path, true).isNull()) return true;
  }
  return false;
}

std::string KnownFieldsText() {
  const char* const names[] = {"AC", "DC", "rectifier"};
  std::string text;
  for (std::size_t k = 0; k < 3; ++k) {
    std::vector<std::string> fields;
    Describe(SampleOf(kTypes[k]), "", fields);
    text += "  " + std::to_string(kTypes[k]) + " (" + names[k] + "):";
    for (std::size_t f = 0; f < fields.size(); ++f) text += (f == 0 ? " " : ", ") + fields[f];
    text += "\n";
  }
  return text;
}

Json::Value FieldValue(const Json::Value& record, const std::string& path) {
  return Walk(record, path, false);
}

std::vector<std::string> TopLevelFields(int type) {
  std::vector<std::string> fields;
  if (type != kAcSnapshot && type != kDcRecord && type != kRectifierSnapshot) return fields;
  const Json::Value& sample = SampleOf(type);
  for (const std::string& name : sample.getMemberNames()) {
    if (name == "data_id" || name == "type" || name == "length") continue;
    if (sample[name].isObject() || sample[name].isArray()) continue;
    fields.push_back(name);
  }
  return fields;
}

std::string ScalarText(const Json::Value& value) {
  if (value.isNull()) return "";
  if (value.isString()) return value.asString();
  return json_text::Line(value);
}

}  // namespace records
