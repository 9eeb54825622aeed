#include "fuzz/reply_floats.h"

#include <algorithm>
#include <cstddef>

#include "fuzz/fuzz_check.h"

namespace reply_floats {

namespace {

using AcHead = tele_c_korvan_ac;
using AcChannel = tele_c_korvan_ac_channel;
using DcRecord = tele_c_korvan_dc;
using RcSystem = tele_c_korvan_rc;
using RcModule = tele_c_korvan_rc_channel;

const Bytes kZero = {0x00, 0x00, 0x00, 0x00};
const Bytes kMinusTenth = {0xCD, 0xCC, 0xCC, 0xBD};  // -0.1f

template <typename Record>
void Append(Bytes& out, const Record& record) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  out.insert(out.end(), bytes, bytes + sizeof(Record));
}

// Reads the reply from the front; a value is taken only when all of it lies
// within the reply.
class Cursor {
 public:
  Cursor(const unsigned char* data, std::size_t size, Walk& walk)
      : data_(data), size_(size), walk_(walk) {}

  bool Fits(std::size_t count) const { return at_ <= size_ && count <= size_ - at_; }
  bool Byte(std::size_t& value) {
    if (!Fits(1)) return false;
    value = data_[at_++];
    return true;
  }
  void Skip(std::size_t count) { at_ += count; }
  // A value for record offset `offset`; `marker` (or null) is what a no-data
  // marker is stored as.
  bool Value(std::size_t offset, const Bytes* marker) {
    if (!Fits(4)) return false;
    const unsigned char* raw = data_ + at_;
    const bool no_data = raw[0] != 0 && raw[1] == raw[0] && raw[2] == raw[0] && raw[3] == raw[0];
    walk_.writes.push_back({offset, marker != nullptr && no_data ? *marker : Bytes(raw, raw + 4)});
    at_ += 4;
    return true;
  }
  // Up to `count` bytes from `offset` on, as many as the reply holds, in
  // four-byte values.
  void Copy(std::size_t offset, std::size_t count) {
    const std::size_t held = at_ <= size_ ? std::min(count, size_ - at_) : 0;
    for (std::size_t k = 0; k < held; k += 4) {
      const std::size_t length = std::min<std::size_t>(4, held - k);
      walk_.writes.push_back({offset + k, Bytes(data_ + at_ + k, data_ + at_ + k + length)});
    }
    at_ += held;
  }
  void Complete() {
    walk_.complete = at_ <= size_;
    walk_.end = at_;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  Walk& walk_;
};

// Record offsets of the floats of a record of `kind` that has `size` bytes.
std::vector<std::size_t> FloatOffsets(Kind kind, std::size_t size) {
  std::vector<std::size_t> offsets;
  switch (kind) {
    case Kind::kAc:
      offsets = {offsetof(AcHead, ia), offsetof(AcHead, ib), offsetof(AcHead, ic)};
      for (std::size_t at = sizeof(AcHead); at + sizeof(AcChannel) <= size;
           at += sizeof(AcChannel)) {
        for (std::size_t field : {offsetof(AcChannel, a), offsetof(AcChannel, b),
                                  offsetof(AcChannel, c), offsetof(AcChannel, f)}) {
          offsets.push_back(at + field);
        }
        for (std::size_t k = 0; k < AcChannel::P40_41_SIZE(); ++k) {
          offsets.push_back(at + offsetof(AcChannel, user_analog) + 4 * k);
        }
      }
      break;
    case Kind::kDc:
      offsets = {offsetof(DcRecord, v), offsetof(DcRecord, i)};
      for (std::size_t k = 0; k < DcRecord::M_SIZE(); ++k) {
        offsets.push_back(offsetof(DcRecord, m_value) + 4 * k);
      }
      for (std::size_t k = 0; k < DcRecord::P_SIZE(); ++k) {
        offsets.push_back(offsetof(DcRecord, user_p) + 4 * k);
      }
      break;
    case Kind::kRc:
      for (std::size_t at = offsetof(RcSystem, ac_voltage_upper);
           at <= offsetof(RcSystem, dc_voltage_lower); at += 4) {
        offsets.push_back(at);
      }
      for (std::size_t k = 0; k < sizeof(RcSystem::dc_param); k += 4) {
        offsets.push_back(offsetof(RcSystem, dc_param) + k);
      }
      offsets.push_back(offsetof(RcSystem, output_voltage));
      for (std::size_t at = sizeof(RcSystem); at + sizeof(RcModule) <= size;
           at += sizeof(RcModule)) {
        offsets.push_back(at + offsetof(RcModule, output_current));
        for (std::size_t k = 0; k < sizeof(RcModule::user_analog) / 4; ++k) {
          offsets.push_back(at + offsetof(RcModule, user_analog) + 4 * k);
        }
      }
      break;
  }
  return offsets;
}

}  // namespace

// 1 count n, n x { a b c f (4 each), P, P x 4 }, ia ib ic (4 each).
Walk AcAnalog(const unsigned char* data, std::size_t size, std::size_t known) {
  Walk walk;
  Cursor in(data, size, walk);
  std::size_t count = 0;
  if (!in.Byte(count)) return walk;
  if (known != 0 && count != known) return Walk();
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t channel = sizeof(AcHead) + sizeof(AcChannel) * k;
    for (std::size_t field : {offsetof(AcChannel, a), offsetof(AcChannel, b),
                              offsetof(AcChannel, c), offsetof(AcChannel, f)}) {
      if (!in.Value(channel + field, &kZero)) return walk;
    }
    std::size_t p = 0;
    if (!in.Byte(p)) return walk;
    if (p != AcChannel::P40_41_SIZE()) {
      in.Skip(4 * p);
      continue;
    }
    for (std::size_t i = 0; i < p; ++i) {
      if (!in.Value(channel + offsetof(AcChannel, user_analog) + 4 * i, &kMinusTenth)) return walk;
    }
  }
  for (std::size_t field : {offsetof(AcHead, ia), offsetof(AcHead, ib), offsetof(AcHead, ic)}) {
    if (!in.Value(field, &kMinusTenth)) return walk;
  }
  in.Complete();
  return walk;
}

