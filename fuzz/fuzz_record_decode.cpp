// Fuzz target: the record decoder of the tools (records::Decode), which turns
// published records, history rows and cache blobs into JSON. Checked:
// - it never throws, and takes a blob exactly when its length fits the
//   layout of its type by the blob's own count byte (any other type is
//   refused); a refusal says why and names the blob's length;
// - a taken blob gives its type, length, data id, stamp text and one list
//   entry per channel or module, every float as a number that reads back as
//   the stored float (or as the text for NaN and the infinities), and a JSON
//   line that reads back;
// - the unit of the type takes the same blobs from the cache (an AC blob
//   without channels excepted, too short for the unit), and the summary's
//   views read the same counts;
// - the vocabulary reads the same values from the bytes as from the decoded
//   record, and none from a blob that does not decode.
//
// Input: type choice (0: 5209, 1: 5210, 2: 5211, else the next two bytes as
// the type), then the blob.

#include <json/reader.h>
#include <json/value.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/checking_controller.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "runtime/snapshot_views.h"
#include "units/ac/korvan_ac.h"
#include "units/dc/korvan_dc.h"
#include "units/rc/korvan_rc.h"

namespace {

using Bytes = std::vector<unsigned char>;

float FloatAt(const Bytes& blob, std::size_t offset) {
  float value;
  std::memcpy(&value, blob.data() + offset, sizeof value);
  return value;
}

void CheckFloat(const Json::Value& decoded, const Bytes& blob, std::size_t offset) {
  const float stored = FloatAt(blob, offset);
  if (std::isnan(stored)) {
    FUZZ_CHECK(decoded == "NaN", "a NaN is written as a text");
  } else if (std::isinf(stored)) {
    FUZZ_CHECK(decoded == (stored > 0 ? "Infinity" : "-Infinity"),
               "an infinity is written as a text");
  } else {
    FUZZ_CHECK(decoded.isDouble() || decoded.isIntegral(), "a float is written as a number");
    const auto back = static_cast<float>(decoded.asDouble());
    FUZZ_CHECK(std::memcmp(&back, &stored, sizeof back) == 0 || (back == 0 && stored == 0),
               "a float's number reads back as the stored float");
  }
}

template <typename Unit>
bool UnitTakes(const Bytes& blob) {
  auto unit = std::make_shared<Unit>();
  unit->Init(std::make_shared<CheckingController>(), 1, Json::Value());
  return unit->LoadFromCache(blob.empty() ? nullptr : blob.data(), static_cast<int>(blob.size()));
}

// The length a blob of `type` must have by its own count byte; 0 when none fits.
std::size_t LayoutLength(int type, const Bytes& blob) {
  switch (type) {
    case records::kAcSnapshot:
      return blob.size() >= 33 ? 33 + 25 * std::size_t{blob[16]} : 0;
    case records::kDcRecord:
      return 92;
    case records::kRectifierSnapshot:
      return blob.size() >= 101 ? 101 + 12 * std::size_t{blob[93]} : 0;
    default:
      return 0;
  }
}

std::size_t StampOffset(int type) {
  switch (type) {
    case records::kAcSnapshot:
      return offsetof(tele_c_korvan_ac, stamp);
    case records::kDcRecord:
      return offsetof(tele_c_korvan_dc, stamp);
    default:
      return offsetof(tele_c_korvan_rc, stamp);
  }
}

// "Y-M-D h:m:s" with the stored numbers (year u16 LE), whatever date they make.
void CheckStamp(const std::string& text, const Bytes& blob, std::size_t at) {
  unsigned int fields[6] = {};
  char end = 0;
  const int read = std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u%c", &fields[0], &fields[1],
                               &fields[2], &fields[3], &fields[4], &fields[5], &end);
  FUZZ_CHECK(read == 6, "the stamp is a time text");
  FUZZ_CHECK(fields[0] == static_cast<unsigned int>(blob[at] | blob[at + 1] << 8),
             "the stamp's year is the stored one");
  for (std::size_t k = 1; k < 6; ++k) {
    FUZZ_CHECK(fields[k] == blob[at + 1 + k], "the stamp's fields are the stored ones");
  }
}

void CheckAc(const Json::Value& out, const Bytes& blob) {
  FUZZ_CHECK(out["channels"].size() == blob[16], "one entry per AC channel");
  for (std::size_t offset : {4u, 8u, 12u}) {
    CheckFloat(out[offset == 4 ? "ia" : offset == 8 ? "ib" : "ic"], blob, offset);
  }
  for (Json::ArrayIndex k = 0; k < out["channels"].size(); ++k) {
    const Json::Value& channel = out["channels"][k];
    const std::size_t at = 33 + 25 * std::size_t{k};
    CheckFloat(channel["a"], blob, at);
    CheckFloat(channel["b"], blob, at + 4);
    CheckFloat(channel["c"], blob, at + 8);
    CheckFloat(channel["f"], blob, at + 12);
  }
  const std::optional<unsigned int> count = runtime::AcChannelCount(blob);
  FUZZ_CHECK(count && *count == blob[16], "the summary reads the AC channel count");
  FUZZ_CHECK(UnitTakes<KORVAN_AC>(blob) == (blob[16] != 0),
             "the AC unit takes the blobs with channels that decode");
}

