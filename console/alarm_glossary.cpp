#include "console/alarm_glossary.h"

#include <map>
#include <utility>

namespace runtime {

namespace {

// The texts' starts before the number (see the units' alarm tables).
constexpr const char* kAcChannel = "交流屏";
constexpr const char* kDcFuse = "直流";
constexpr const char* kRcModule = "模块";

// The number after `start` at the beginning of `text`: 1 to 3 digits without
// a leading zero and no digit after them; "" when the text has none.
std::string NumberAfter(const std::string& text, const char* start) {
  const std::string prefix = start;
  if (text.compare(0, prefix.size(), prefix) != 0) return "";
  std::size_t end = prefix.size();
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  const std::size_t digits = end - prefix.size();
  if (digits == 0 || digits > 3 || text[prefix.size()] == '0') return "";
  return text.substr(prefix.size(), digits);
}

std::string WithNumber(std::string gloss, const std::string& number) {
  const std::size_t hole = gloss.find("{n}");
  if (hole == std::string::npos) return gloss;
  if (!number.empty()) return gloss.replace(hole, 3, number);
  // No number: the phrase reads as before numbers were known.
  const bool spaced = hole > 0 && gloss[hole - 1] == ' ';
  return gloss.erase(spaced ? hole - 1 : hole, spaced ? 4 : 3);
}

}  // namespace

const std::vector<AlarmGlossEntry>& AlarmGlossary() {
  // The AC channel rows' texts start with 交流屏 (AC panel) and the channel
  // number; the unit rows' text 其他告警 means "other alarm". The DC battery
  // fuse texts run 直流1 .. 直流20 (DC battery fuse 1 .. 20); the rectifier
  // texts 模块1 .. (module 1 ..). The model check's text holds 本驱动类型
  // (driver type) and 检测型号 (model detected).
  static const std::vector<AlarmGlossEntry> entries = {
      {"AC_0", "06015", "AC channel {n} input voltage low, line/phase voltage AB/A", kAcChannel},
      {"AC_1", "06015", "AC channel {n} input voltage low, line/phase voltage BC/B", kAcChannel},
      {"AC_2", "06015", "AC channel {n} input voltage low, line/phase voltage CA/C", kAcChannel},
      {"AC_3", "06019", "AC channel {n} input frequency low", kAcChannel},
      {"AC_4", "06014", "AC channel {n} input voltage high, line/phase voltage AB/A", kAcChannel},
      {"AC_5", "06014", "AC channel {n} input voltage high, line/phase voltage BC/B", kAcChannel},
      {"AC_6", "06014", "AC channel {n} input voltage high, line/phase voltage CA/C", kAcChannel},
      {"AC_7", "06018", "AC channel {n} input frequency high", kAcChannel},
      {"AC_8", "06017", "AC channel {n} input phase missing, line/phase voltage AB/A", kAcChannel},
      {"AC_9", "06017", "AC channel {n} input phase missing, line/phase voltage BC/B", kAcChannel},
      {"AC_10", "06017", "AC channel {n} input phase missing, line/phase voltage CA/C", kAcChannel},
      {"AC_12", "06029", "phase A input current below its lower limit"},
      {"AC_13", "06029", "phase B input current below its lower limit"},
      {"AC_14", "06029", "phase C input current below its lower limit"},
      {"AC_15", "06029", "phase A input current above its upper limit"},
      {"AC_16", "06029", "phase B input current above its upper limit"},
      {"AC_17", "06029", "phase C input current above its upper limit"},
      {"AC_18", "06029", "phase A input current missing"},
      {"AC_19", "06029", "phase B input current missing"},
      {"AC_20", "06029", "phase C input current missing"},
      {"DC_0", "06008", "DC output voltage low"},
      {"DC_1", "06009", "DC output voltage high"},
      {"DC_3", "06001", "battery fuse {n} fault", kDcFuse},
      {"KORVAN_DC_0", "06079",
       "first-stage low-voltage disconnection: the switch opened, the loads behind it lost power"},
      {"KORVAN_DC_1", "06080",
       "second-stage low-voltage disconnection: the switch opened, the loads behind it lost "
       "power"},
      {"KORVAN_DC_2", "06007", "load fuse 1 fault"},
      {"KORVAN_DC_3", "06029", "battery 1 voltage low"},
      {"KORVAN_DC_4", "06003", "battery 1 temperature high"},
      {"KORVAN_DC_5", "06007", "load fuse 2 fault"},
      {"KORVAN_DC_6", "06001", "battery 2 voltage low"},
      {"KORVAN_DC_7", "06003", "battery 2 temperature high"},
      {"KORVAN_DC_8", "06007", "load fuse 3 fault"},
      {"KORVAN_DC_9", "06001", "battery 3 voltage low"},
      {"KORVAN_DC_10", "06003", "battery 3 temperature high"},
      {"RC_0", "06024", "rectifier module {n} fault", kRcModule},
      {"device_model", "70319",
       "device configuration check: the power system reports a model the driver does not "
       "support"},
      {"driver_restart_failed", "90001",
       "the driver was made anew and the power system's replies are still refused"},
      {"communication_lost", "90002", "no polling cycle completed for the configured time"},
      {"config_mismatch", "90003",
       "the power system reports other AC or DC unit counts than configured"},
  };
  return entries;
}

std::string AlarmGloss(const std::string& id, const std::string& code, const std::string& text) {
  static const std::map<std::pair<std::string, std::string>, const AlarmGlossEntry*> by_key = [] {
    std::map<std::pair<std::string, std::string>, const AlarmGlossEntry*> built;
    for (const AlarmGlossEntry& entry : AlarmGlossary()) {
      built.emplace(std::make_pair(std::string(entry.id), std::string(entry.code)), &entry);
    }
    return built;
  }();
  const auto found = by_key.find({id, code});
  if (found == by_key.end()) return std::string();
  const AlarmGlossEntry& entry = *found->second;
  const std::string number = entry.number_after ? NumberAfter(text, entry.number_after) : "";
  return WithNumber(entry.gloss, number);
}

}  // namespace runtime
