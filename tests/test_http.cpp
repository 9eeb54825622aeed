#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/alarm_glossary.h"
#include "http/gzip_body.h"
#include "http/history_series.h"
#include "http/host_check.h"
#include "http/http_auth.h"
#include "http/metrics_text.h"
#include "http/query_gate.h"
#include "http/query_params.h"
#include "http/store_reader.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "runtime/exit_codes.h"
#include "runtime/local_time_text.h"
#include "runtime/time_bound.h"
#include "serving/latest_state.h"
#include "serving/listen_address.h"
#include "store/record_store.h"
#include "tests/support/host_run.h"
#include "tests/support/http_client.h"
#include "tests/support/loopback_port.h"
#include "tests/support/simulated_server.h"
#include "tests/support/temp_dir.h"
#include "tools/cli/http_get.h"
#include "tools/cli/polling_options.h"
#include "tools/cli/query_options.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

using namespace http_output;
using namespace serving;

namespace {

// ---- the parts, without a server -------------------------------------------

TEST(HttpAuthTest, TokenAndBasicFilesGrantTheirCredentialsAlone) {
  TempDir dir;
  HttpAuth token;
  std::string error;
  ASSERT_TRUE(token.Load(dir.Write("token", "s3cret-token\n"), error)) << error;
  HttpAuth basic;
  ASSERT_TRUE(basic.Load(dir.Write("users", "ops:pa:ss\r\nview:only\n"), error)) << error;
  struct Case {
    const HttpAuth* auth;
    std::string header;
    bool allowed;
  } cases[] = {
      {&token, "Bearer s3cret-token", true},
      {&token, "Bearer s3cret-toke", false},
      {&token, "Bearer s3cret-token2", false},
      {&token, "bearer s3cret-token", false},
      {&token, "", false},
      {&basic, "Basic b3BzOnBhOnNz", true},  // ops:pa:ss
      {&basic, "Basic dmlldzpvbmx5", true},  // view:only
      {&basic, "Basic dmlldzpvbmx6", false},
      {&basic, "Basic dmlldzpvbmx5=", false},  // bad base64
      {&basic, "Bearer view:only", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.auth->Allows(c.header), c.allowed) << c.header;
  EXPECT_TRUE(HttpAuth().Allows(""));  // none loaded: nothing asked
  // What a client of the same file sends (korvan-host get) is allowed.
  EXPECT_EQ(token.Authorization(), "Bearer s3cret-token");
  EXPECT_EQ(basic.Authorization(), "Basic b3BzOnBhOnNz");
  EXPECT_EQ(HttpAuth().Authorization(), "");
  for (const std::string user : {"a:", "ab:", "abc:", "u:\xffp"}) {
    HttpAuth one;
    ASSERT_TRUE(one.Parse(user + "x", error)) << error;
    EXPECT_TRUE(one.Allows(one.Authorization())) << user;
    std::string decoded;
    ASSERT_TRUE(http_output::DecodeBase64(http_output::EncodeBase64(user), decoded));
    EXPECT_EQ(decoded, user);
  }
}

TEST(HttpAuthTest, UnusableFilesAreRefusedWithTheirReason) {
  TempDir dir;
  std::string error;
  HttpAuth auth;
  EXPECT_FALSE(auth.Load(dir.File("missing"), error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  EXPECT_FALSE(auth.Load(dir.Write("empty", "\n  \n"), error));
  EXPECT_FALSE(auth.Load(dir.Write("mixed", "ops:pw\nnot a pair\n"), error));
  EXPECT_FALSE(auth.Required());
}

TEST(ListenAddressTest, ParsesAddressesAndTellsLoopbackApart) {
  struct Case {
    std::string text;
    bool ok;
    std::string host;
    int port;
    bool loopback;
  } cases[] = {
      {"8080", true, "127.0.0.1", 8080, true},
      {"0", true, "127.0.0.1", 0, true},
      {"127.0.0.2:9000", true, "127.0.0.2", 9000, true},
      {"[::1]:9000", true, "::1", 9000, true},
      {"localhost:1", true, "localhost", 1, true},
      {"0.0.0.0:80", true, "0.0.0.0", 80, false},
      {"192.168.1.5:80", true, "192.168.1.5", 80, false},
      {"[::]:80", true, "::", 80, false},
      {"65536", false, "", 0, false},
      {"host:", false, "", 0, false},
      {":80", false, "", 0, false},
      {"::1:80", false, "", 0, false},
      {"a b:80", false, "", 0, false},
      {"", false, "", 0, false},
  };
  for (const Case& c : cases) {
    ListenAddress address;
    std::string error;
    ASSERT_EQ(ParseListen(c.text, address, error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
    EXPECT_EQ(IsLoopback(address.host), c.loopback) << c.text;
  }
  const ListenAddress v6{"::1", 0};
  EXPECT_EQ(v6.Url(8080), "http://[::1]:8080/");
}

TEST(HostCheckTest, LoopbackNamesAndTheBoundAddressPassOthersDoNot) {
  struct Case {
    std::string host;
    std::string bound;
    bool allowed;
  } cases[] = {
      {"localhost", "127.0.0.1", true},
      {"LocalHost:8080", "127.0.0.1", true},
      {"127.0.0.1:8080", "127.0.0.1", true},
      {"[::1]:8080", "127.0.0.1", true},
      {"[::1]", "::1", true},
      {"127.0.0.2:80", "127.0.0.2", true},
      {"127.0.0.2:80", "127.0.0.1", false},
      {"evil.example", "127.0.0.1", false},
      {"evil.example:8080", "127.0.0.1", false},
      {"localhost.evil.example", "127.0.0.1", false},
      {"localhost:", "127.0.0.1", false},
      {"localhost:80x", "127.0.0.1", false},
      {"[::1", "127.0.0.1", false},
      {"", "127.0.0.1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HostAllowed(c.host, c.bound), c.allowed) << c.host;
}

TEST(QueryParamsTest, TimeBoundsAndCounts) {
  const std::string local = "2026-03-04 05:06:07";
  const std::optional<std::int64_t> unix = runtime::UnixSecondsOf(local);
  ASSERT_TRUE(unix);
  // The API's bounds are the command line's (runtime/time_bound.h).
  const auto bound = [](const std::string& text) {
    return runtime::ParseTimeBound(text, runtime::RangeEnd::kSince, runtime::UnixNow());
  };
  EXPECT_EQ(bound(std::to_string(*unix)), local);
  EXPECT_EQ(bound(local), local);
  EXPECT_EQ(bound("2026-03-04T05:06:07"), local);
  for (const std::string bad : {"", "2026-13-01 00:00:00", "-5", "99999999999999", "1.5"}) {
    EXPECT_FALSE(bound(bad)) << bad;
  }
  EXPECT_EQ(ParseCount("10", 1, 10), 10u);
  for (const std::string bad : {"0", "11", "", "+1", "1e3", "99999999999"}) {
    EXPECT_FALSE(ParseCount(bad, 1, 10)) << bad;
  }
}

TEST(GzipBodyTest, AcceptEncodingAllowsGzipUnlessRefused) {
  const struct Case {
    const char* header;
    bool gzip;
  } cases[] = {
      {"gzip", true},
      {"gzip, deflate, br", true},
      {"deflate, GZip;q=0.5", true},
      {"x-gzip", true},
      {"*", true},
      {"br;q=1.0, *;q=0.1", true},
      {"", false},
      {"identity", false},
      {"deflate, br", false},
      {"gzip;q=0", false},
      {"gzip; q=0.000, *", false},  // named for itself, refused: "*" does not bring it back
      {"*;q=0", false},
      {"gzipped", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AcceptsGzip(c.header), c.gzip) << c.header;
}

// ---- history series: wildcards and continuing with since -------------------

// A rectifier record of `modules` modules, module m (from 1) giving m + row / 100 A.
std::vector<unsigned char> RectifierRecord(int modules, int row) {
  std::vector<unsigned char> bytes(
      sizeof(tele_c_korvan_rc) + modules * sizeof(tele_c_korvan_rc_channel), 0);
  bytes[offsetof(tele_c_korvan_rc, module_count)] = static_cast<unsigned char>(modules);
  for (int m = 0; m < modules; ++m) {
    const float current = static_cast<float>(m + 1) + static_cast<float>(row) / 100;
    std::memcpy(bytes.data() + sizeof(tele_c_korvan_rc) + m * sizeof(tele_c_korvan_rc_channel) +
                    offsetof(tele_c_korvan_rc_channel, output_current),
                &current, sizeof current);
  }
  return bytes;
}

// A store of `rows` rectifier rows of device 7, one a second from `first`
// (Unix seconds): `modules` modules, but `before` in the rows before `from`.
void WriteRectifierRows(const std::string& db, std::int64_t first, int rows, int modules,
                        int from = 0, int before = 0) {
  runtime::RecordStore store(db, runtime::HistoryBound{0, 0, 0});
  runtime::StoreBatch batch;
  for (int k = 0; k < rows; ++k) {
    const auto bytes = std::make_shared<const std::vector<unsigned char>>(
        RectifierRecord(k < from ? before : modules, k));
    batch.history.push_back({7, records::kRectifierSnapshot,
                             boost::posix_time::time_from_string(runtime::LocalTextOf(first + k)),
                             bytes});
  }
  store.Write(batch);
}

SeriesRequest RectifierRequest(const std::vector<std::string>& fields, unsigned int limit) {
  SeriesRequest request;
  request.data_id = 7;
  request.record_type = records::kRectifierSnapshot;
  request.limit = limit;
  for (const std::string& text : fields) {
    SeriesField field;
    std::string error;
    EXPECT_TRUE(ParseSeriesField(text, field, error)) << error;
    request.fields.push_back(field);
  }
  return request;
}

Json::Value ParsedArray(const std::string& text) {
  Json::Value value;
  std::string error;
  EXPECT_TRUE(json_text::Parse(text, false, value, error)) << error << ": " << text;
  return value;
}

TEST(HistorySeriesTest, AWildcardIsEveryItemTheRowsHoldWithNullWhereARowLacksIt) {
  const struct Case {
    const char* field;
    bool accepted;
  } cases[] = {
      {"rectifier.*.current", true},
      {"ac.1.channel.*.L1-N.voltage", true},
      {"dc.1.battery.*.current", true},
      {"dc.*.battery.1.current", false},  // a unit, not an item
      {"rectifier.*.*.current", false},
      {"rectifier.1*.current", false},
      {"rectifier.*.nothing", false},
      {"modules.*.output_current", false},  // a record path, not a name
  };
  for (const Case& c : cases) {
    SeriesField field;
    std::string error;
    EXPECT_EQ(ParseSeriesField(c.field, field, error), c.accepted) << c.field << ": " << error;
    if (!c.accepted) {
      EXPECT_NE(error.find(c.field), std::string::npos) << error;
    }
  }

  TempDir dir;
  const std::int64_t first = 1796845691;  // 2026-12-09, far from any change of summer time
  // Rows 0-3 hold 2 modules, rows 4-9 hold 3.
  WriteRectifierRows(dir.File("db"), first, 10, 3, 4, 2);
  runtime::RecordStore store(dir.File("db"), {}, 2000, runtime::SqliteDb::Access::kReadOnly);
  const std::atomic<bool> never{false};
  for (const unsigned int limit : {100u, 7u}) {
    const SeriesText series = HistorySeries(
        store, RectifierRequest({"rectifier.*.current", "rectifier.1.current"}, limit), never);
    const unsigned int rows = std::min(limit, 10u);
    EXPECT_EQ(series.truncated, limit < 10);
    const Json::Value t = ParsedArray(series.t);
    ASSERT_EQ(t.size(), rows);
    EXPECT_EQ(t[rows - 1].asInt64(), first + 9);
    ASSERT_EQ(series.values.size(), 3u);  // rectifier.1.current twice: one series
    for (int module = 1; module <= 3; ++module) {
      const std::string name = "rectifier." + std::to_string(module) + ".current";
      const Json::Value column = ParsedArray(series.values.at(name));
      ASSERT_EQ(column.size(), rows) << name;
      for (unsigned int k = 0; k < rows; ++k) {
        const int row = static_cast<int>(10 - rows + k);
        if (module == 3 && row < 4) {
          EXPECT_TRUE(column[k].isNull()) << name << " row " << row;
        } else {
          EXPECT_FLOAT_EQ(column[k].asFloat(), static_cast<float>(module) + row / 100.0f)
              << name << " row " << row;
        }
      }
    }
  }
  // 60 modules in one request; more rows than the budget allows stop the query.
  WriteRectifierRows(dir.File("big"), first, 3400, 60);
  runtime::RecordStore big(dir.File("big"), {}, 2000, runtime::SqliteDb::Access::kReadOnly);
  const SeriesText sixty =
      HistorySeries(big, RectifierRequest({"rectifier.*.current"}, 3333), never);
  EXPECT_EQ(sixty.values.size(), 60u);
  EXPECT_EQ(ParsedArray(sixty.values.at("rectifier.60.current")).size(), 3333u);
  EXPECT_THROW(HistorySeries(big, RectifierRequest({"rectifier.*.current"}, 3400), never),
               OverBudget);
}

// Asking again with since = the last t + 1 (Unix seconds) gives every later
// row once: none twice, none lost, rows a second apart. `every` keeps the
// oldest row of each span of that many seconds.
TEST(HistorySeriesTest, SinceTheLastTimePlusOneContinuesExactlyAndEveryThins) {
  TempDir dir;
  const std::int64_t first = 1796845691;
  WriteRectifierRows(dir.File("db"), first, 12, 2);
  runtime::RecordStore store(dir.File("db"), {}, 2000, runtime::SqliteDb::Access::kReadOnly);
  const std::atomic<bool> never{false};
  std::vector<std::int64_t> seen;
  std::optional<std::int64_t> last;
  // Three rows at a time, as a page that polls while rows come.
  for (int ask = 0; ask < 6; ++ask) {
    SeriesRequest request = RectifierRequest({"rectifier.1.current"}, 3);
    if (last) {
      request.since = *runtime::ParseTimeBound(std::to_string(*last + 1), runtime::RangeEnd::kSince,
                                               runtime::UnixNow());
    }
    // The oldest three after the bound: until the third row after it.
    const std::int64_t next = last ? *last + 1 : first;
    request.until = *runtime::ParseTimeBound(std::to_string(next + 2), runtime::RangeEnd::kUntil,
                                             runtime::UnixNow());
    const Json::Value t = ParsedArray(HistorySeries(store, request, never).t);
    for (const Json::Value& time : t) seen.push_back(time.asInt64());
    if (!t.empty()) last = t[t.size() - 1].asInt64();
  }
  std::vector<std::int64_t> expected;
  for (int k = 0; k < 12; ++k) expected.push_back(first + k);
  EXPECT_EQ(seen, expected);
  // Rows at ...691 to ...702: spans of 5 s start at ...690, ...695, ...700.
  SeriesRequest thinned = RectifierRequest({"rectifier.*.current"}, 100);
  thinned.every = 5;
  const SeriesText series = HistorySeries(store, thinned, never);
  EXPECT_EQ(
      json_text::Line(ParsedArray(series.t)),
      json_text::Line(ParsedArray("[" + std::to_string(first) + "," + std::to_string(first + 4) +
                                  "," + std::to_string(first + 9) + "]")));
  EXPECT_EQ(ParsedArray(series.values.at("rectifier.2.current")).size(), 3u);
}

// A query's place is free before its answer is handed over, so a client that
// asks again at once is not refused; a stop answers every query it cancels.
TEST(QueryGateTest, ThePlaceIsFreeWhenTheAnswerGoesAndAStopAnswersEveryQuery) {
  {
    QueryGate gate(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<bool> again;
    std::promise<void> second_ran;
    ASSERT_TRUE(
        gate.TryRun([released](const std::atomic<bool>&) { released.wait(); },
                    [&] {
                      again.set_value(gate.TryRun(
                          [&](const std::atomic<bool>&) { second_ran.set_value(); }, [] {}));
                    }));
    EXPECT_FALSE(gate.TryRun([](const std::atomic<bool>&) {}, [] {}));  // the one place is taken
    release.set_value();
    EXPECT_TRUE(again.get_future().get());
    second_ran.get_future().wait();
  }
  QueryGate gate(3);
  std::atomic<int> answered{0}, saw_cancel{0};
  std::promise<void> all_running;
  std::atomic<int> running{0};
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(gate.TryRun(
        [&](const std::atomic<bool>& cancel) {
          if (++running == 3) all_running.set_value();
          while (!cancel.load()) std::this_thread::yield();
          ++saw_cancel;
        },
        [&] { ++answered; }));
  }
  all_running.get_future().wait();
  gate.CancelAndJoin();
  EXPECT_EQ(saw_cancel.load(), 3);
  EXPECT_EQ(answered.load(), 3);
  EXPECT_FALSE(gate.TryRun([](const std::atomic<bool>&) {}, [] {}));
}

// The store a thread keeps for its queries is the file at the path now: one
// put in its place is read, one removed fails to open.
TEST(StoreReaderTest, AFileReplacedIsReadAnewAndOneRemovedFails) {
  TempDir dir;
  const std::string db = dir.File("k.db");
  const std::string other = dir.File("other.db");
  WriteRectifierRows(db, 1796845600, 3, 2);
  WriteRectifierRows(other, 1796845600, 5, 2);
  EXPECT_EQ(StoreReader(db, 250).History(7, 0).size(), 3u);
  runtime::RecordStore* first = &StoreReader(db, 250);
  EXPECT_EQ(&StoreReader(db, 250), first);  // kept between queries
  ASSERT_EQ(std::rename(other.c_str(), db.c_str()), 0);
  EXPECT_EQ(StoreReader(db, 250).History(7, 0).size(), 5u);
  std::remove(db.c_str());
  EXPECT_THROW(StoreReader(db, 250), runtime::StoreError);
  ForgetStoreReader();
}

TEST(HttpSettingsTest, TheCommandLineWinsOverTheFileKeyByKey) {
  runtime::RuntimeSettings settings;
  settings.http["listen"] = "0.0.0.0:8080";
  settings.http["auth_file"] = "/etc/korvan/http-auth";
  cli::PollingOptions options;
  options.http_listen = "9000";
  const cli::PollingOptions merged = cli::WithFileSettings(options, settings);
  EXPECT_EQ(merged.http_listen, "9000");
  EXPECT_EQ(merged.http_auth_file, "/etc/korvan/http-auth");
  EXPECT_EQ(cli::WithFileSettings(cli::PollingOptions(), settings).http_listen, "0.0.0.0:8080");
  EXPECT_EQ(cli::WithFileSettings(cli::PollingOptions(), {}).http_listen, "");  // off
}

// ---- the exposition format, checked strictly -------------------------------

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// Parses the text exposition format; adds a failure for every line that
// breaks it.
std::vector<Sample> ParseExposition(const std::string& text) {
  static const std::regex help(R"(# HELP (korvan_[a-zA-Z0-9_:]*) \S.*)");
  static const std::regex type(R"(# TYPE (korvan_[a-zA-Z0-9_:]*) (gauge|counter))");
  static const std::regex sample(R"((korvan_[a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
  static const std::regex label(R"(^([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\"(,|$))");
  std::vector<Sample> samples;
  std::map<std::string, std::string> types;
  std::set<std::string> series;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, help)) continue;
    if (std::regex_match(line, match, type)) {
      EXPECT_TRUE(types.emplace(match[1], match[2]).second) << "second TYPE: " << line;
      continue;
    }
    if (!std::regex_match(line, match, sample)) {
      ADD_FAILURE() << "not a sample: " << line;
      continue;
    }
    Sample parsed;
    parsed.name = match[1];
    EXPECT_EQ(types.count(parsed.name), 1u) << "no TYPE before " << line;
    std::string labels = match[3];
    while (!labels.empty()) {
      std::smatch pair;
      if (!std::regex_search(labels, pair, label)) {
        ADD_FAILURE() << "bad labels: " << line;
        break;
      }
      parsed.labels[pair[1]] = pair[2];
      labels = pair.suffix();
    }
    const std::string value = match[4];
    char* end = nullptr;
    parsed.value = std::strtod(value.c_str(), &end);
    EXPECT_TRUE(*end == '\0' && !value.empty()) << "bad value: " << line;
    if (types[parsed.name] == "counter") {
      EXPECT_EQ(parsed.name.substr(parsed.name.size() - 6), "_total") << line;
    }
    const std::string key = parsed.name + "{" + match[3].str() + "}";
    EXPECT_TRUE(series.insert(key).second) << "duplicate series: " << line;
    samples.push_back(parsed);
  }
  return samples;
}

const Sample* FindSample(const std::vector<Sample>& samples, const std::string& name,
                         const std::map<std::string, std::string>& labels) {
  for (const Sample& sample : samples) {
    if (sample.name != name) continue;
    bool all = true;
    for (const auto& [key, value] : labels) {
      const auto found = sample.labels.find(key);
      all = all && found != sample.labels.end() && found->second == value;
    }
    if (all) return &sample;
  }
  return nullptr;
}

constexpr const char* kPromtool = "/usr/bin/promtool";

// What `promtool check metrics` says of `text` (empty when clean); its exit
// code in `status`.
std::string PromtoolProblems(const std::string& text, int& status) {
  TempDir dir;
  const std::string command = std::string(kPromtool) + " check metrics <" +
                              dir.Write("metrics", text) + " >" + dir.File("out") + " 2>&1";
  const int result = std::system(command.c_str());
  status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return ReadFile(dir.File("out"));
}

#define SKIP_WITHOUT_PROMTOOL()                                                 \
  if (access(kPromtool, X_OK) != 0) GTEST_SKIP() << kPromtool << " is missing"; \
  static_assert(true, "")

template <typename Record>
void Put(std::vector<unsigned char>& bytes, std::size_t offset, Record value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A recorded cycle of one AC unit (1 channel), one DC unit (2 batteries,
// battery fuse 3 failed, the first disconnection stage cut) and 2 rectifier
// modules (the second failed and off), published `age` ago.
SystemState RecordedSystem(const std::string& name, std::chrono::seconds age) {
  SystemState state;
  state.name = name;
  const auto received = std::chrono::steady_clock::now() - age;
  const auto add = [&](std::uint32_t id, const char* kind, int type, std::vector<unsigned char> b) {
    state.devices.push_back({id, kind, type, 1});
    state.records[{id, type}] = {std::make_shared<const std::vector<unsigned char>>(std::move(b)),
                                 "", received};
  };
  std::vector<unsigned char> ac(sizeof(tele_c_korvan_ac) + sizeof(tele_c_korvan_ac_channel), 0);
  ac[offsetof(tele_c_korvan_ac, channel_count)] = 1;
  Put(ac, offsetof(tele_c_korvan_ac, ia), 1.5f);
  Put(ac, sizeof(tele_c_korvan_ac) + offsetof(tele_c_korvan_ac_channel, b), 229.5f);
  add(11, "ac", records::kAcSnapshot, ac);
  std::vector<unsigned char> dc(sizeof(tele_c_korvan_dc), 0);
  Put(dc, offsetof(tele_c_korvan_dc, v), 53.6f);
  dc[offsetof(tele_c_korvan_dc, dc_m)] = 2;
  Put(dc, offsetof(tele_c_korvan_dc, m_value) + 4, -2.25f);
  dc[offsetof(tele_c_korvan_dc, alert_m_count)] = 20;
  dc[offsetof(tele_c_korvan_dc, alert_m) + 2] = 3;  // failed
  dc[offsetof(tele_c_korvan_dc, alert_p_count)] = 11;
  dc[offsetof(tele_c_korvan_dc, alert_p)] = 0xF0;  // stage 1 cut
  add(21, "dc", records::kDcRecord, dc);
  std::vector<unsigned char> rc(sizeof(tele_c_korvan_rc) + 2 * sizeof(tele_c_korvan_rc_channel), 0);
  rc[offsetof(tele_c_korvan_rc, module_count)] = 2;
  const std::size_t second = sizeof(tele_c_korvan_rc) + sizeof(tele_c_korvan_rc_channel);
  Put(rc, sizeof(tele_c_korvan_rc), 12.25f);  // module 1's current; on_off 0 is on
  rc[second + offsetof(tele_c_korvan_rc_channel, on_off)] = 1;
  rc[second + offsetof(tele_c_korvan_rc_channel, fault)] = 1;
  add(1, "rectifiers", records::kRectifierSnapshot, rc);
  return state;
}

// The version `korvan-host --version` prints.
std::string HostVersion() {
  TempDir dir;
  const std::string command =
      std::string(KORVAN_HOST_PATH) + " --version >" + dir.File("out") + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string text = ReadFile(dir.File("out"));
  const std::string prefix = "korvan-host ";
  EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
  text = text.substr(std::min(text.size(), prefix.size()));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

TEST(MetricsTextTest, RecordedValuesByDerivedNamesStaleOnesLeftOut) {
  const std::string system = "site \"a\"\\b\nc";
  SystemState state = RecordedSystem(system, std::chrono::seconds(0));
  state.line.dropped = {{"checksum", 3}};
  const runtime::AlarmGlossEntry& glossed = runtime::AlarmGlossary().front();
  runtime::AlarmEvent alarm;
  alarm.data_id = 1;
  alarm.record_type = 5211;
  alarm.id = glossed.id;
  alarm.code = glossed.code;
  alarm.name = "模块故障";
  state.alarms[{1, 5211, alarm.id, ""}] = alarm;
  SystemState lost = RecordedSystem("lost", std::chrono::seconds(0));
  lost.communication_lost = true;
  // The rectifiers stopped publishing a minute ago; the other units did not.
  SystemState stale = RecordedSystem("stale", std::chrono::seconds(0));
  stale.records.begin()->second.received -= std::chrono::seconds(61);
  ASSERT_EQ(stale.records.begin()->first.record_type, records::kRectifierSnapshot);

  const std::string text = MetricsText({state, lost, stale}, {{"store", 41, 0}, {"notify", 3, 2}});
  const std::vector<Sample> samples = ParseExposition(text);
  const std::string escaped = "site \\\"a\\\"\\\\b\\nc";
  struct Row {
    std::string name;
    std::map<std::string, std::string> labels;
    double value;
  } rows[] = {
      {"korvan_dc_output_voltage_volts", {{"unit", "1"}}, 53.6f},
      {"korvan_dc_battery_current_amperes", {{"unit", "1"}, {"battery", "2"}}, -2.25},
      {"korvan_dc_battery_items", {{"unit", "1"}}, 2},
      {"korvan_dc_battery_fuse_alarm", {{"unit", "1"}, {"fuse", "3"}}, 1},
      {"korvan_dc_battery_fuse_alarm", {{"unit", "1"}, {"fuse", "4"}}, 0},
      {"korvan_dc_lvd_alarm", {{"unit", "1"}, {"stage", "1"}}, 1},
      {"korvan_dc_lvd_alarm", {{"unit", "1"}, {"stage", "2"}}, 0},
      {"korvan_ac_current_amperes", {{"unit", "1"}, {"phase", "L1"}}, 1.5},
      {"korvan_ac_channel_voltage_volts",
       {{"unit", "1"}, {"channel", "1"}, {"phase", "L2-N"}},
       229.5},
      {"korvan_rectifier_current_amperes", {{"module", "1"}}, 12.25},
      {"korvan_rectifier_on", {{"module", "1"}}, 1},
      {"korvan_rectifier_on", {{"module", "2"}}, 0},
      {"korvan_rectifier_fault", {{"module", "2"}}, 1},
      {"korvan_rectifier_items", {}, 2},
      {"korvan_line_frames_dropped_total", {{"reason", "checksum"}}, 3},
      {"korvan_build_info", {{"version", HostVersion()}}, 1},
      {"korvan_alarm_active",
       {{"id", alarm.id},
        {"name", "模块故障"},
        {"gloss", runtime::AlarmGloss(alarm.id, alarm.code, alarm.text)}},
       1},
      {"korvan_output_events_dropped_total", {{"output", "notify"}}, 2},
  };
  for (const Row& row : rows) {
    std::map<std::string, std::string> labels = row.labels;
    if (row.name != "korvan_build_info" && row.name.rfind("korvan_output_", 0) != 0) {
      labels["system"] = escaped;
    }
    const Sample* sample = FindSample(samples, row.name, labels);
    ASSERT_NE(sample, nullptr) << row.name << "\n" << text;
    EXPECT_FLOAT_EQ(static_cast<float>(sample->value), static_cast<float>(row.value)) << row.name;
    // Every sample of a value carries its labels, and no others.
    if (row.name.rfind("korvan_dc_", 0) == 0 || row.name.rfind("korvan_rectifier_", 0) == 0) {
      EXPECT_EQ(sample->labels.size(), labels.size()) << row.name;
    }
  }
  // Standard names repeat unit 1's values: not exported.
  for (const Sample& sample : samples) {
    EXPECT_EQ(sample.name.find("korvan_output_voltage"), std::string::npos) << sample.name;
    EXPECT_EQ(sample.name.find("korvan_battery_"), std::string::npos) << sample.name;
    EXPECT_EQ(sample.name.find("korvan_input_"), std::string::npos) << sample.name;
  }
  // A lost system has its state but no values; a stale device no values.
  EXPECT_EQ(FindSample(samples, "korvan_dc_output_voltage_volts", {{"system", "lost"}}), nullptr);
  EXPECT_NE(FindSample(samples, "korvan_communication_up", {{"system", "lost"}}), nullptr);
  EXPECT_NE(FindSample(samples, "korvan_dc_output_voltage_volts", {{"system", "stale"}}), nullptr);
  EXPECT_EQ(FindSample(samples, "korvan_rectifier_on", {{"system", "stale"}}), nullptr);
  EXPECT_EQ(SampleValue(std::nan("")), "NaN");
  EXPECT_EQ(FloatValue(-INFINITY), "-Inf");

  SKIP_WITHOUT_PROMTOOL();
  int status = 0;
  EXPECT_EQ(PromtoolProblems(text, status), "");
  EXPECT_EQ(status, 0);
}

// The state takes records and cycles in batches, up to its patience late: a
// record's age and the last cycle's count from when the stream published
// them, not from when the state took them.
TEST(LatestStateTest, AgesCountFromWhenEventsWerePublished) {
  LatestState latest;
  runtime::SystemSummary summary;
  summary.system = "a";
  latest.Seed(summary);
  const auto published = std::chrono::steady_clock::now() - std::chrono::seconds(7);
  runtime::RuntimeEvent record;
  record.kind = runtime::RuntimeEvent::Kind::kRecordPublished;
  record.system = "a";
  record.device = {21, records::kDcRecord};
  record.record = std::make_shared<const std::vector<unsigned char>>(sizeof(tele_c_korvan_dc), 0);
  record.published = published;
  runtime::RuntimeEvent cycle = record;
  cycle.kind = runtime::RuntimeEvent::Kind::kCycleCompleted;
  latest.OnEvent(record);
  latest.OnEvent(cycle);
  const std::optional<SystemState> state = latest.System("a");
  ASSERT_TRUE(state && state->records.count(record.device));
  EXPECT_TRUE(state->records.at(record.device).received == published);
  EXPECT_TRUE(state->last_cycle_received == published);
}

// One rule names every variable: the families it makes are valid names, end
// in their unit, and where several variables share one (the phases, the two
// disconnection stages) they agree on HELP, kind and labels.
TEST(MetricsTextTest, EveryVariableGetsAFamilyTheRuleDerives) {
  struct Row {
    std::string name;
    std::string family;
    std::vector<std::pair<std::string, std::string>> labels;
  } rows[] = {
      {"ac.1.channel.2.L3-N.voltage",
       "korvan_ac_channel_voltage_volts",
       {{"unit", "1"}, {"channel", "2"}, {"phase", "L3-N"}}},
      {"ac.2.L1.current.alarm", "korvan_ac_current_alarm", {{"unit", "2"}, {"phase", "L1"}}},
      {"ac.1.switch.4.state", "korvan_ac_switch_state", {{"unit", "1"}, {"switch", "4"}}},
      {"dc.3.battery.2.temperature",
       "korvan_dc_battery_temperature_celsius",
       {{"unit", "3"}, {"battery", "2"}}},
      {"dc.1.load.fuse.3.alarm", "korvan_dc_load_fuse_alarm", {{"unit", "1"}, {"fuse", "3"}}},
      {"dc.1.lvd.2.alarm", "korvan_dc_lvd_alarm", {{"unit", "1"}, {"stage", "2"}}},
      {"rectifier.3.current", "korvan_rectifier_current_amperes", {{"module", "3"}}},
      {"rectifier.3.charge_mode", "korvan_rectifier_charge_mode", {{"module", "3"}}},
      {"rectifier.input.frequency.high", "korvan_rectifier_input_frequency_high_hertz", {}},
      {"rectifier.parameter.14", "korvan_rectifier_parameter", {{"parameter", "14"}}},
  };
  for (const Row& row : rows) {
    vocabulary::Resolved resolved;
    ASSERT_TRUE(vocabulary::Resolve(row.name, resolved) && resolved.variable) << row.name;
    const ValueMetric metric = MetricOf(*resolved.variable, row.name);
    EXPECT_EQ(metric.family, row.family) << row.name;
    EXPECT_EQ(metric.labels, row.labels) << row.name;
  }
  std::map<std::string, const vocabulary::Variable*> first;
  std::map<std::string, ValueMetric> families;
  static const std::regex valid("korvan(_[a-z][a-z0-9]*)+");
  for (const vocabulary::Variable& variable : vocabulary::Table()) {
    const std::string name = vocabulary::NameFor(variable, 1, 1);
    const ValueMetric metric = MetricOf(variable, name);
    if (variable.scope == vocabulary::Scope::kStandard) {
      EXPECT_EQ(metric.family, "") << name;
      continue;
    }
    EXPECT_TRUE(std::regex_match(metric.family, valid)) << name << ": " << metric.family;
    for (const char* reserved : {"_count", "_total", "_sum", "_bucket"}) {
      EXPECT_FALSE(std::regex_search(metric.family, std::regex(std::string(reserved) + "$")))
          << metric.family;
    }
    const std::map<std::string, std::string> suffix{
        {"V", "_volts"}, {"A", "_amperes"}, {"Hz", "_hertz"}, {"degC", "_celsius"}, {"", ""}};
    ASSERT_EQ(suffix.count(variable.unit), 1u) << name << ": no base unit for " << variable.unit;
    const std::string& end = suffix.at(variable.unit);
    EXPECT_EQ(metric.family.compare(metric.family.size() - end.size(), end.size(), end), 0)
        << metric.family;
    EXPECT_EQ(metric.help.find("{n}"), std::string::npos) << metric.help;
    EXPECT_EQ(metric.help.find("{u}"), std::string::npos) << metric.help;
    const auto [known, added] = families.emplace(metric.family, metric);
    first.emplace(metric.family, &variable);
    if (added) continue;
    EXPECT_EQ(metric.help, known->second.help) << name;
    EXPECT_EQ(variable.kind, first[metric.family]->kind) << name;
    ASSERT_EQ(metric.labels.size(), known->second.labels.size()) << name;
    for (std::size_t k = 0; k < metric.labels.size(); ++k) {
      EXPECT_EQ(metric.labels[k].first, known->second.labels[k].first) << name;
    }
  }
  EXPECT_EQ(families.at("korvan_ac_channel_voltage_volts").help,
            "input voltage of phase {phase} of channel {channel} (the line voltage on plants that "
            "measure between lines) (ac.{unit}.channel.{channel}.{phase}.voltage)");
}

// ---- a simulated system served over HTTP -----------------------------------

// The stored history rows that pass `filter`, read as the server reads them;
// asked again while a write holds the file.
std::vector<runtime::HistoryRow> StoredRows(const std::string& db,
                                            const runtime::RowFilter& filter) {
  std::vector<runtime::HistoryRow> rows;
  SimulatedServer::WaitFor([&] {
    rows.clear();
    try {
      runtime::RecordStore store(db, {}, 2000, runtime::SqliteDb::Access::kReadOnly);
      store.ForEachHistoryRow(filter, [&](const runtime::HistoryRow& row) { rows.push_back(row); });
      return true;
    } catch (const runtime::StoreError&) {
      return false;
    }
  });
  return rows;
}

class HttpServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new SimulatedServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(server_->Port(), 0) << server_->Output(); }

  // The simulated system's devices: data id by kind.
  // The simulated system's devices (data id by kind), once its first cycle
  // made them.
  std::map<std::string, std::uint32_t> Devices() {
    std::map<std::string, std::uint32_t> ids;
    SimulatedServer::WaitFor([&] {
      const Json::Value system = server_->Get("/api/systems/simulated");
      for (const Json::Value& device : system["devices"]) {
        ids.emplace(device["kind"].asString(), device["data_id"].asUInt());
      }
      return ids.size() == 3;
    });
    EXPECT_EQ(ids.size(), 3u) << server_->Output();
    return ids;
  }

  static SimulatedServer* server_;
};

SimulatedServer* HttpServerTest::server_ = nullptr;

// Every value /values names is in /metrics under the family and labels its
// name derives, with the same value; and the whole scrape passes promtool.
TEST_F(HttpServerTest, MetricsGiveTheValuesByTheirNames) {
  Devices();
  // Two value answers alike around a scrape: no cycle changed the values
  // between them, so the scrape read the same.
  Json::Value values;
  std::string text;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    values = server_->Get("/api/systems/simulated/values")["values"];
    const HttpAnswer metrics = server_->Fetch("/metrics");
    if (metrics.status != 200 || !values.isMember("rectifier.2.fault")) return false;
    EXPECT_EQ(metrics.Header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    text = metrics.body;
    return values == server_->Get("/api/systems/simulated/values")["values"];
  }));
  const std::vector<Sample> samples = ParseExposition(text);
  std::set<std::string> standard;
  for (const vocabulary::Variable& variable : vocabulary::Table()) {
    if (variable.scope == vocabulary::Scope::kStandard) standard.insert(variable.name);
  }
  int compared = 0;
  for (const std::string& name : values.getMemberNames()) {
    if (standard.count(name) != 0) continue;  // repeats unit 1's values: not exported
    vocabulary::Resolved resolved;
    ASSERT_TRUE(vocabulary::Resolve(name, resolved) && resolved.variable) << name;
    const ValueMetric metric = MetricOf(*resolved.variable, name);
    std::map<std::string, std::string> labels(metric.labels.begin(), metric.labels.end());
    labels["system"] = "simulated";
    const std::vector<std::string>& states = resolved.variable->states;
    const int code = values[name].asInt();
    if (!states.empty()) {
      // A state of known codes: its state's sample is 1.
      labels["state"] =
          code >= 0 && code < static_cast<int>(states.size()) ? states[code] : "other";
    }
    const Sample* sample = FindSample(samples, metric.family, labels);
    ASSERT_NE(sample, nullptr) << name << " as " << metric.family;
    EXPECT_EQ(static_cast<float>(sample->value), states.empty() ? values[name].asFloat() : 1.0f)
        << name;
    ++compared;
  }
  EXPECT_GE(compared, 20);
  const Sample* up = FindSample(samples, "korvan_communication_up", {{"system", "simulated"}});
  ASSERT_NE(up, nullptr);
  EXPECT_EQ(up->value, 1);

  SKIP_WITHOUT_PROMTOOL();
  int status = 0;
  EXPECT_EQ(PromtoolProblems(text, status), "");
  EXPECT_EQ(status, 0);
}

TEST_F(HttpServerTest, RecordIsTheDecodedBytesThatWereStored) {
  const std::uint32_t dc = Devices()["dc"];
  const std::string path = "/api/systems/simulated/devices/" + std::to_string(dc) + "/record";
  Json::Value answer;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    int status = 0;
    answer = server_->Get(path, &status);
    return status == 200;
  }));
  EXPECT_EQ(answer["record_type"], records::kDcRecord);
  EXPECT_FALSE(answer["stale"].asBool());
  // Every cycle's record is stored: the one served is among the stored rows.
  bool found = false;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    runtime::RowFilter filter;
    filter.data_id = dc;
    for (const runtime::HistoryRow& row : StoredRows(server_->Db(), filter)) {
      Json::Value decoded;
      std::string error;
      if (records::Decode(row.record_type, row.record.data(), row.record.size(), decoded, error)) {
        // As printed: the answer's floats were read back from their text.
        found = found || json_text::Line(decoded) == json_text::Line(answer["record"]);
      }
    }
    return found;
  }));
}

