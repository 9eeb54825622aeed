#include "fuzz/unit_drivers.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fuzz/channel_point_oracle.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/reply_floats.h"
#include "host/ttime.h"
#include "units/ac/korvan_ac.h"
#include "units/dc/korvan_dc.h"
#include "units/rc/korvan_rc.h"

namespace {

constexpr unsigned int kUnitId = 7;
const std::string kNotReady = "数据未就绪";
const std::string kTimedOut = "数据已超时";

using Bytes = std::vector<unsigned char>;

// Names that the point reads use when the input does not spell one out.
const char* const kUsualPoints[] = {"ia",          "ib_alert",    "channel_0_a", "channel_1_f",
                                    "channel_9_c", "channel_0_x", "v",           "i",
                                    "V",           "xchannel_0_b"};

float FloatAt(const Bytes& bytes, std::size_t offset) {
  float value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

bool SameBits(float left, float right) {
  return std::memcmp(&left, &right, sizeof left) == 0;
}

template <typename Record>
void Append(Bytes& out, const Record& record) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  out.insert(out.end(), bytes, bytes + sizeof(Record));
}

// What differs between the units: how to reach their records and parse
// operations, and the rules that their replies' layouts fix.

struct AcUnit {
  using Unit = KORVAN_AC;
  static constexpr int kType = 5209;
  static constexpr int kParseOperations = 3;
  static constexpr std::size_t kHead = 33;
  static constexpr std::size_t kModule = 25;
  static constexpr std::size_t kCountAt = 16;
  static constexpr std::size_t kStampAt = 26;
  static constexpr bool kHasCount = true;
  static constexpr bool kEmptyRecordRestores = false;  // 33 bytes is too short a blob

  static constexpr reply_floats::Kind kKind = reply_floats::Kind::kAc;

