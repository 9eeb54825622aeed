#include "console/alarm_glossary.h"

#include <map>
#include <utility>

namespace runtime {

const std::vector<AlarmGlossEntry>& AlarmGlossary() {
  // The AC channel rows' texts start with 交流屏 (AC panel) and the channel
  // number; the unit rows' text 其他告警 means "other alarm". The DC battery
  // fuse texts run 直流1 .. 直流20 (DC battery fuse 1 .. 20); the rectifier
  // texts 模块1 .. (module 1 ..). The model check's text holds 本驱动类型
  // (driver type) and 检测型号 (model detected).
  static const std::vector<AlarmGlossEntry> entries = {
      {"AC_0", "06015", "AC input voltage low, line/phase voltage AB/A"},
      {"AC_1", "06015", "AC input voltage low, line/phase voltage BC/B"},
      {"AC_2", "06015", "AC input voltage low, line/phase voltage CA/C"},
      {"AC_3", "06019", "AC input frequency low"},
      {"AC_4", "06014", "AC input voltage high, line/phase voltage AB/A"},
      {"AC_5", "06014", "AC input voltage high, line/phase voltage BC/B"},
      {"AC_6", "06014", "AC input voltage high, line/phase voltage CA/C"},
      {"AC_7", "06018", "AC input frequency high"},
      {"AC_8", "06017", "AC input phase missing, line/phase voltage AB/A"},
      {"AC_9", "06017", "AC input phase missing, line/phase voltage BC/B"},
      {"AC_10", "06017", "AC input phase missing, line/phase voltage CA/C"},
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
      {"DC_3", "06001", "battery fuse fault"},
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
      {"RC_0", "06024", "rectifier module fault"},
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

std::string AlarmGloss(const std::string& id, const std::string& code) {
  static const std::map<std::pair<std::string, std::string>, std::string> by_key = [] {
    std::map<std::pair<std::string, std::string>, std::string> built;
    for (const AlarmGlossEntry& entry : AlarmGlossary()) {
      built.emplace(std::make_pair(std::string(entry.id), std::string(entry.code)), entry.gloss);
    }
    return built;
  }();
  const auto found = by_key.find({id, code});
  return found == by_key.end() ? std::string() : found->second;
}

}  // namespace runtime