TEST_F(HttpServerTest, HistoryIsTheStoredRowsDecoded) {
  const std::uint32_t dc = Devices()["dc"];
  const std::string path = "/api/systems/simulated/devices/" + std::to_string(dc) +
                           "/history?fields=v,i,rectifier.1.current&limit=3";
  Json::Value series;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    series = server_->Get(path);
    return series["t"].size() == 3 && series["truncated"].asBool();
  }));
  EXPECT_EQ(series["values"]["rectifier.1.current"].size(), 3u);
  ASSERT_EQ(series["values"]["v"].size(), 3u);
  for (const Json::Value& missing : series["values"]["rectifier.1.current"])
    EXPECT_TRUE(missing.isNull());
  // The same rows, from the store: the newest three of the ones up to the
  // last time served.
  runtime::RowFilter filter;
  filter.data_id = dc;
  filter.until = runtime::LocalTextOf(series["t"][2].asInt64());
  std::vector<Json::Value> stored;
  for (const runtime::HistoryRow& row : StoredRows(server_->Db(), filter)) {
    Json::Value decoded;
    std::string error;
    ASSERT_TRUE(
        records::Decode(row.record_type, row.record.data(), row.record.size(), decoded, error));
    stored.push_back(decoded);
  }
  ASSERT_GE(stored.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    const Json::Value& row = stored[stored.size() - 3 + k];
    EXPECT_EQ(series["values"]["v"][k], row["v"]);
    EXPECT_EQ(series["values"]["i"][k], row["i"]);
  }
  // Written piece by piece, yet exactly as the whole answer built as JSON.
  const HttpAnswer raw = server_->Fetch(
      std::regex_replace(path, std::regex("rectifier.1.current"), "rectifier.1.current,v"));
  Json::Value parsed;
  std::string error;
  ASSERT_TRUE(json_text::Parse(raw.body, false, parsed, error)) << error << raw.body;
  EXPECT_EQ(raw.body, json_text::Line(parsed) + "\n");
  EXPECT_EQ(parsed["values"]["v"].size(), 6u);  // a field asked twice, as before
}

