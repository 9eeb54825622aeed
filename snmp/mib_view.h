#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace snmp {

using Oid = std::vector<std::uint32_t>;

// "1.3.6.1" for messages and tests.
std::string OidText(const Oid& oid);
Oid Join(Oid prefix, std::initializer_list<std::uint32_t> tail);

// One value of an object instance, in the types the MIBs use.
struct MibValue {
  enum class Type { kInteger, kGauge, kCounter, kTimeTicks, kText, kOid };
  Type type = Type::kInteger;
  std::int64_t number = 0;  // kInteger (Integer32), kGauge, kCounter, kTimeTicks
  std::string text;         // kText (OCTET STRING)
  Oid oid;                  // kOid

  static MibValue Integer(std::int64_t value);   // clamped to Integer32
  static MibValue Gauge(std::int64_t value);     // clamped to 0..2^32-1
  static MibValue Counter(std::uint64_t value);  // wraps at 2^32
  static MibValue Ticks(std::int64_t hundredths);
  static MibValue Text(std::string value);
  static MibValue Object(Oid value);
  bool operator==(const MibValue& other) const;
};

// The object instances of a subtree in OID order: what GET and GETNEXT read.
class MibView {
 public:
  void Set(const Oid& oid, MibValue value) { values_[oid] = std::move(value); }
  // The instance at `oid`; null when there is none.
  const MibValue* Get(const Oid& oid) const;
  // The first instance after `oid` in OID order; end() when none.
  std::map<Oid, MibValue>::const_iterator Next(const Oid& oid) const;
  std::map<Oid, MibValue>::const_iterator end() const { return values_.end(); }
  const std::map<Oid, MibValue>& Values() const { return values_; }

 private:
  std::map<Oid, MibValue> values_;
};

// A value of a vocabulary quantity in the integer unit a column states
// (`scale` 10 for decivolts), rounded; null for a value that is not finite.
bool Scaled(double value, int scale, std::int64_t& out);

}  // namespace snmp