void CheckDc(const Json::Value& out, const Bytes& blob) {
  CheckFloat(out["v"], blob, 4);
  CheckFloat(out["i"], blob, 8);
  for (Json::ArrayIndex k = 0; k < out["user_p"].size(); ++k) {
    CheckFloat(out["user_p"][k], blob, 27 + 4 * std::size_t{k});
  }
  FUZZ_CHECK(UnitTakes<KORVAN_DC>(blob), "the DC unit takes the blobs that decode");
}

void CheckRc(const Json::Value& out, const Bytes& blob) {
  FUZZ_CHECK(out["modules"].size() == blob[93], "one entry per module");
  CheckFloat(out["output_voltage"], blob, 89);
  for (Json::ArrayIndex k = 0; k < out["dc_param"].size(); ++k) {
    CheckFloat(out["dc_param"][k], blob, 33 + 4 * std::size_t{k});
  }
  for (Json::ArrayIndex k = 0; k < out["modules"].size(); ++k) {
    CheckFloat(out["modules"][k]["output_current"], blob, 101 + 12 * std::size_t{k});
  }
  const std::optional<runtime::RectifierView> view = runtime::ReadRectifierSnapshot(blob);
  FUZZ_CHECK(view && view->modules.size() == blob[93], "the summary reads the modules");
  FUZZ_CHECK(UnitTakes<KORVAN_RC>(blob), "the rectifier group takes the blobs that decode");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixed_host::BeginInput();
  FuzzInput input(data, size);
  const std::uint8_t choice = input.Byte();
  int type = records::kAcSnapshot + choice;
  if (choice > 2) type = input.U16();
  const Bytes blob = input.Rest();

  Json::Value out;
  std::string error;
  const bool decoded =
      records::Decode(type, blob.empty() ? nullptr : blob.data(), blob.size(), out, error);
  std::vector<vocabulary::Reading> readings;
  FUZZ_CHECK(vocabulary::ReadingsOf(type, 1, blob.empty() ? nullptr : blob.data(), blob.size(),
                                    readings) == decoded,
             "values are read from the bytes exactly when the blob decodes");
  const std::size_t expected = LayoutLength(type, blob);
  FUZZ_CHECK(decoded == (expected != 0 && blob.size() == expected),
             "a blob decodes exactly when its length fits its type's layout");
  if (!decoded) {
    FUZZ_CHECK(!error.empty(), "a refusal says why");
    const bool known = type >= records::kAcSnapshot && type <= records::kRectifierSnapshot;
    FUZZ_CHECK(!known || error.find(std::to_string(blob.size())) != std::string::npos,
               "a refusal names the blob's length");
    if (type == records::kDcRecord) FUZZ_CHECK(!UnitTakes<KORVAN_DC>(blob), "DC refuses it too");
    if (type == records::kRectifierSnapshot) {
      FUZZ_CHECK(!runtime::ReadRectifierSnapshot(blob), "the summary refuses it too");
    }
    return 0;
  }

  FUZZ_CHECK(out["type"].asInt() == type && out["length"].asUInt64() == blob.size(),
             "a decoded record names its type and length");
  std::uint32_t id;
  std::memcpy(&id, blob.data(), sizeof id);
  FUZZ_CHECK(out["data_id"].asUInt() == id, "a decoded record has its data id");
  CheckStamp(out["stamp"].asString(), blob, StampOffset(type));
  switch (type) {
    case records::kAcSnapshot:
      CheckAc(out, blob);
      break;
    case records::kDcRecord:
      CheckDc(out, blob);
      break;
    default:
      CheckRc(out, blob);
      break;
  }

  const std::vector<vocabulary::NamedValue> values = vocabulary::ValuesOf(type, 1, out);
  FUZZ_CHECK(readings.size() == values.size(), "the bytes give as many values as the JSON");
  for (std::size_t k = 0; k < readings.size(); ++k) {
    const float a = static_cast<float>(readings[k].value);
    const float b = static_cast<float>(values[k].value);
    FUZZ_CHECK(readings[k].variable == values[k].variable && readings[k].item == values[k].item &&
                   (a == b || (std::isnan(a) && std::isnan(b))),
               "the bytes give the decoded record's values");
  }

  const std::string line = json_text::Line(out);
  Json::Value back;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  FUZZ_CHECK(reader->parse(line.data(), line.data() + line.size(), &back, nullptr) &&
                 back.size() == out.size(),
             "a decoded record's JSON line reads back");
  return 0;
}
