#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http/gzip_body.h"
#include "http/history_series.h"
#include "http/host_check.h"
#include "http/http_auth.h"
#include "http/listen_address.h"
#include "http/metrics_text.h"
#include "http/query_params.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "runtime/exit_codes.h"
#include "runtime/local_time_text.h"
#include "runtime/time_bound.h"
#include "store/record_store.h"
#include "tests/support/http_client.h"
#include "tests/support/simulated_server.h"
#include "tests/support/temp_dir.h"
#include "tools/cli/polling_options.h"
#include "tools/cli/query_options.h"
#include "units/rc/tele_pmbuspower_rc.h"

using namespace http_output;

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

TEST(MetricsTextTest, StalePointsAreLeftOutAndLabelsEscaped) {
  runtime::SystemSummary fresh;
  fresh.system = "site \"a\"\\b\nc";
  runtime::UnitSummary dc;
  dc.data_id = 21;
  dc.points = {{"v", true, 53.6f, ""}, {"i", false, 0, "数据已超时"}};
  fresh.dc_units = {dc};
  runtime::UnitSummary ac;
  ac.data_id = 11;
  ac.points = {{"ia", true, 1.5f, ""}, {"channel_1_f", true, 50, ""}, {"odd", true, 1, ""}};
  fresh.ac_units = {ac};
  fresh.rectifiers.present = true;
  fresh.rectifiers.has_record = true;
  fresh.rectifiers.data_id = 1;
  fresh.rectifiers.record.modules = {{12.25f, 1, 0, 0, 0}, {0, 0, 0, 0, 1}};
  runtime::SystemSummary lost = fresh;
  lost.system = "lost";
  lost.communication_lost = true;

  SystemState state;
  state.name = fresh.system;
  state.line.dropped = {{"checksum", 3}};
  runtime::AlarmEvent alarm;
  alarm.data_id = 1;
  alarm.record_type = 5211;
  alarm.id = "RC_1";
  alarm.name = "模块故障";
  state.alarms[{1, 5211, "RC_1", ""}] = alarm;

  const std::vector<Sample> samples =
      ParseExposition(MetricsText({fresh, lost}, {state}, {{"store", 41, 0}, {"notify", 3, 2}}));
  const std::string system = fresh.system;
  const std::string escaped = "site \\\"a\\\"\\\\b\\nc";
  const Sample* v = FindSample(samples, "korvan_dc_voltage_volts", {{"device", "21"}});
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->labels.at("system"), escaped);
  EXPECT_FLOAT_EQ(static_cast<float>(v->value), 53.6f);
  EXPECT_EQ(FindSample(samples, "korvan_dc_current_amperes", {}), nullptr);  // a status text
  EXPECT_EQ(FindSample(samples, "korvan_dc_voltage_volts", {{"system", "lost"}}), nullptr);
  EXPECT_NE(FindSample(samples, "korvan_ac_current_amperes", {{"phase", "a"}}), nullptr);
  EXPECT_NE(FindSample(samples, "korvan_ac_input_frequency_hertz", {{"channel", "1"}}), nullptr);
  const Sample* fault = FindSample(samples, "korvan_rectifier_module_fault", {{"module", "2"}});
  ASSERT_NE(fault, nullptr);
  EXPECT_EQ(fault->value, 1);
  EXPECT_NE(FindSample(samples, "korvan_alarm_active", {{"id", "RC_1"}, {"name", "模块故障"}}),
            nullptr);
  const Sample* dropped =
      FindSample(samples, "korvan_line_frames_dropped_total", {{"reason", "checksum"}});
  ASSERT_NE(dropped, nullptr);
  EXPECT_EQ(dropped->value, 3);
  const Sample* missed =
      FindSample(samples, "korvan_output_events_dropped_total", {{"output", "notify"}});
  ASSERT_NE(missed, nullptr);
  EXPECT_EQ(missed->value, 2);
  EXPECT_EQ(SampleValue(std::nan("")), "NaN");
  EXPECT_EQ(FloatValue(-INFINITY), "-Inf");
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

TEST_F(HttpServerTest, PointsAndMetricsGiveThePointReadsValues) {
  const std::map<std::string, std::uint32_t> ids = Devices();
  ASSERT_EQ(ids.count("dc"), 1u);
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    return server_->Get("/api/systems/simulated/points")["dc"][0]["points"]["v"].isNumeric();
  }));
  // Two point answers alike around a scrape: no cycle changed the values
  // between them, so the scrape read the same.
  Json::Value points;
  std::vector<Sample> samples;
  ASSERT_TRUE(SimulatedServer::WaitFor([&] {
    points = server_->Get("/api/systems/simulated/points");
    const HttpAnswer metrics = server_->Fetch("/metrics");
    if (metrics.status != 200) return false;
    EXPECT_EQ(metrics.Header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    samples = ParseExposition(metrics.body);
    const Json::Value again = server_->Get("/api/systems/simulated/points");
    return points["ac"] == again["ac"] && points["dc"] == again["dc"];
  }));
  int compared = 0;
  for (const Json::Value& unit : points["dc"]) {
    for (const std::string point : {"v", "i"}) {
      if (!unit["points"][point].isNumeric()) continue;
      const std::string name =
          point == "v" ? "korvan_dc_voltage_volts" : "korvan_dc_current_amperes";
      const Sample* sample = FindSample(
          samples, name, {{"system", "simulated"}, {"device", unit["data_id"].asString()}});
      ASSERT_NE(sample, nullptr) << name;
      EXPECT_EQ(static_cast<float>(sample->value), unit["points"][point].asFloat()) << name;
      ++compared;
    }
  }
  EXPECT_GE(compared, 2);
  const Sample* up = FindSample(samples, "korvan_communication_up", {{"system", "simulated"}});
  ASSERT_NE(up, nullptr);
  EXPECT_EQ(up->value, 1);
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
  const HttpAnswer metrics = server_->Fetch("/metrics");
  ASSERT_EQ(metrics.status, 200);
  const std::vector<Sample> samples = ParseExposition(metrics.body);
  EXPECT_NE(FindSample(samples, "korvan_alarm_active",
                       {{"system", "simulated"},
                        {"device", std::to_string(rc)},
                        {"id", alarm["id"].asString()},
                        {"code", alarm["code"].asString()}}),
            nullptr);
  const Sample* fault = FindSample(samples, "korvan_rectifier_module_fault", {{"module", "2"}});
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
      // The query before may still hold its thread for a moment: 503 until it is gone.
      HttpAnswer answer;
      SimulatedServer::WaitFor([&] {
        answer =
            server_->Fetch("/api/alarms/events?" + std::string(bound) + "=" + encoded(row.text));
        return answer.status != 503;
      });
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