TEST_F(HttpServerTest, RectifierFaultIsAnActiveAlarmAndAMetric) {
  const std::uint32_t rc = Devices()["rectifiers"];
  Json::Value alarm;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    for (const Json::Value& entry : server_->Get("/api/alarms?system=simulated")) {
      if (entry["record_type"] == records::kRectifierSnapshot) alarm = entry;
    }
    return !alarm.isNull();
  })) << server_->Output();
  EXPECT_EQ(alarm["data_id"].asUInt(), rc);
  EXPECT_EQ(alarm["system"], "simulated");
  // The record that shows the fault may reach the server after the alarm.
  std::vector<Sample> samples;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    const HttpAnswer metrics = server_->Fetch("/metrics");
    if (metrics.status != 200) return false;
    samples = ParseExposition(metrics.body);
    const Sample* fault = FindSample(samples, "korvan_rectifier_fault", {{"module", "2"}});
    return fault != nullptr && fault->value == 1;
  }));
  EXPECT_NE(FindSample(samples, "korvan_alarm_active",
                       {{"system", "simulated"},
                        {"device", std::to_string(rc)},
                        {"id", alarm["id"].asString()},
                        {"code", alarm["code"].asString()},
                        {"gloss", alarm["gloss"].asString()}}),
            nullptr);
  const Sample* fault = FindSample(samples, "korvan_rectifier_fault", {{"module", "2"}});
  ASSERT_NE(fault, nullptr);
  EXPECT_EQ(fault->value, 1);
  // The raise was stored too.
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    for (const Json::Value& event : server_->Get("/api/alarms/events?system=simulated")) {
      if (event["id"] == alarm["id"] && event["raised"].asBool()) return true;
    }
    return false;
  }));
}