  static std::shared_ptr<Unit> Create() { return std::make_shared<Unit>(); }
  static Bytes Record(const Unit& unit) { return reply_floats::Record(unit); }
  static std::size_t Modules(const Unit& unit) { return unit.channels().size(); }
  // The floats that a reply carries; only the analog section has any.
  static reply_floats::Walk Floats(int operation, const Bytes& in, std::size_t known) {
    return operation == 0 ? reply_floats::AcAnalog(in.data(), in.size(), known)
                          : reply_floats::Walk();
  }
  static int Parse(Unit& unit, int operation, const unsigned char* data, int size) {
    switch (operation) {
      case 0:
        return unit.parse40_41(data, size);
      case 1:
        return unit.parse40_43(data, size);
      default:
        return unit.parse40_44(data, size);
    }
  }
  static void CheckParse(int operation, const Bytes& in, int result, const Bytes& before,
                         std::size_t modules_before, const Unit& unit) {
    const int size = static_cast<int>(in.size());
    FUZZ_CHECK(result <= size, "an AC parse consumes no more than it was given");
    const std::size_t n = Modules(unit);
    switch (operation) {
      case 0:  // analog values: 1 + 17 n + 12 bytes at least
        if (modules_before != 0 && !in.empty() && in[0] != modules_before) {
          FUZZ_CHECK(result == -1 && Record(unit) == before,
                     "an AC analog section with another channel count changes nothing");
        }
        if (result >= 0) {
          FUZZ_CHECK(n == (modules_before != 0 ? modules_before : in[0]),
                     "an accepted AC analog section has the unit's channel count");
          FUZZ_CHECK(result >= static_cast<int>(13 + 17 * n), "an AC analog section is complete");
        }
        break;
      case 1:  // switch states: no switch may be announced
        if (!in.empty() && in[0] > tele_c_korvan_ac::AIRLOCK_MAX()) {
          FUZZ_CHECK(result == -1, "an AC switch section with too many switches is refused");
        }
        break;
      default:  // alarm states: 1 + 6 n + 3 bytes at least
        if (result >= 0) {
          FUZZ_CHECK(result >= static_cast<int>(4 + 6 * n), "an AC alarm section is complete");
        }
        break;
    }
  }
  // The answer to a point read of fresh data: a value (`served`) or the
  // failure text, against the names the unit serves.
  static void CheckPoint(const Unit& unit, const std::string& name, bool served, float value,
                         const std::string& failure) {
    struct HeadPoint {
      const char* name;
      std::size_t offset;
      bool state;
    };
    static const HeadPoint kHead[] = {{"ia", offsetof(tele_c_korvan_ac, ia), false},
                                      {"ib", offsetof(tele_c_korvan_ac, ib), false},
                                      {"ic", offsetof(tele_c_korvan_ac, ic), false},
                                      {"ia_alert", offsetof(tele_c_korvan_ac, ia_alert), true},
                                      {"ib_alert", offsetof(tele_c_korvan_ac, ib_alert), true},
                                      {"ic_alert", offsetof(tele_c_korvan_ac, ic_alert), true}};
    const Bytes head = Record(unit);
    for (const HeadPoint& point : kHead) {
      if (name != point.name) continue;
      const float expected =
          point.state ? static_cast<float>(head[point.offset]) : FloatAt(head, point.offset);
      FUZZ_CHECK(served && SameBits(value, expected), "a head point reads its field");
      return;
    }
    if (name.size() > kChannelPointOracleLimit) return;
    const ChannelPointAnswer answer = AskChannelPointOracle(name);
    if (!answer.found) {
      FUZZ_CHECK(!served && failure == "数据未提供",
                 "a name without a channel point is not served");
      return;
    }
    if (answer.index >= unit.channels().size()) {
      FUZZ_CHECK(!served && failure == "通道参数越界",
                 "a channel beyond the count is out of range");
      return;
    }
    const std::size_t field = answer.key == 'a'   ? offsetof(tele_c_korvan_ac_channel, a)
                              : answer.key == 'b' ? offsetof(tele_c_korvan_ac_channel, b)
                              : answer.key == 'c' ? offsetof(tele_c_korvan_ac_channel, c)
                              : answer.key == 'f' ? offsetof(tele_c_korvan_ac_channel, f)
                                                  : SIZE_MAX;
    if (field == SIZE_MAX) {
      FUZZ_CHECK(!served && failure == "数据未提供", "a channel key other than a, b, c, f fails");
      return;
    }
    const std::size_t index = answer.index;
    Bytes channel;
    Append(channel, unit.channels()[index]);
    FUZZ_CHECK(served && SameBits(value, FloatAt(channel, field)),
               "a channel point reads its field");
  }
};

struct DcUnit {
  using Unit = KORVAN_DC;
  static constexpr int kType = 5210;
  static constexpr int kParseOperations = 2;
  static constexpr std::size_t kHead = 92;
  static constexpr std::size_t kModule = 0;
  static constexpr std::size_t kCountAt = 0;
  static constexpr std::size_t kStampAt = 85;
  static constexpr bool kHasCount = false;
  static constexpr bool kEmptyRecordRestores = true;

  static constexpr reply_floats::Kind kKind = reply_floats::Kind::kDc;

  static std::shared_ptr<Unit> Create() { return std::make_shared<Unit>("KORVAN3"); }
  static Bytes Record(const Unit& unit) { return reply_floats::Record(unit); }
  static std::size_t Modules(const Unit&) { return 0; }
  static reply_floats::Walk Floats(int operation, const Bytes& in, std::size_t) {
    return operation == 0 ? reply_floats::DcAnalog(in.data(), in.size()) : reply_floats::Walk();
  }
  static int Parse(Unit& unit, int operation, const unsigned char* data, int size) {
    return operation == 0 ? unit.parse42_41(data, size) : unit.parse42_44(data, size);
  }
  static void CheckParse(int operation, const Bytes& in, int result, const Bytes&, std::size_t,
                         const Unit&) {
    FUZZ_CHECK(result <= static_cast<int>(in.size()),
               "a DC parse consumes no more than it was given");
    // At least the two values and three counts, or the state and two counts.
    const int least = operation == 0 ? 11 : 3;
    FUZZ_CHECK(result == -1 || result >= least, "a DC block is complete");
  }
  static void CheckPoint(const Unit& unit, const std::string& name, bool served, float value,
                         const std::string& failure) {
    const Bytes record = Record(unit);
    if (name == "v" || name == "i") {
      const std::size_t field =
          name == "v" ? offsetof(tele_c_korvan_dc, v) : offsetof(tele_c_korvan_dc, i);
      FUZZ_CHECK(served && SameBits(value, FloatAt(record, field)), "v and i read their fields");
    } else {
      FUZZ_CHECK(!served && failure == kNotReady, "other DC names are not served");
    }
  }
};

struct RcUnit {
  using Unit = KORVAN_RC;
  static constexpr int kType = 5211;
  static constexpr int kParseOperations = 5;
  static constexpr std::size_t kHead = 101;
  static constexpr std::size_t kModule = 12;
  static constexpr std::size_t kCountAt = 93;
  static constexpr std::size_t kStampAt = 94;
  static constexpr std::size_t kOutputVoltageAt = 89;
  static constexpr bool kHasCount = true;
  static constexpr bool kEmptyRecordRestores = true;

