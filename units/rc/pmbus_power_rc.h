#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/kmx_spdevice.h"

// The rectifier group: all rectifier modules of one power system, plus the AC
// and DC parameters the power system reports. TeleRC is the system record,
// TeleRCChannel the per-module record, RT_RC the record type of the snapshot.
//
// Invariant: tele_.module_count equals channels_.size(). Only parse41_41 (while
// no module is known) and LoadFromCache change either, and always together.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public KMXSPDevice {
 public:
  PMBusPowerRC() : tele_() {}

  // Never returns: the group serves no named point, so every read ends in
  // one of the status texts.
  float Get_Value(unsigned int id, const std::string& name) const override;
  using KMXSPDevice::LoadFromCache;
  // Takes over a snapshot blob; false (and nothing changed) when it is refused.
  bool LoadFromCache(const unsigned char* data, int length) override;
  // Publishes the snapshot, passes one fault rule per module, defers the check.
  void RoundDone() override;
  ~PMBusPowerRC() override = default;
  bool InitV(KMXVDevice* parent, unsigned int id, const Json::Value& config) override;

  // Reply parsers: the reply's information field and its length; each returns
  // the bytes consumed or -1 when the reply is rejected.
  virtual int parse41_41(const unsigned char* data, int length);
  virtual int parse41_43(const unsigned char* data, int length);
  virtual int parse41_44(const unsigned char* data, int length);
  virtual int parse40_46(const unsigned char* data, int length);
  virtual int parse42_46(const unsigned char* data, int length);
  // Product hook, called in RoundDone after the module rules.
  virtual void DoImpCheckAlert() {}

  // Read-only views for the host's tools and the tests.
  const TeleRC& Tele() const { return tele_; }
  const std::vector<TeleRCChannel>& Channels() const { return channels_; }

 protected:
  TeleRC tele_;
  std::vector<TeleRCChannel> channels_;
  std::uint32_t snapshot_len_ = 0;
  std::unique_ptr<unsigned char[]> snapshot_;

 private:
  void SetModuleCount(std::uint8_t count);
  std::uint8_t ModuleCount() const;
  // 41h/41h failure: logs the overflow line and, if this reply was to fix the
  // module count, forgets the modules again.
  int RejectAnalog(const char* format, std::size_t offset, int length, bool fixing_count);
  void LogOverflow(const char* format, std::size_t offset, int length) const;
  // Fault rule texts, one per module, rebuilt when the module count changes.
  const std::vector<std::string>& FaultTexts();

  std::vector<std::string> fault_texts_;
};

#include "units/rc/pmbus_power_rc_parse.h"
#include "units/rc/pmbus_power_rc_points.h"
#include "units/rc/pmbus_power_rc_round.h"
