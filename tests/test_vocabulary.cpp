// The vocabulary: names of every reported value, read from decoded records,
// and the field names that the history command and the HTTP API share.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace {

using vocabulary::NamedValue;

void PutFloat(std::vector<unsigned char>& bytes, std::size_t offset, float value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

Json::Value Decoded(int type, const std::vector<unsigned char>& bytes) {
  Json::Value record;
  std::string error;
  EXPECT_TRUE(records::Decode(type, bytes.data(), bytes.size(), record, error)) << error;
  return record;
}

// Records with every list full: each variable of the table has a value.
Json::Value FullRecord(int type) {
  std::vector<unsigned char> bytes;
  if (type == records::kAcSnapshot) {
    bytes.assign(sizeof(tele_c_korvan_ac) + 2 * sizeof(tele_c_korvan_ac_channel), 0);
    bytes[offsetof(tele_c_korvan_ac, channel_count)] = 2;
    bytes[offsetof(tele_c_korvan_ac, user_state_count)] = 4;
  } else if (type == records::kDcRecord) {
    bytes.assign(sizeof(tele_c_korvan_dc), 0);
    bytes[offsetof(tele_c_korvan_dc, dc_m)] = 3;
    bytes[offsetof(tele_c_korvan_dc, p_count)] = 6;
    bytes[offsetof(tele_c_korvan_dc, alert_m_count)] = 20;
    bytes[offsetof(tele_c_korvan_dc, alert_p_count)] = 11;
  } else {
    bytes.assign(sizeof(tele_c_korvan_rc) + 2 * sizeof(tele_c_korvan_rc_channel), 0);
    bytes[offsetof(tele_c_korvan_rc, module_count)] = 2;
    bytes[offsetof(tele_c_korvan_rc, dc_param_count)] = 14;
  }
  return Decoded(type, bytes);
}

std::map<std::string, double> ByName(const std::vector<NamedValue>& values) {
  std::map<std::string, double> named;
  for (const NamedValue& value : values) {
    EXPECT_TRUE(named.emplace(value.name, value.value).second) << "twice: " << value.name;
  }
  return named;
}

TEST(Vocabulary, EveryVariableIsReadOnceAndItsNameLeadsBackToItsValue) {
  std::set<const vocabulary::Variable*> seen;
  std::set<std::string> names;
  for (int type : {records::kAcSnapshot, records::kDcRecord, records::kRectifierSnapshot}) {
    const Json::Value record = FullRecord(type);
    for (const NamedValue& value : vocabulary::ValuesOf(type, 2, record)) {
      seen.insert(value.variable);
      EXPECT_TRUE(names.insert(value.name).second) << "twice: " << value.name;
      vocabulary::Resolved resolved;
      ASSERT_TRUE(vocabulary::Resolve(value.name, resolved)) << value.name;
      EXPECT_EQ(resolved.variable, value.variable) << value.name;
      EXPECT_EQ(vocabulary::ValueIn(resolved, record).asDouble(), value.value) << value.name;
      // The name also leads back to its row, unit and item (get orders by them).
      int unit = -1, item = -1;
      EXPECT_EQ(vocabulary::VariableOf(value.name, &unit, &item), value.variable) << value.name;
      EXPECT_EQ(unit, value.unit) << value.name;
      EXPECT_EQ(item, value.item) << value.name;
    }
  }
  for (const vocabulary::Variable& variable : vocabulary::Table()) {
    if (variable.scope != vocabulary::Scope::kStandard) continue;
    EXPECT_EQ(vocabulary::VariableOf(variable.name), &variable) << variable.name;
  }
  for (const char* none : {"channels.0.a", "dc.0.output.voltage", "rectifier.1.current.x", ""})
    EXPECT_EQ(vocabulary::VariableOf(none), nullptr) << none;
  for (const vocabulary::Variable& variable : vocabulary::Table()) {
    if (variable.scope == vocabulary::Scope::kStandard) continue;
    EXPECT_EQ(seen.count(&variable), 1u) << "never read: " << variable.name;
    EXPECT_FALSE(variable.meaning.empty()) << variable.name;
  }
  EXPECT_EQ(names.count("ac.2.channel.2.L3-N.voltage"), 1u);
  EXPECT_EQ(names.count("rectifier.2.current"), 1u);
  EXPECT_EQ(names.count("dc.2.battery.fuse.20.alarm"), 1u);
  EXPECT_EQ(names.count("ac.2.channel.3.frequency"), 0u);  // two channels
}

TEST(Vocabulary, ReadsADcRecordAsAnOperatorWould) {
  std::vector<unsigned char> bytes(sizeof(tele_c_korvan_dc), 0);
  PutFloat(bytes, offsetof(tele_c_korvan_dc, v), 53.5f);
  PutFloat(bytes, offsetof(tele_c_korvan_dc, i), 12.0f);
  bytes[offsetof(tele_c_korvan_dc, dc_m)] = 2;  // the third value is an old one
  const std::size_t m = offsetof(tele_c_korvan_dc, m_value);
  PutFloat(bytes, m, 2.0f);
  PutFloat(bytes, m + 4, -1.5f);
  PutFloat(bytes, m + 8, 9.0f);
  bytes[offsetof(tele_c_korvan_dc, p_count)] = 6;
  const std::size_t p = offsetof(tele_c_korvan_dc, user_p);
  PutFloat(bytes, p, 53.4f);
  PutFloat(bytes, p + 4, 25.0f);
  PutFloat(bytes, p + 8, -0.1f);  // the plant's "no value"
  bytes[offsetof(tele_c_korvan_dc, alert_m_count)] = 20;
  bytes[offsetof(tele_c_korvan_dc, alert_m) + 4] = 3;
  bytes[offsetof(tele_c_korvan_dc, alert_p_count)] = 11;
  const std::size_t alert_p = offsetof(tele_c_korvan_dc, alert_p);
  bytes[alert_p + 0] = 0xF0;  // first LVD stage
  bytes[alert_p + 1] = 0xF0;  // the second stage is active on F1h only
  bytes[alert_p + 3] = 1;     // battery 1 voltage low
  bytes[alert_p + 5] = 3;     // load fuse 2
  bytes[alert_p + 6] = 2;     // battery 2 voltage low is active on 1 only
  const std::vector<NamedValue> values =
      vocabulary::ValuesOf(records::kDcRecord, 1, Decoded(records::kDcRecord, bytes));
  std::map<std::string, double> named = ByName(values);
  for (const NamedValue& value : vocabulary::StandardValues(values))
    named[value.name] = value.value;
  const std::map<std::string, double> expected = {
      {"dc.1.output.voltage", 53.5},
      {"dc.1.output.current", 12},
      {"dc.1.battery.count", 2},
      {"dc.1.battery.1.current", 2},
      {"dc.1.battery.2.current", -1.5},
      {"dc.1.battery.1.voltage", 53.4},
      {"dc.1.battery.1.temperature", 25},
      {"dc.1.battery.3.temperature", 0},
      {"dc.1.battery.5.alarm", -1},  // no such name: checked below
      {"dc.1.battery.fuse.5.alarm", 1},
      {"dc.1.battery.fuse.4.alarm", 0},
      {"dc.1.lvd.1.alarm", 1},
      {"dc.1.lvd.2.alarm", 0},
      {"dc.1.battery.1.voltage.low.alarm", 1},
      {"dc.1.battery.2.voltage.low.alarm", 0},
      {"dc.1.load.fuse.2.alarm", 1},
      {"dc.1.output.voltage.alarm", 0},
      {"output.voltage", 53.5},
      {"output.current", 12},
      {"battery.voltage", 53.5},
      {"battery.current", 0.5},
  };
  for (const auto& [name, value] : expected) {
    if (value == -1) {
      EXPECT_EQ(named.count(name), 0u) << name;
    } else {
      ASSERT_EQ(named.count(name), 1u) << name;
      EXPECT_EQ(named[name], value) << name;
    }
  }
  EXPECT_EQ(named.count("dc.1.battery.3.current"), 0u);  // beyond the announced two
  EXPECT_EQ(named.count("dc.1.battery.2.voltage"), 0u);  // "no value"
  EXPECT_EQ(named.count("input.frequency"), 0u);         // no AC unit
}

// Records of every type with random bytes: counts within and beyond their
// lists, floats among them NaN, the infinities and the "no value" marker.
std::vector<unsigned char> RandomRecord(int type, std::mt19937& random) {
  const std::size_t head = type == records::kAcSnapshot ? sizeof(tele_c_korvan_ac)
                           : type == records::kDcRecord ? sizeof(tele_c_korvan_dc)
                                                        : sizeof(tele_c_korvan_rc);
  const std::size_t item = type == records::kAcSnapshot ? sizeof(tele_c_korvan_ac_channel)
                           : type == records::kDcRecord ? 0
                                                        : sizeof(tele_c_korvan_rc_channel);
  const std::size_t items = item == 0 ? 0 : random() % 4;
  std::vector<unsigned char> bytes(head + item * items);
  const float floats[] = {53.5f, -0.1f, -1.5f, 0, std::nanf(""), HUGE_VALF, -HUGE_VALF, 1e30f};
  // At each byte: a float, a small number (a count, state or alarm; some too
  // large for their list), an LVD code, or zero.
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    const unsigned choice = random() % 8;
    if (choice < 3 && k + 4 <= bytes.size()) {
      const float value = floats[random() % 8];
      std::memcpy(bytes.data() + k, &value, sizeof value);
      k += 3;
    } else if (choice < 6) {
      bytes[k] = static_cast<unsigned char>(random() % 24);
    } else if (choice == 6) {
      bytes[k] = static_cast<unsigned char>(0xF0 + random() % 2);
    }
  }
  if (type == records::kAcSnapshot) bytes[offsetof(tele_c_korvan_ac, channel_count)] = items;
  if (type == records::kRectifierSnapshot) bytes[offsetof(tele_c_korvan_rc, module_count)] = items;
  return bytes;
}