TEST_F(HttpServerTest, BadRequestsGetTheirStatus) {
  const std::string dc = std::to_string(Devices()["dc"]);
  const std::string device = "/api/systems/simulated/devices/" + dc;
  struct Case {
    std::string method;
    std::string path;
    int status;
  } cases[] = {
      {"GET", "/api/nothing", 404},
      {"GET", "/api/systems/nope", 404},
      {"GET", "/api/systems/nope/points", 404},
      {"GET", "/api/systems/simulated/devices/999/record", 404},
      {"GET", "/api/systems/simulated/devices/x/history?fields=v", 404},
      {"GET", device + "/history", 400},
      {"GET", device + "/history?fields=v[", 400},
      {"GET", device + "/history?fields=dc.*.output.voltage", 400},  // as the CLI refuses it
      {"GET", device + "/history?fields=v&limit=0", 400},
      {"GET", device + "/history?fields=v&limit=100001", 400},
      {"GET", device + "/history?fields=v&since=8%20Dec%202026", 400},
      {"GET", "/api/alarms/events?until=2026-02-30%2025:00:00", 400},
      {"GET", "/api/alarms?system=nope", 404},
      {"GET", "/assets/../../etc/passwd", 404},
      {"GET", "/assets/%2e%2e/%2e%2e/etc/passwd", 404},
      {"GET", "/assets/", 404},
      {"GET", "/" + std::string(9000, 'a'), 414},
      {"POST", "/api/site", 405},
      {"PUT", "/metrics", 405},
      {"DELETE", "/api/systems", 405},
      {"GET", "/api/site", 200},
      {"HEAD", "/api/healthz", 200},
  };
  for (const Case& c : cases) {
    const HttpAnswer result = server_->Fetch(c.path, c.method);
    EXPECT_EQ(result.status, c.status) << c.method << " " << c.path << ": " << result.body;
    if (c.status == 200 || c.method == "HEAD") continue;
    Json::Value error;
    std::string reason;
    EXPECT_TRUE(json_text::Parse(result.body, false, error, reason) && error["error"].isString())
        << c.path << ": " << result.body;
  }
}

