#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "host/host_clock.h"
#include "units/common/byte_reader.h"
#include "units/common/packed_field.h"
#include "units/rc/pmbus_power_rc.h"

// Binding, point reads and cache restore of the rectifier group.

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(KMXVDevice* parent, unsigned int id,
                                                       const Json::Value& config) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
      static_cast<unsigned char>(id >> 16), static_cast<unsigned char>(id >> 24)};
  std::memcpy(FieldAddress(tele_, offsetof(TeleRC, data_id)), bytes, sizeof bytes);
  return KMXSPDevice::InitV(parent, id, config);
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned int,
                                                            const std::string&) const {
  if (!data_ready_) throw std::out_of_range("数据未就绪");
  // A clock that went back counts as fresh.
  const std::int64_t age = (host_clock::LocalNow() - last_update_).total_seconds();
  if (age >= 61) throw std::out_of_range("数据已超时");
  throw std::out_of_range("数据未就绪");  // the group has no named points
}

// The blob is the snapshot: the system record, then module_count module
// records. It is checked as a whole before anything is replaced, so a refused
// blob leaves records, data-ready flag and last-update time as they were.
template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const unsigned char* data,
                                                               int length) {
  constexpr int kRecord = sizeof(TeleRC);
  constexpr int kModule = sizeof(TeleRCChannel);
  std::cout << "rc data_len:" << length << " vs " << kRecord << std::endl;
  if (data == nullptr || length < kRecord) return false;

  const unsigned int count = data[offsetof(TeleRC, module_count)];
  const int left = length - kRecord;
  std::cout << "rc channelLen " << kModule << " and " << count << " left:" << left << std::endl;
  if (left != kModule * static_cast<int>(count)) return false;

  ByteReader blob(data, length);
  blob.ReadBytes(&tele_, kRecord);
  channels_.resize(count);
  for (TeleRCChannel& channel : channels_) blob.ReadBytes(&channel, kModule);
  data_ready_ = true;
  last_update_ = host_clock::LocalNow();
  return true;
}