  static constexpr reply_floats::Kind kKind = reply_floats::Kind::kRc;

  static std::shared_ptr<Unit> Create() { return std::make_shared<Unit>(); }
  static Bytes Record(const Unit& unit) { return reply_floats::Record(unit); }
  static std::size_t Modules(const Unit& unit) { return unit.Channels().size(); }
  static reply_floats::Walk Floats(int operation, const Bytes& in, std::size_t known) {
    switch (operation) {
      case 0:
        return reply_floats::RcAnalog(in.data(), in.size(), known);
      case 3:
        return reply_floats::RcAcParameters(in.data(), in.size());
      case 4:
        return reply_floats::RcDcParameters(in.data(), in.size());
      default:
        return reply_floats::Walk();
    }
  }
  static int Parse(Unit& unit, int operation, const unsigned char* data, int size) {
    switch (operation) {
      case 0:
        return unit.parse41_41(data, size);
      case 1:
        return unit.parse41_43(data, size);
      case 2:
        return unit.parse41_44(data, size);
      case 3:
        return unit.parse40_46(data, size);
      default:
        return unit.parse42_46(data, size);
    }
  }
  static void CheckParse(int operation, const Bytes& in, int result, const Bytes& before,
                         std::size_t modules_before, const Unit& unit) {
    const int size = static_cast<int>(in.size());
    const std::size_t m = Modules(unit);
    switch (operation) {
      case 0:  // analog values: flag, voltage, count, 5 bytes per module at least
        FUZZ_CHECK(result <= size, "a rectifier parse consumes no more than it was given");
        if (modules_before != 0 && size >= 6 && in[5] != modules_before) {
          Bytes expected = before;
          std::copy(in.begin() + 1, in.begin() + 5, expected.begin() + kOutputVoltageAt);
          FUZZ_CHECK(result == -1 && Record(unit) == expected,
                     "a rectifier analog reply with another module count stores only the voltage");
        }
        if (result >= 0) {
          FUZZ_CHECK(m == (modules_before != 0 ? modules_before : in[5]),
                     "an accepted rectifier analog reply has the group's module count");
          FUZZ_CHECK(result >= static_cast<int>(6 + 5 * m), "a rectifier analog reply is complete");
        }
        break;
      case 1:  // switch states of at most the known modules
        FUZZ_CHECK(result <= size, "a rectifier parse consumes no more than it was given");
        if (size >= 2 && in[1] > m) {
          FUZZ_CHECK(result == -1 && Record(unit) == before,
                     "switch states of unknown modules change nothing");
        }
        break;
      case 2:  // alarm states: more modules than known is answered with 0
        FUZZ_CHECK(result <= size, "a rectifier parse consumes no more than it was given");
        if (size >= 2 && in[1] > m) {
          FUZZ_CHECK(result == 0 && Record(unit) == before,
                     "alarm states of unknown modules change nothing");
        }
        break;
      case 3:  // AC parameters: 21 bytes and the P values, skipped unread
        if (size < 21) {
          FUZZ_CHECK(result == -1, "AC parameters shorter than 21 bytes are refused");
        } else {
          FUZZ_CHECK(result == 21 + 4 * in[20], "AC parameters consume 21 + 4 P bytes");
        }
        break;
      default:  // DC parameters: 9 bytes and the P values
        if (size < 9) {
          FUZZ_CHECK(result == -1, "DC parameters shorter than 9 bytes are refused");
        } else if (in[8] != tele_c_korvan_rc::P42_46_NUMBER()) {
          FUZZ_CHECK(result == 9 + 4 * in[8], "DC parameters of another count consume 9 + 4 P");
        } else {
          FUZZ_CHECK(
              result == std::min(size, 9 + static_cast<int>(tele_c_korvan_rc::P42_46_SIZE())),
              "DC parameters of the expected count consume what they hold");
        }
        break;
    }
  }
  static void CheckPoint(const Unit&, const std::string&, bool served, float,
                         const std::string& failure) {
    FUZZ_CHECK(!served && failure == kNotReady, "the rectifier group serves no point");
  }
};

template <typename Traits>
class Driver final : public UnitDriver {
 public:
  using Unit = typename Traits::Unit;