// The API takes and refuses the times that history and alarms take and
// refuse, as since and as until, and names the same forms when it refuses.
TEST_F(HttpServerTest, TimeBoundsAreTheCommandLines) {
  const struct Row {
    const char* text;
    bool accepted;
  } rows[] = {
      {"2026-12-09T19:48:11+00:00", true},
      {"2026-12-09T19:48:11Z", true},
      {"2026-12-09T19:48-0130", true},
      {"2026-12-09 19:48:11", true},
      {"2026-12-09T19:48", true},
      {"2026-12-09", true},
      {"1796845691", true},
      {"-45s", true},
      {"-7d", true},
      {"today", true},
      {"yesterday", true},
      {"2026-02-30", false},
      {"2026-12-09 24:00", false},
      {"2026-12-09T19:48:11+1", false},
      {"99999999999999", false},
      {"-99999999999999d", false},
      {"-1w", false},
      {"8 Dec 2026", false},
  };
  // Everything but what a URL leaves as it is goes %-encoded ('+' too).
  const auto encoded = [](const std::string& text) {
    std::string url;
    for (const unsigned char c : text) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == ':') {
        url += static_cast<char>(c);
      } else {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        url += escape;
      }
    }
    return url;
  };
  for (const Row& row : rows) {
    for (const char* bound : {"since", "until"}) {
      cli::QueryOptions options;
      (std::string(bound) == "since" ? options.since : options.until) = row.text;
      runtime::RowFilter filter;
      std::string error;
      const bool cli_accepts = cli::MakeFilter(options, filter, error, runtime::UnixNow());
      EXPECT_EQ(cli_accepts, row.accepted) << bound << " " << row.text << ": " << error;
      // Asked as soon as the query before was answered: its place is free.
      const HttpAnswer answer =
          server_->Fetch("/api/alarms/events?" + std::string(bound) + "=" + encoded(row.text));
      EXPECT_EQ(answer.status, row.accepted ? 200 : 400)
          << bound << " " << row.text << ": " << answer.body;
      if (row.accepted) continue;
      const std::string forms = std::string("accepted: ") + runtime::kTimeBoundForms;
      EXPECT_NE(error.find(forms), std::string::npos) << error;
      EXPECT_NE(answer.body.find(forms), std::string::npos) << answer.body;
    }
  }
}

