// Fuzz target: the runtime's record store (SQLite) with arbitrary rows, read
// back the ways the runtime reads them. Cache rows and history rows are
// written with any data id, record type and bytes; then, and between the
// writes when the input asks:
// - every cache row reads back as the bytes last put under its key, the
//   types under a data id are those put, in ascending order;
// - the history reads back as the rows appended, oldest first, the newest
//   rows_per_device of each data id and type kept, whole or filtered by data
//   id or cut to the newest rows;
// - every history row goes through the decoder as the history command does
//   (decoded, or shown as hex that reads back as its bytes);
// - every cache row of a unit's type is offered to a unit as the runtime's
//   restore does; UnitDriver checks what the unit makes of it, and a blob
//   that the unit takes decodes.
//
// Input: bound byte (rows kept per device: 1 + byte % 4), then operations:
//   0  put a cache row: data id byte (% 4), type byte, blob block
//   1  append a history row: the same operands
//   2  read everything back and check it
// Type byte: 0..2 the unit types 5209..5211, else any type (the byte itself).

#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz/checking_controller.h"
#include "fuzz/fixed_host.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unit_drivers.h"
#include "records/record_decode.h"
#include "tools/replay/hex_text.h"
#include "store/record_store.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Key = std::pair<std::uint32_t, int>;

constexpr int kMaxOperations = 48;

struct Row {
  std::uint32_t data_id;
  int type;
  Bytes bytes;
};

class StoreRun {
 public:
  explicit StoreRun(unsigned int rows_per_device)
      : store_(":memory:", runtime::HistoryBound{rows_per_device, 7, 100}),
        rows_per_device_(rows_per_device) {}

  void Put(const Row& row) {
    store_.PutCache(row.data_id, row.type, fixed_host::Now(), row.bytes.data(), row.bytes.size());
    cache_[Key{row.data_id, row.type}] = row.bytes;
  }

  void Append(const Row& row) {
    store_.AppendHistory(row.data_id, row.type, fixed_host::Now(), row.bytes.data(),
                         row.bytes.size());
    history_.push_back(row);
    // Only the newest rows of each data id and type stay.
    std::size_t kept = 0;
    for (auto it = history_.rbegin(); it != history_.rend(); ++it) {
      if (it->data_id == row.data_id && it->type == row.type) ++kept;
    }
    if (kept > rows_per_device_) {
      history_.erase(std::find_if(history_.begin(), history_.end(), [&](const Row& old) {
        return old.data_id == row.data_id && old.type == row.type;
      }));
    }
  }

  void Check() {
    CheckCache();
    CheckHistory();
  }

 private:
  void CheckCache() {
    FUZZ_CHECK(store_.CacheRows() == static_cast<std::int64_t>(cache_.size()),
               "one cache row per data id and type");
    std::map<std::uint32_t, std::vector<int>> types;
    for (const auto& [key, bytes] : cache_) {
      types[key.first].push_back(key.second);
      const std::optional<Bytes> found = store_.FindCache(key.first, key.second);
      FUZZ_CHECK(found && *found == bytes, "a cache row reads back as the bytes last put");
      Restore(key.second, bytes);
    }
    for (const auto& [id, listed] : types) {
      FUZZ_CHECK(store_.CacheTypes(id) == listed, "the cached types of a data id, ascending");
    }
    FUZZ_CHECK(!store_.FindCache(99, 0), "no cache row under a key never put");
  }

  // As the runtime restores a unit: the unit of the type gets the blob.
  void Restore(int type, const Bytes& blob) {
    if (type < records::kAcSnapshot || type > records::kRectifierSnapshot) return;
    std::unique_ptr<UnitDriver> driver =
        UnitDriver::Make(static_cast<std::uint8_t>(type - records::kAcSnapshot),
                         std::make_shared<CheckingController>());
    if (!driver->Restore(blob)) return;
    Json::Value decoded;
    std::string error;
    FUZZ_CHECK(records::Decode(type, blob.data(), blob.size(), decoded, error),
               "a blob that a unit takes decodes");
  }

  void CheckHistory() {
    const std::vector<runtime::HistoryRow> rows = store_.History(std::nullopt, 0);
    FUZZ_CHECK(rows.size() == history_.size(), "the history keeps the newest rows of each device");
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const runtime::HistoryRow& row = rows[k];
      FUZZ_CHECK(row.data_id == history_[k].data_id && row.record_type == history_[k].type &&
                     row.record == history_[k].bytes,
                 "the history reads back as appended, oldest first");
      FUZZ_CHECK(k == 0 || row.id > rows[k - 1].id, "history rows are numbered as appended");
      Json::Value decoded;
      std::string error;
      if (!records::Decode(row.record_type, row.record.data(), row.record.size(), decoded, error)) {
        FUZZ_CHECK(!error.empty(), "an undecoded row says why");
        const std::optional<Bytes> shown = hex_text::Decode(hex_text::Encode(row.record));
        FUZZ_CHECK(shown && *shown == row.record, "an undecoded row is shown as its bytes");
      }
    }
    const std::vector<runtime::HistoryRow> newest = store_.History(std::nullopt, 2);
    FUZZ_CHECK(newest.size() == std::min<std::size_t>(2, rows.size()) &&
                   (newest.empty() || newest.back().id == rows.back().id),
               "the newest history rows, oldest first");
    for (std::uint32_t id = 0; id < 4; ++id) {
      std::size_t expected = 0;
      for (const Row& row : history_) expected += row.data_id == id ? 1 : 0;
      const std::vector<runtime::HistoryRow> of = store_.History(id, 0);
      FUZZ_CHECK(of.size() == expected, "the history of one data id");
      for (const runtime::HistoryRow& row : of) {
        FUZZ_CHECK(row.data_id == id, "the history of one data id holds only its rows");
      }
    }
    for (const Row& row : history_) {
      std::int64_t expected = 0;
      for (const Row& other : history_) {
        expected += other.data_id == row.data_id && other.type == row.type ? 1 : 0;
      }
      FUZZ_CHECK(store_.HistoryRows(row.data_id, row.type) == expected,
                 "history rows are counted per data id and type");
    }
  }

  runtime::RecordStore store_;
  std::size_t rows_per_device_;
  std::map<Key, Bytes> cache_;
  std::vector<Row> history_;
};

Row ReadRow(FuzzInput& input) {
  Row row;
  row.data_id = input.Byte() % 4;
  const std::uint8_t type = input.Byte();
  row.type = type < 3 ? records::kAcSnapshot + type : type;
  row.bytes = input.Block();
  return row;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fixed_host::BeginInput();
  FuzzInput input(data, size);
  StoreRun run(1 + input.Byte() % 4);
  for (int operation = 0; operation < kMaxOperations && !input.Empty(); ++operation) {
    switch (input.Byte() % 3) {
      case 0:
        run.Put(ReadRow(input));
        break;
      case 1:
        run.Append(ReadRow(input));
        break;
      default:
        run.Check();
        break;
    }
  }
  run.Check();
  return 0;
}