// The values read from the bytes, named, are those read from the decoded
// record, one for one: the same names, rows, units, items and floats, NaN
// for NaN.
TEST(Vocabulary, ReadingsFromTheBytesAreTheDecodedRecordsValues) {
  std::mt19937 random(20261210);
  for (int type : {records::kAcSnapshot, records::kDcRecord, records::kRectifierSnapshot}) {
    for (int round = 0; round < 400; ++round) {
      const std::vector<unsigned char> bytes = RandomRecord(type, random);
      SCOPED_TRACE(std::to_string(type) + " round " + std::to_string(round));
      const std::vector<NamedValue> named = vocabulary::ValuesOf(type, 3, Decoded(type, bytes));
      std::vector<vocabulary::Reading> read{{}};
      ASSERT_TRUE(vocabulary::ReadingsOf(type, 3, bytes.data(), bytes.size(), read));
      const std::vector<NamedValue> from_bytes = vocabulary::Named(read);
      ASSERT_EQ(from_bytes.size(), named.size());
      for (std::size_t k = 0; k < from_bytes.size(); ++k) {
        const std::string& name = from_bytes[k].name;
        EXPECT_EQ(name, named[k].name);
        EXPECT_EQ(from_bytes[k].variable, named[k].variable) << name;
        EXPECT_EQ(from_bytes[k].unit, named[k].unit) << name;
        EXPECT_EQ(from_bytes[k].item, named[k].item) << name;
        const float a = static_cast<float>(from_bytes[k].value);
        const float b = static_cast<float>(named[k].value);
        EXPECT_TRUE(a == b || (std::isnan(a) && std::isnan(b))) << name << ": " << a << " " << b;
      }
    }
    // A record one byte short or long has no values, as it does not decode.
    const std::vector<unsigned char> bytes = RandomRecord(type, random);
    std::vector<vocabulary::Reading> read{{}};
    for (std::size_t length : {bytes.size() - 1, bytes.size() + 1, std::size_t{0}}) {
      std::vector<unsigned char> wrong(bytes.begin(), bytes.end());
      wrong.resize(length);
      EXPECT_FALSE(vocabulary::ReadingsOf(type, 1, wrong.data(), wrong.size(), read)) << length;
      EXPECT_TRUE(read.empty());
    }
  }
  std::vector<vocabulary::Reading> read;
  EXPECT_FALSE(vocabulary::ReadingsOf(5212, 1, nullptr, 0, read));
}