TEST_F(HttpServerTest, ALockedDatabaseIsAnsweredWith503) {
  const std::string history =
      "/api/systems/simulated/devices/" + std::to_string(Devices()["dc"]) + "/history?fields=v";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(server_->Db().c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 60000);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (const std::string& path : {history, std::string("/api/alarms/events")}) {
    int status = 0;
    const Json::Value answer = server_->Get(path, &status);
    EXPECT_EQ(status, 503) << path;
    EXPECT_TRUE(answer["error"].isString()) << path;
  }
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_TRUE(SimulatedServer::WaitFor([&] {
    int status = 0;
    server_->Get(history, &status);
    return status == 200;
  }));
}

TEST_F(HttpServerTest, RequestsWithoutTheCredentialsAreRefused) {
  for (const std::string& token :
       {std::string(), std::string("wrong"), std::string(kToken) + "x"}) {
    for (const char* path : {"/api/site", "/metrics", "/", "/api/nothing"}) {
      const HttpAnswer result = server_->Fetch(path, "GET", token);
      EXPECT_EQ(result.status, 401) << path << " with \"" << token << "\"";
      EXPECT_NE(result.Header("www-authenticate").find("Bearer"), std::string::npos) << path;
    }
  }
}

// A page of another name that resolves to the loopback address (DNS
// rebinding) sends its own Host; only loopback names are served.
TEST_F(HttpServerTest, OtherHostNamesAreRefused) {
  const int port = server_->Port();
  const std::string auth = "Authorization: Bearer " + std::string(kToken);
  for (const auto& [host, status] : {std::pair<std::string, int>{"evil.example", 421},
                                     {"evil.example:" + std::to_string(port), 421},
                                     {"localhost:" + std::to_string(port), 200},
                                     {"[::1]:" + std::to_string(port), 200}}) {
    const HttpAnswer answer = Exchange(port, "GET /api/site HTTP/1.1\r\nHost: " + host +
                                                 "\r\nConnection: close\r\n" + auth + "\r\n\r\n");
    EXPECT_EQ(answer.status, status) << host;
    if (status == 421) {
      EXPECT_NE(answer.body.find("\"error\""), std::string::npos) << host;
    }
  }
}

