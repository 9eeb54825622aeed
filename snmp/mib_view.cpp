#include "snmp/mib_view.h"

#include <algorithm>
#include <cmath>

namespace snmp {

std::string OidText(const Oid& oid) {
  std::string text;
  for (std::uint32_t part : oid) text += (text.empty() ? "" : ".") + std::to_string(part);
  return text;
}

Oid Join(Oid prefix, std::initializer_list<std::uint32_t> tail) {
  prefix.insert(prefix.end(), tail.begin(), tail.end());
  return prefix;
}

MibValue MibValue::Integer(std::int64_t value) {
  MibValue result;
  result.number = std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX);
  return result;
}

MibValue MibValue::Gauge(std::int64_t value) {
  MibValue result;
  result.type = Type::kGauge;
  result.number = std::clamp<std::int64_t>(value, 0, UINT32_MAX);
  return result;
}

MibValue MibValue::Counter(std::uint64_t value) {
  MibValue result;
  result.type = Type::kCounter;
  result.number = static_cast<std::int64_t>(value & 0xffffffffu);
  return result;
}

MibValue MibValue::Ticks(std::int64_t hundredths) {
  MibValue result;
  result.type = Type::kTimeTicks;
  result.number = std::clamp<std::int64_t>(hundredths, 0, UINT32_MAX);
  return result;
}

MibValue MibValue::Text(std::string value) {
  MibValue result;
  result.type = Type::kText;
  result.text = std::move(value);
  return result;
}

MibValue MibValue::Object(Oid value) {
  MibValue result;
  result.type = Type::kOid;
  result.oid = std::move(value);
  return result;
}

bool MibValue::operator==(const MibValue& other) const {
  return type == other.type && number == other.number && text == other.text && oid == other.oid;
}

const MibValue* MibView::Get(const Oid& oid) const {
  const auto found = values_.find(oid);
  return found == values_.end() ? nullptr : &found->second;
}

std::map<Oid, MibValue>::const_iterator MibView::Next(const Oid& oid) const {
  return values_.upper_bound(oid);
}

bool Scaled(double value, int scale, std::int64_t& out) {
  const double scaled = value * scale;
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9e15) return false;
  out = std::llround(scaled);
  return true;
}

}  // namespace snmp