  explicit Driver(std::shared_ptr<CheckingController> controller)
      : UnitDriver(std::move(controller)), unit_(Traits::Create()) {
    unit_->Init(controller_, kUnitId, Json::Value());
    unit_->InitV(nullptr, kUnitId, Json::Value());
  }

  int ParseOperations() const override { return Traits::kParseOperations; }

  void Parse(int operation, const Bytes& bytes) override {
    const Bytes before = Traits::Record(*unit_);
    const bool ready = unit_->DataReady();
    const auto last = unit_->LastUpdate();
    const std::size_t modules = Traits::Modules(*unit_);
    const int result = Traits::Parse(*unit_, operation, bytes.empty() ? nullptr : bytes.data(),
                                     static_cast<int>(bytes.size()));
    FUZZ_CHECK(result >= -1, "a parse returns -1 or the bytes it consumed");
    Traits::CheckParse(operation, bytes, result, before, modules, *unit_);

    const Bytes after = Traits::Record(*unit_);
    reply_floats::Check(Traits::kKind, before, after, Traits::Floats(operation, bytes, modules),
                        result >= 0);
    FUZZ_CHECK(std::equal(before.begin(), before.begin() + 4, after.begin()),
               "a parse leaves the data id");
    FUZZ_CHECK(std::equal(before.begin() + Traits::kStampAt, before.begin() + Traits::kStampAt + 7,
                          after.begin() + Traits::kStampAt),
               "a parse leaves the stamp");
    FUZZ_CHECK(unit_->DataReady() == ready && unit_->LastUpdate() == last,
               "a parse leaves the data-ready flag and the last-update time");
    CheckCount();
  }

  void EndCycle() override {
    controller_->TakePublished();
    const bool changed = unit_->AlarmChanged();
    unit_->RoundDone();
    const std::vector<CheckingController::Published> published = controller_->TakePublished();
    FUZZ_CHECK(published.size() == 1 && published[0].type == Traits::kType &&
                   published[0].data_id == kUnitId,
               "a cycle publishes one record of the unit's type");
    const Bytes record = Traits::Record(*unit_);
    FUZZ_CHECK(published[0].bytes == record, "a cycle publishes the unit's record");
    FUZZ_CHECK(record.size() == Traits::kHead + Traits::kModule * Traits::Modules(*unit_),
               "the published record has the formula's length for the current count");
    const ttime stamp = get_ttime(fixed_host::Now());
    FUZZ_CHECK(std::equal(stamp.bytes, stamp.bytes + 7, record.begin() + Traits::kStampAt),
               "the published record carries the time now");
    FUZZ_CHECK(unit_->DataReady() && unit_->LastUpdate() == fixed_host::Now(),
               "a cycle makes the data ready and fresh");
    if (!hold_jobs_) controller_->RunJobs();
    FUZZ_CHECK(!changed || unit_->AlarmChanged(), "the alarm-change flag is never cleared");
    last_published_ = record;
  }