// The page and its assets come from the program, under a policy that lets
// them run their own scripts only.
TEST_F(HttpServerTest, DashboardIsServedFromTheProgram) {
  const std::pair<const char*, const char*> rows[] = {
      {"/", "text/html; charset=utf-8"},
      {"/assets/app.js", "text/javascript; charset=utf-8"},
      {"/assets/style.css", "text/css; charset=utf-8"},
      {"/assets/vendor/uplot/uPlot.iife.min.js", "text/javascript; charset=utf-8"},
  };
  for (const auto& [path, type] : rows) {
    const HttpAnswer result = server_->Fetch(path);
    EXPECT_EQ(result.status, 200) << path;
    EXPECT_EQ(result.Header("content-type"), type) << path;
    EXPECT_EQ(result.Header("content-security-policy"), "default-src 'self'") << path;
    EXPECT_EQ(result.Header("x-content-type-options"), "nosniff") << path;
    EXPECT_EQ(result.Header("x-frame-options"), "DENY") << path;
    EXPECT_FALSE(result.body.empty()) << path;
  }
}

// korvan-host get prints the values of the API by name, in the vocabulary's
// order, with the address and credentials of the instance's configuration.
TEST_F(HttpServerTest, GetPrintsTheSystemsValuesByName) {
  TempDir dir;
  dir.Write("token", std::string(kToken) + "\n");
  const std::string port = std::to_string(server_->Port());
  // The auth file is found beside the configuration, as run finds it.
  const std::string config =
      dir.Write("korvan.json",
                "{\"name\": \"x\", \"port\": \"/dev/null\", \"http\": {\"listen\": "
                "\"0.0.0.0:" +
                    port + "\", \"auth_file\": \"token\"}}");
  const std::string url = "http://127.0.0.1:" + port;
  const std::string token = dir.File("token");
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    return server_->Get("/api/systems/simulated/values")["values"].isMember("rectifier.2.fault");
  })) << server_->Output();

  // Two answers of the API alike around the command: no cycle changed the
  // values between them, so the command read the same.
  Json::Value values;
  HostRun all;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    values = server_->Get("/api/systems/simulated/values")["values"];
    all = RunHost({"get", "simulated", "--config", config});
    return server_->Get("/api/systems/simulated/values")["values"] == values;
  }));
  EXPECT_EQ(all.code, 0) << all.err;
  EXPECT_EQ(all.err, "");
  std::vector<std::string> names;
  std::istringstream lines(all.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(": ");
    ASSERT_NE(colon, std::string::npos) << line;
    const std::string name = line.substr(0, colon);
    names.push_back(name);
    ASSERT_TRUE(values.isMember(name)) << name;
    // The same number; whole ones (flags, counts) without a fraction.
    const std::string value = line.substr(colon + 2);
    ASSERT_TRUE(values[name].isNumeric()) << name;
    const double number = values[name].asDouble();
    EXPECT_EQ(std::strtod(value.c_str(), nullptr), number) << line;
    if (std::floor(number) == number) {
      EXPECT_EQ(value.find('.'), std::string::npos) << line;
    }
  }
  EXPECT_EQ(names.size(), values.size());
  // The table's order: standard names, AC, DC, rectifiers; units and items
  // by number (rectifier 10 after 9, were there as many).
  const std::vector<std::string> order = {"input.L1-N.voltage",
                                          "output.voltage",
                                          "battery.current",
                                          "ac.1.L1.current",
                                          "ac.1.channel.1.L1-N.voltage",
                                          "ac.1.channel.1.L2-N.voltage",
                                          "dc.1.output.voltage",
                                          "rectifier.output.voltage",
                                          "rectifier.1.current",
                                          "rectifier.2.current",
                                          "rectifier.1.fault",
                                          "rectifier.2.fault"};
  std::vector<std::size_t> places;
  for (const std::string& name : order) {
    const auto found = std::find(names.begin(), names.end(), name);
    ASSERT_NE(found, names.end()) << name << "\n" << all.out;
    places.push_back(static_cast<std::size_t>(found - names.begin()));
  }
  EXPECT_TRUE(std::is_sorted(places.begin(), places.end())) << all.out;

  // One name: its bare value; several: named, in the order asked. The
  // scenario's module 2 fault holds from the start.
  const HostRun one =
      RunHost({"get", "simulated", "rectifier.2.fault", "--url", url, "--http-auth-file", token});
  EXPECT_EQ(one.code, 0) << one.err;
  EXPECT_EQ(one.out, "1\n");
  const HostRun two = RunHost({"get", "simulated", "rectifier.2.fault", "rectifier.1.fault",
                               "--url", url + "/", "--http-auth-file", token});
  EXPECT_EQ(two.out, "rectifier.2.fault: 1\nrectifier.1.fault: 0\n") << two.err;

  struct Failure {
    std::vector<std::string> args;
    int code;
    std::string message;
  } failures[] = {
      {{"get", "simulated", "output.voltage", "dc.1.battery.9.current", "--url", url},
       105,
       "unknown name \"dc.1.battery.9.current\""},
      {{"get", "simulated", "channels.0.a", "--url", url}, 105, "unknown name \"channels.0.a\""},
      {{"get", "simulated", "dc.3.output.voltage", "--config", config},
       runtime::exit_codes::kNoValue,
       "system \"simulated\" has no value dc.3.output.voltage"},
      {{"get", "nowhere", "--config", config},
       runtime::exit_codes::kNoSystem,
       "runs no system named \"nowhere\""},
      {{"get", "simulated", "--url", url},
       runtime::exit_codes::kUnreachable,
       "refused a request without credentials"},
      {{"get", "simulated", "--url", "http://127.0.0.1:" + std::to_string(FreeLoopbackPort())},
       runtime::exit_codes::kUnreachable,
       "cannot connect to http://127.0.0.1:"},
      {{"get", "simulated", "--url", "https://127.0.0.1:" + port}, 105, "not an http://HOST:PORT"},
      {{"get", "simulated", "--config", dir.Write("bare.json", "{\"name\": \"x\"}")},
       runtime::exit_codes::kConfigRefused,
       "gives no \"http\": {\"listen\"}"},
      {{"get", "simulated"}, 106, "--config FILE or --url"},
  };
  for (const Failure& failure : failures) {
    const HostRun run = RunHost(failure.args);
    EXPECT_EQ(run.code, failure.code) << failure.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(failure.message), std::string::npos) << run.err;
    if (failure.code != runtime::exit_codes::kNoValue) {
      EXPECT_EQ(run.out, "") << run.out;
    }
  }
}

