#pragma once

#include <boost/lexical_cast.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/host_clock.h"
#include "host/ttime.h"
#include "units/common/deferred_job.h"
#include "units/common/packed_field.h"
#include "units/rc/pmbus_power_rc.h"

// End of a polling cycle in the rectifier group: snapshot, module rules and
// the deferred check.

// A rule passed once per module. Its text names the module:
// text_prefix + module number + text_suffix.
struct RcModuleAlarmRow {
  int level;
  std::string id;
  std::string code;
  std::string name;
  std::string text_prefix;
  std::string text_suffix;
  std::size_t state_offset;   // byte of the module record that the rule watches
  std::uint8_t active_value;  // the rule is active when that byte has this value
};

template <typename TeleRCChannel>
const std::vector<RcModuleAlarmRow>& RcModuleAlarmRows() {
  static const std::vector<RcModuleAlarmRow> rows = {
      {2, "RC_0", "06024", "整流模块故障告警", "模块", "整流模块故障告警",
       offsetof(TeleRCChannel, fault), 1},
  };
  return rows;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
const std::vector<std::string>& PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::FaultTexts() {
  const std::vector<RcModuleAlarmRow>& rows = RcModuleAlarmRows<TeleRCChannel>();
  const std::size_t wanted = channels_.size() * rows.size();
  if (fault_texts_.size() != wanted) {
    fault_texts_.clear();
    fault_texts_.reserve(wanted);
    for (std::size_t module = 1; module <= channels_.size(); ++module) {
      const std::string number = boost::lexical_cast<std::string>(module);
      for (const RcModuleAlarmRow& row : rows) {
        fault_texts_.push_back(row.text_prefix + number + row.text_suffix);
      }
    }
  }
  return fault_texts_;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
  data_ready_ = true;
  last_update_ = host_clock::LocalNow();
  const ttime stamp = get_ttime(host_clock::LocalNow());
  std::memcpy(FieldAddress(tele_, offsetof(TeleRC, stamp)), stamp.bytes, sizeof stamp.bytes);

  // The snapshot always fits the current module count (and is then exactly
  // what LoadFromCache takes back); it is reused while the count holds.
  const std::size_t modules_bytes = sizeof(TeleRCChannel) * channels_.size();
  const auto length = static_cast<std::uint32_t>(sizeof(TeleRC) + modules_bytes);
  if (!snapshot_ || snapshot_len_ != length) {
    snapshot_ = std::make_unique<unsigned char[]>(length);
    snapshot_len_ = length;
  }
  std::memcpy(snapshot_.get(), &tele_, sizeof(TeleRC));
  if (modules_bytes != 0)
    std::memcpy(snapshot_.get() + sizeof(TeleRC), channels_.data(), modules_bytes);
  SendSP(RT_RC, snapshot_.get(), snapshot_len_, false);

  const std::vector<RcModuleAlarmRow>& rows = RcModuleAlarmRows<TeleRCChannel>();
  const std::vector<std::string>& texts = FaultTexts();
  alarm_sequence_ = 1;
  std::size_t text = 0;
  for (const TeleRCChannel& channel : channels_) {
    for (const RcModuleAlarmRow& row : rows) {
      const bool active = LoadField<std::uint8_t>(channel, row.state_offset) == row.active_value;
      CheckThresholdBool(row.level, row.id, row.code, row.name, texts[text++], active,
                         alarm_sequence_);
      ++alarm_sequence_;
    }
  }
  DoImpCheckAlert();

  // The job keeps the device alive until the host has run it, and saves the
  // snapshot of its own cycle (kept when it is handed over), even when the
  // host runs it while a later cycle rewrites (or resizes) snapshot_.
  deferred_job::HandOver(
      *this, this->shared_from_this(), pending_rules_,
      [this](const std::vector<rule_value>& rules, const deferred_job::Bytes& saved) {
        if (DoBatchCheckThreshold(rules)) alarm_changed_ = true;
        SaveDeviceHistory(saved.data(), static_cast<unsigned int>(saved.size()));
      },
      snapshot_.get(), snapshot_len_);
}