  bool Restore(const Bytes& blob) override {
    const Bytes before = Traits::Record(*unit_);
    const bool ready = unit_->DataReady();
    const auto last = unit_->LastUpdate();
    const bool taken =
        unit_->LoadFromCache(blob.empty() ? nullptr : blob.data(), static_cast<int>(blob.size()));
    if (!taken) {
      FUZZ_CHECK(Traits::Record(*unit_) == before && unit_->DataReady() == ready &&
                     unit_->LastUpdate() == last,
                 "a refused blob changes nothing");
      return false;
    }
    FUZZ_CHECK(
        blob.size() == CheckingController::RecordLength(Traits::kType, blob.data(), blob.size()),
        "a taken blob has the length of its own count byte");
    FUZZ_CHECK(Traits::Record(*unit_) == blob, "a taken blob becomes the record");
    FUZZ_CHECK(unit_->DataReady() && unit_->LastUpdate() == fixed_host::Now(),
               "a taken blob makes the data ready and fresh");
    fixed_modules_ = Traits::Modules(*unit_);
    CheckCount();
    return true;
  }

  void RestoreOwnRecord() override {
    if (last_published_.empty()) return;
    const Bytes record = last_published_;
    const bool taken = Restore(record);
    FUZZ_CHECK(taken || (!Traits::kEmptyRecordRestores && record.size() == Traits::kHead),
               "a unit takes back the record it published");
  }

  const Bytes& LastRecord() const override { return last_published_; }

  void ReadPoint(const std::string& name) override {
    const long age = (fixed_host::Now() - unit_->LastUpdate()).total_seconds();
    bool served = false;
    float value = 0;
    std::string failure;
    try {
      value = unit_->Get_Value(0, name);
      served = true;
    } catch (const std::out_of_range& error) {
      failure = error.what();
    }
    if (!unit_->DataReady()) {
      FUZZ_CHECK(!served && failure == kNotReady, "no point is served before data are ready");
    } else if (age >= 61) {
      FUZZ_CHECK(!served && failure == kTimedOut, "old data time out");
    } else {
      Traits::CheckPoint(*unit_, name, served, value, failure);
    }
  }

 private:
  // The record's count byte is the count of channel or module records; once
  // a reply or a restore fixed it, only a restore changes it.
  void CheckCount() {
    const std::size_t modules = Traits::Modules(*unit_);
    if (Traits::kHasCount) {
      FUZZ_CHECK(Traits::Record(*unit_)[Traits::kCountAt] == modules,
                 "the count byte equals the number of channel or module records");
    }
    if (fixed_modules_ != 0) {
      FUZZ_CHECK(modules == fixed_modules_, "a fixed count stays");
    } else {
      fixed_modules_ = modules;
    }
  }

  std::shared_ptr<Unit> unit_;
  std::size_t fixed_modules_ = 0;
  Bytes last_published_;
};

}  // namespace

UnitDriver::~UnitDriver() = default;

std::unique_ptr<UnitDriver> UnitDriver::Make(std::uint8_t choice,
                                             std::shared_ptr<CheckingController> controller) {
  switch (choice % 3) {
    case 0:
      return std::make_unique<Driver<AcUnit>>(std::move(controller));
    case 1:
      return std::make_unique<Driver<DcUnit>>(std::move(controller));
    default:
      return std::make_unique<Driver<RcUnit>>(std::move(controller));
  }
}

void UnitDriver::Step(FuzzInput& input) {
  const int operation = input.Byte() % Operations();
  if (operation < ParseOperations()) {
    Parse(operation, input.Block());
  } else if (operation == EndCycleOperation()) {
    EndCycle();
  } else if (operation == AdvanceOperation()) {
    fixed_host::Advance(input.Byte());
  } else if (operation == ReadPointOperation()) {
    const std::uint8_t choice = input.Byte();
    if (choice >= 0x80) {
      const Bytes name = input.Block();
      ReadPoint(std::string(name.begin(), name.end()));
    } else {
      ReadPoint(kUsualPoints[choice % (sizeof kUsualPoints / sizeof kUsualPoints[0])]);
    }
  } else if (operation == BatchResultOperation()) {
    controller_->SetBatchResult(input.Byte() & 1);
  } else {
    hold_jobs_ = input.Byte() & 1;
    if (!hold_jobs_) controller_->RunJobs();
  }
}