TEST(Vocabulary, PointReadsHaveTheirNames) {
  const struct Row {
    int type;
    int unit;
    const char* point;
    const char* name;
  } rows[] = {
      {records::kAcSnapshot, 1, "channel_0_a", "ac.1.channel.1.L1-N.voltage"},
      {records::kAcSnapshot, 2, "channel_11_f", "ac.2.channel.12.frequency"},
      {records::kAcSnapshot, 1, "ia", "ac.1.L1.current"},
      {records::kAcSnapshot, 1, "ic_alert", "ac.1.L3.current.alarm"},
      {records::kDcRecord, 2, "v", "dc.2.output.voltage"},
      {records::kDcRecord, 1, "i", "dc.1.output.current"},
      {records::kDcRecord, 1, "ia", ""},
      {records::kAcSnapshot, 1, "channel_x_a", ""},
      {records::kAcSnapshot, 1, "channel_0_", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(vocabulary::NameOfPoint(row.type, row.unit, row.point), row.name) << row.point;
  }
}

// The history command and the HTTP API take fields through Resolve: these
// rows are what both accept and refuse.
TEST(Vocabulary, FieldNamesOldPathsAndRefusals) {
  std::vector<unsigned char> bytes(sizeof(tele_c_korvan_ac) + 2 * sizeof(tele_c_korvan_ac_channel),
                                   0);
  bytes[offsetof(tele_c_korvan_ac, channel_count)] = 2;
  PutFloat(bytes, sizeof(tele_c_korvan_ac) + offsetof(tele_c_korvan_ac_channel, a), 230.5f);
  PutFloat(bytes,
           sizeof(tele_c_korvan_ac) + sizeof(tele_c_korvan_ac_channel) +
               offsetof(tele_c_korvan_ac_channel, f),
           50.0f);
  const Json::Value record = Decoded(records::kAcSnapshot, bytes);
  const struct Row {
    const char* field;
    Json::Value value;  // null: accepted, no value in this AC record
  } accepted[] = {
      {"ac.1.channel.1.L1-N.voltage", 230.5},
      {"ac.7.channel.2.frequency", 50},  // the unit is the device asked for
      {"ac.1.channel.3.frequency", Json::Value()},
      {"channels.0.a", 230.5},
      {"channels[0].a", 230.5},
      {"channels[1].f", 50},
      {"channels.1.f", 50},
      {"channel_count", 2},
      {"dc.1.output.voltage", Json::Value()},
      {"v", Json::Value()},
      {"rectifier.2.current", Json::Value()},
      {"modules[0].output_current", Json::Value()},
      {"input.frequency", 0},  // the first AC unit's first channel
      {"output.voltage", Json::Value()},
  };
  for (const Row& row : accepted) {
    vocabulary::Resolved resolved;
    ASSERT_TRUE(vocabulary::Resolve(row.field, resolved)) << row.field;
    const Json::Value value = vocabulary::ValueIn(resolved, record);
    EXPECT_EQ(value.isNull(), row.value.isNull()) << row.field;
    if (!row.value.isNull()) {
      EXPECT_EQ(value.asDouble(), row.value.asDouble()) << row.field;
    }
  }
  for (const char* bad :
       {"", ".v", "v.", "v[", "v[]", "v[x]", "v..a", "a-b", "channels", "channels.0", "m_value",
        "dc.0.output.voltage", "dc.1.battery.4.current", "rectifier.0.current",
        "dc.01.output.voltage", "ac.1.channel.1.voltage", "battery.current", "volts"}) {
    vocabulary::Resolved resolved;
    EXPECT_FALSE(vocabulary::Resolve(bad, resolved)) << bad;
  }
}

}  // namespace