// A system whose plant does not answer has no values yet: get says so and
// exits with its own code, whatever it printed.
TEST(HttpGetStaleTest, ASilentSystemIsSaidStale) {
  SimulatedServer silent({"--silent"});
  ASSERT_NE(silent.Port(), 0) << silent.Output();
  TempDir dir;
  const HostRun run =
      RunHost({"get", "simulated", "--url", "http://127.0.0.1:" + std::to_string(silent.Port()),
               "--http-auth-file", dir.Write("token", kToken)});
  EXPECT_EQ(run.code, runtime::exit_codes::kStale) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "korvan-host: get: system \"simulated\": stale: no record received yet\n");
}

// The client reads what a server sends within its bounds of size and time,
// and names what went wrong otherwise.
TEST(HttpGetTest, AnswersBeyondTheBoundsOrNotHttpAreRefused) {
  struct Row {
    std::string answer;  // sent by the server, which then closes (or keeps open)
    bool keep_open;
    std::string body;   // the body read, or
    std::string error;  // what the error names
  };
  const std::string big(4 * 1024 * 1024 + 1, 'x');
  const std::vector<Row> rows = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, "hello", ""},
      {"HTTP/1.1 404 Not Found\r\n\r\nread to the end", false, "read to the end", ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4194305\r\n\r\n", false, "", "more than the bound"},
      {"HTTP/1.1 200 OK\r\n\r\n" + big, false, "", "more than the bound"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'h'), false, "", "head larger"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort", false, "", "before the whole"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false, "",
       "transfer coding"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, "", "not a number"},
      {"SSH-2.0-OpenSSH\r\n\r\n", false, "", "not HTTP"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", true, "", "no whole answer"},
  };
  for (const Row& row : rows) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::string request;
    std::thread server([&] {
      const int fd = accept(listener, nullptr, nullptr);
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      SendAll(fd, row.answer);
      if (row.keep_open) recv(fd, buffer, sizeof buffer, 0);  // until the client closes
      close(fd);
    });
    cli::HttpTarget target;
    target.host = "127.0.0.1";
    target.port = ntohs(address.sin_port);
    cli::HttpGetLimits limits;
    limits.answer_ms = 1000;
    cli::HttpGetAnswer answer;
    std::string error;
    const bool ok = cli::HttpGet(target, "/api/x", "Bearer t", limits, answer, error);
    server.join();
    close(listener);
    EXPECT_EQ(request, "GET /api/x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(target.port) +
                           "\r\nAccept: application/json\r\nConnection: close\r\n"
                           "Authorization: Bearer t\r\n\r\n");
    EXPECT_EQ(ok, row.error.empty()) << row.answer.substr(0, 60) << ": " << error;
    if (ok) {
      EXPECT_EQ(answer.body, row.body);
    } else {
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
      EXPECT_NE(error.find("http://127.0.0.1:"), std::string::npos) << error;
    }
  }
  // Addresses: http only, with a port; IPv6 in brackets.
  cli::HttpTarget target;
  std::string error;
  ASSERT_TRUE(cli::ParseHttpUrl("http://[::1]:8080/", target, error)) << error;
  EXPECT_EQ(target.HostHeader(), "[::1]:8080");
  for (const char* bad : {"http://host", "http://host:0", "http://host:65536", "ftp://h:1",
                          "http://h:1/api", "http://:1", "http://[::1]8080"}) {
    EXPECT_FALSE(cli::ParseHttpUrl(bad, target, error)) << bad;
  }
}

// ---- starting refused ------------------------------------------------------

TEST(HttpStartTest, UnsafeOrBrokenSetupsExitWithTheHttpCode) {
  TempDir dir;
  struct Case {
    std::string arguments;
    std::string message;
  } cases[] = {
      // Refused before anything is bound.
      {"--http 0.0.0.0:0", "not a loopback address"},
      {"--http 127.0.0.1:0 --http-auth-file " + dir.File("missing"), "auth file"},
      {"--http 127.0.0.1:99999", "listen address"},
  };
  for (const Case& c : cases) {
    const std::string command = std::string(KORVAN_HOST_PATH) + " simulate --cycles 1 --db " +
                                dir.File("db") + " " + c.arguments + " >" + dir.File("out") +
                                " 2>" + dir.File("err");
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << c.arguments;
    EXPECT_EQ(WEXITSTATUS(status), runtime::exit_codes::kHttp) << c.arguments;
    EXPECT_NE(ReadFile(dir.File("err")).find(c.message), std::string::npos)
        << c.arguments << ": " << ReadFile(dir.File("err"));
  }
}

}  // namespace