// v, i (4 each), M, M x 4, N, N x 4, P, P x 4.
Walk DcAnalog(const unsigned char* data, std::size_t size) {
  Walk walk;
  Cursor in(data, size, walk);
  if (!in.Value(offsetof(DcRecord, v), nullptr) || !in.Value(offsetof(DcRecord, i), nullptr)) {
    return walk;
  }
  std::size_t count = 0;
  if (!in.Byte(count)) return walk;
  if (count > DcRecord::M_SIZE()) {
    in.Skip(4 * count);
  } else {
    for (std::size_t k = 0; k < count; ++k) {
      if (!in.Value(offsetof(DcRecord, m_value) + 4 * k, nullptr)) return walk;
    }
  }
  if (!in.Byte(count)) return walk;
  if (count > DcRecord::N_SIZE()) {
    in.Skip(4 * count);
  } else {
    for (std::size_t k = 0; k < count; ++k) {
      if (!in.Value(offsetof(DcRecord, n_value) + 4 * k, nullptr)) return walk;
    }
  }
  if (!in.Byte(count)) return walk;
  if (count > DcRecord::P_SIZE()) {  // the rest of the reply is the unit's, unread
    walk.complete = true;
    walk.end = size;
    return walk;
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (!in.Value(offsetof(DcRecord, user_p) + 4 * k, &kMinusTenth)) return walk;
  }
  in.Complete();
  return walk;
}

// flag, output voltage (4), M, M x { current (4), P, P x 4 }.
Walk RcAnalog(const unsigned char* data, std::size_t size, std::size_t known) {
  Walk walk;
  Cursor in(data, size, walk);
  std::size_t flag = 0;
  if (!in.Byte(flag) || !in.Value(offsetof(RcSystem, output_voltage), nullptr)) return walk;
  std::size_t count = 0;
  if (!in.Byte(count)) return walk;
  if (known != 0 && count != known) return walk;  // only the voltage is stored
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t module = sizeof(RcSystem) + sizeof(RcModule) * k;
    if (!in.Value(module + offsetof(RcModule, output_current), nullptr)) return walk;
    std::size_t p = 0;
    if (!in.Byte(p)) return walk;
    if (p != static_cast<std::size_t>(RcModule::P41_41_SIZE())) {
      in.Skip(4 * p);
      continue;
    }
    for (std::size_t i = 0; i < p; ++i) {
      // Any four equal bytes are stored as zero here.
      if (!in.Value(module + offsetof(RcModule, user_analog) + 4 * i, &kZero)) return walk;
    }
  }
  in.Complete();
  return walk;
}

// Five limits (4 each), P, P x 4 unread.
Walk RcAcParameters(const unsigned char* data, std::size_t size) {
  Walk walk;
  Cursor in(data, size, walk);
  for (std::size_t at = offsetof(RcSystem, ac_voltage_upper);
       at <= offsetof(RcSystem, frequency_lower); at += 4) {
    if (!in.Value(at, nullptr)) return walk;
  }
  std::size_t p = 0;
  if (!in.Byte(p)) return walk;
  walk.complete = true;
  walk.end = 21 + 4 * p;
  return walk;
}

// Two limits (4 each), P, with the expected P the values as far as the reply
// holds them.
Walk RcDcParameters(const unsigned char* data, std::size_t size) {
  Walk walk;
  Cursor in(data, size, walk);
  if (!in.Value(offsetof(RcSystem, dc_voltage_upper), nullptr) ||
      !in.Value(offsetof(RcSystem, dc_voltage_lower), nullptr)) {
    return walk;
  }
  std::size_t p = 0;
  if (!in.Byte(p)) return walk;
  if (p == static_cast<std::size_t>(RcSystem::P42_46_NUMBER())) {
    in.Copy(offsetof(RcSystem, dc_param), sizeof(RcSystem::dc_param));
    in.Complete();
  } else {
    walk.complete = true;
    walk.end = 9 + 4 * p;
  }
  return walk;
}

Bytes Record(const KORVAN_AC& unit) {
  Bytes out;
  Append(out, unit.tele());
  for (const auto& channel : unit.channels()) Append(out, channel);
  return out;
}

Bytes Record(const KORVAN_DC& unit) {
  Bytes out;
  Append(out, unit.Tele());
  return out;
}

Bytes Record(const KORVAN_RC& unit) {
  Bytes out;
  Append(out, unit.Tele());
  for (const auto& module : unit.Channels()) Append(out, module);
  return out;
}

void Check(Kind kind, const Bytes& before, const Bytes& after, const Walk& walk, bool taken) {
  Bytes old = before;
  old.resize(std::max(before.size(), after.size()), 0);
  // The write at each record offset, if any.
  std::vector<const Write*> at(old.size() + 1, nullptr);
  for (const Write& w : walk.writes) {
    if (w.offset < at.size()) at[w.offset] = &w;
  }
  for (std::size_t offset : FloatOffsets(kind, after.size())) {
    const auto same = [&](const Bytes& expected) {
      return std::equal(expected.begin(), expected.end(), after.begin() + offset);
    };
    Bytes kept(old.begin() + offset, old.begin() + offset + 4);
    const Write* write = at[offset];
    if (write == nullptr) {
      FUZZ_CHECK(same(kept), "a float that no reply value reaches stays as it was");
      continue;
    }
    Bytes written = kept;
    std::copy(write->bytes.begin(), write->bytes.end(), written.begin());
    if (taken) {
      FUZZ_CHECK(same(written), "a taken reply stores every float it carries as encoded");
    } else {
      FUZZ_CHECK(same(written) || same(kept),
                 "a refused reply leaves a float as it was or stores it as encoded");
    }
  }
}

}  // namespace reply_floats
