// What an open dashboard costs the server: a 7-day store of N systems made
// directly with the store's API, the history queries measured on it (with
// and without an index by device, and the bytes a commit writes with each),
// and the dashboard's request pattern replayed against korvan-host serving
// that store (scripts/bench_dashboard.sh). Figures in docs/performance.md.
//
//   korvan-dashboard-load build DB [SYSTEMS] [DAYS]
//       rows of N systems (AC 2000+k, DC 3000+k, rectifiers 1000+k, as
//       scripts/bench_sims.sh configures them) at one row a minute per
//       device, the store's default, up to now
//   korvan-dashboard-load queries DB [SYSTEMS]
//       the dashboard's history queries on DB, as the server makes them, and
//       the bytes that 30 minutes of commits write; then the same with an
//       index on (data_id, time) added to a copy
//   korvan-dashboard-load replay URL PID [SYSTEMS] [SECONDS] [EVERY]
//       the first load of the week view (a row per EVERY seconds, 0: every
//       row) and then the page's requests every 2 s, with and without
//       Accept-Encoding: gzip; CPU of process PID
//   korvan-dashboard-load smoke
//       a small store, the queries and the JSON of a series: the benchmark's
//       code runs (no figure)
#include <json/value.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_cpu.h"
#include "http/history_series.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "runtime/local_time_text.h"
#include "runtime/time_bound.h"
#include "store/record_store.h"
#include "tests/support/gunzip.h"
#include "tests/support/http_client.h"
#include "units/ac/tele_pmbuspower_ac.h"
#include "units/dc/tele_pmbuspower_dc.h"
#include "units/rc/tele_pmbuspower_rc.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int kEverySeconds = 60;  // --history-every's default
constexpr int kModules = 3;        // korvan-sim's default system

struct Device {
  std::uint32_t data_id;
  int record_type;
};

std::vector<Device> Devices(int systems) {
  std::vector<Device> devices;
  for (int k = 1; k <= systems; ++k) {
    devices.push_back({static_cast<std::uint32_t>(2000 + k), records::kAcSnapshot});
    devices.push_back({static_cast<std::uint32_t>(3000 + k), records::kDcRecord});
    devices.push_back({static_cast<std::uint32_t>(1000 + k), records::kRectifierSnapshot});
  }
  return devices;
}

void PutFloat(Bytes& bytes, std::size_t offset, float value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A record of the device with values that move a little from row to row,
// as measured ones do (the rest zero): what compression meets.
Bytes RecordOf(const Device& device, std::int64_t row) {
  const float wobble = static_cast<float>(std::sin(static_cast<double>(row) * 0.37)) * 0.4f;
  Bytes bytes;
  if (device.record_type == records::kAcSnapshot) {
    bytes.assign(sizeof(tele_c_korvan_ac) + sizeof(tele_c_korvan_ac_channel), 0);
    bytes[offsetof(tele_c_korvan_ac, channel_count)] = 1;
    const std::size_t channel = sizeof(tele_c_korvan_ac);
    PutFloat(bytes, channel + offsetof(tele_c_korvan_ac_channel, a), 230.1f + wobble);
    PutFloat(bytes, channel + offsetof(tele_c_korvan_ac_channel, b), 229.7f - wobble);
    PutFloat(bytes, channel + offsetof(tele_c_korvan_ac_channel, c), 230.4f + wobble / 2);
    PutFloat(bytes, channel + offsetof(tele_c_korvan_ac_channel, f), 50.0f + wobble / 20);
  } else if (device.record_type == records::kDcRecord) {
    bytes.assign(sizeof(tele_c_korvan_dc), 0);
    PutFloat(bytes, offsetof(tele_c_korvan_dc, v), 53.5f + wobble / 4);
    PutFloat(bytes, offsetof(tele_c_korvan_dc, i), 41.2f + wobble * 3);
  } else {
    bytes.assign(sizeof(tele_c_korvan_rc) + kModules * sizeof(tele_c_korvan_rc_channel), 0);
    bytes[offsetof(tele_c_korvan_rc, module_count)] = kModules;
    for (int m = 0; m < kModules; ++m) {
      PutFloat(bytes,
               sizeof(tele_c_korvan_rc) + m * sizeof(tele_c_korvan_rc_channel) +
                   offsetof(tele_c_korvan_rc_channel, output_current),
               13.7f + static_cast<float>(m) + wobble);
    }
  }
  return bytes;
}

boost::posix_time::ptime LocalTime(std::int64_t unix_seconds) {
  return boost::posix_time::time_from_string(runtime::LocalTextOf(unix_seconds));
}

// Rows of every device, one a minute each (the devices spread over the
// minute), from `days` ago to `end`.
std::int64_t Build(const std::string& db, int systems, int days, std::int64_t end) {
  std::filesystem::remove(db);
  runtime::RecordStore store(db, runtime::HistoryBound{0, 0, 0});
  const std::vector<Device> devices = Devices(systems);
  const std::int64_t first = end - static_cast<std::int64_t>(days) * 86400 + kEverySeconds;
  std::int64_t rows = 0;
  runtime::StoreBatch batch;
  for (std::int64_t minute = first; minute <= end; minute += kEverySeconds) {
    for (std::size_t d = 0; d < devices.size(); ++d) {
      const std::int64_t t = minute - kEverySeconds + 1 +
                             static_cast<std::int64_t>(d) * (kEverySeconds - 1) /
                                 static_cast<std::int64_t>(devices.size());
      batch.history.push_back({devices[d].data_id, devices[d].record_type, LocalTime(t),
                               std::make_shared<const Bytes>(RecordOf(devices[d], t))});
      ++rows;
    }
    if (batch.history.size() >= 5000) {
      store.Write(batch);
      batch = runtime::StoreBatch();
    }
  }
  for (const Device& device : devices) {
    const Bytes record = RecordOf(device, end);
    batch.cache.push_back({device.data_id, device.record_type, LocalTime(end),
                           std::make_shared<const Bytes>(record)});
  }
  store.Write(batch);
  return rows;
}

// The chart's fields of a device, as vocabulary names.
std::vector<std::string> ChartFields(int record_type) {
  if (record_type == records::kAcSnapshot) {
    return {"ac.1.channel.*.L1-N.voltage", "ac.1.channel.*.L2-N.voltage",
            "ac.1.channel.*.L3-N.voltage", "ac.1.channel.*.frequency"};
  }
  if (record_type == records::kDcRecord) return {"dc.1.output.voltage", "dc.1.output.current"};
  return {"rectifier.*.current"};
}

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Bytes this process has passed to write(2) and the like.
long long WrittenBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}

struct QueryFigures {
  double week_ms = 0;    // a device's week, per query (mean)
  double recent_ms = 0;  // since = 2 s ago, per query (mean)
  std::size_t week_values = 0;
};

QueryFigures MeasureQueries(const std::string& db, int systems, std::int64_t now) {
  runtime::RecordStore store(db, {}, 2000, runtime::SqliteDb::Access::kReadOnly);
  const std::atomic<bool> never{false};
  QueryFigures figures;
  const std::vector<Device> devices = Devices(systems);
  for (const bool week : {true, false}) {
    const auto start = Clock::now();
    int queries = 0;
    const int rounds = week ? 1 : 20;
    for (int round = 0; round < rounds; ++round) {
      for (const Device& device : devices) {
        http_output::SeriesRequest request;
        request.data_id = device.data_id;
        request.record_type = device.record_type;
        request.limit = 20000;
        for (const std::string& text : ChartFields(device.record_type)) {
          http_output::SeriesField field;
          std::string error;
          http_output::ParseSeriesField(text, field, error);
          request.fields.push_back(field);
        }
        request.since = runtime::LocalTextOf(week ? now - 7 * 86400 : now - 2);
        const http_output::SeriesText series = http_output::HistorySeries(store, request, never);
        if (week) figures.week_values += series.t.size();
        ++queries;
      }
    }
    (week ? figures.week_ms : figures.recent_ms) = Milliseconds(Clock::now() - start) / queries;
  }
  return figures;
}

// 30 minutes of the store writer at its defaults: a commit every 5 s with
// the rows whose minute came in it. Bytes written per commit.
double CommitBytes(const std::string& db, int systems, std::int64_t now, bool device_index) {
  runtime::RecordStore store(db, runtime::HistoryBound{0, 7, 10000});
  if (device_index) {
    // After the store opened: a writer drops indexes by device at open.
    runtime::SqliteDb(db, 60000).Exec(
        "CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, time)");
  }
  const std::vector<Device> devices = Devices(systems);
  const long long before = WrittenBytes();
  int commits = 0;
  for (std::int64_t t = now + 5; t <= now + 1800; t += 5, ++commits) {
    runtime::StoreBatch batch;
    for (std::size_t d = 0; d < devices.size(); ++d) {
      const std::int64_t offset = static_cast<std::int64_t>(d) * (kEverySeconds - 1) /
                                  static_cast<std::int64_t>(devices.size());
      for (std::int64_t s = t - 4; s <= t; ++s) {
        if ((s - offset) % kEverySeconds != 0) continue;
        batch.history.push_back({devices[d].data_id, devices[d].record_type, LocalTime(s),
                                 std::make_shared<const Bytes>(RecordOf(devices[d], s))});
      }
    }
    if (!batch.history.empty()) store.Write(batch);
  }
  return static_cast<double>(WrittenBytes() - before) / commits;
}

int Queries(const std::string& db, int systems) {
  const std::int64_t now = runtime::UnixNow();
  // The store's newest row tells where "now" was when it was built.
  std::int64_t newest = now;
  {
    runtime::RecordStore store(db, {}, 2000, runtime::SqliteDb::Access::kReadOnly);
    const std::vector<runtime::HistoryRow> last = store.History(std::nullopt, 1);
    if (!last.empty()) newest = runtime::UnixSecondsOf(last[0].time).value_or(now);
  }
  const std::string copy = db + ".indexed";
  for (const bool indexed : {false, true}) {
    std::filesystem::copy_file(db, copy, std::filesystem::copy_options::overwrite_existing);
    if (indexed) {
      runtime::SqliteDb(copy, 60000)
          .Exec("CREATE INDEX history_by_device ON history (data_id, time)");
    }
    const QueryFigures q = MeasureQueries(copy, systems, newest);
    const double commit = CommitBytes(copy, systems, newest, indexed);
    std::printf(
        "%-28s week view %.1f ms per device query; since 2 s ago %.3f ms per query; "
        "%.0f bytes written per commit\n",
        indexed ? "index on (data_id, time):" : "time index only (as kept):", q.week_ms,
        q.recent_ms, commit);
    std::filesystem::remove(copy);
    std::filesystem::remove(copy + "-journal");
  }
  return 0;
}

// ---- the replay -------------------------------------------------------------

// One keep-alive connection, as a browser's tab keeps its connections.
struct Client {
  int port = 0;
  bool gzip = false;
  long long bytes = 0;  // bodies as they came
  int requests = 0, failed = 0;
  int fd = -1;
  std::string buffer;  // bytes read past the last answer

  ~Client() {
    if (fd >= 0) close(fd);
  }

  // Reads until `buffer` holds `size` bytes; false when the connection ends.
  bool Fill(std::size_t size) {
    char chunk[65536];
    while (buffer.size() < size) {
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }

  HttpAnswer Exchange(const std::string& request) {
    HttpAnswer answer;
    if (fd < 0) fd = ConnectLoopback(port);
    if (fd < 0 || !SendAll(fd, request)) return answer;
    std::size_t head_end;
    while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill(buffer.size() + 1)) return answer;
    }
    answer = ParseHead(buffer.substr(0, head_end));
    buffer.erase(0, head_end + 4);
    const std::string length_text = answer.Header("content-length");
    const std::size_t length = length_text.empty() ? 0 : std::stoul(length_text);
    if (!Fill(length)) return HttpAnswer();
    answer.body = buffer.substr(0, length);
    buffer.erase(0, length);
    return answer;
  }

  HttpAnswer Get(const std::string& path) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAccept: application/json\r\n";
    if (gzip) request += "Accept-Encoding: gzip, deflate, br\r\n";
    request += "\r\n";
    HttpAnswer answer = Exchange(request);
    if (answer.status < 0) {  // the server closed an idle connection: once more
      close(fd);
      fd = -1;
      buffer.clear();
      answer = Exchange(request);
    }
    ++requests;
    if (answer.status != 200) ++failed;
    bytes += static_cast<long long>(answer.body.size());
    return answer;
  }
};

// The newest t of a history answer (plain or gzip); -1 when none.
std::int64_t LastT(const HttpAnswer& answer) {
  const std::string body =
      answer.Header("content-encoding") == "gzip" ? Gunzip(answer.body) : answer.body;
  Json::Value value;
  std::string error;
  if (!json_text::Parse(body, false, value, error) || !value["t"].isArray() || value["t"].empty()) {
    return -1;
  }
  return value["t"][value["t"].size() - 1].asInt64();
}

struct Chart {
  std::string system;
  Device device;
  std::int64_t last_t = -1;
};

// `every` > 0: a row per that many seconds (the week view's resolution).
std::string HistoryPath(const Chart& chart, std::int64_t since, int every = 0) {
  std::string fields;
  for (const std::string& field : ChartFields(chart.device.record_type)) {
    fields += (fields.empty() ? "" : ",") + field;
  }
  return "/api/systems/" + chart.system + "/devices/" + std::to_string(chart.device.data_id) +
         "/history?fields=" + fields + "&since=" + std::to_string(since) + "&limit=20000" +
         (every > 0 ? "&every=" + std::to_string(every) : "");
}

// What a tab asks each time it polls. The overview: the site, the systems,
// the alarms and each system's values. A system's page adds, for each of its
// devices, the record and its chart's rows since the last one shown.
// "Every chart" asks for the charts of all systems at once, as the page did
// before it had an overview: kept to compare with the earlier figures.
struct Page {
  const char* name;
  std::vector<Chart> charts;
  bool records = false;
  bool plain_too = false;  // also measured without gzip
};

std::vector<Chart> ChartsOf(int systems, int first, int last) {
  std::vector<Chart> charts;
  for (int k = first; k <= last; ++k) {
    for (const Device& device : Devices(systems)) {
      if (device.data_id % 1000 == static_cast<std::uint32_t>(k)) {
        charts.push_back({"s" + std::to_string(k), device});
      }
    }
  }
  return charts;
}

void Overview(Client& client, int systems) {
  client.Get("/api/site");
  client.Get("/api/systems");
  client.Get("/api/alarms");
  for (int k = 1; k <= systems; ++k) client.Get("/api/systems/s" + std::to_string(k) + "/values");
}

// The week view's first load (the charts' whole window), then `seconds` of
// polls every 2 s. Prints bytes and server CPU of each.
void Measure(Client& client, pid_t pid, Page& page, int systems, int seconds, int every) {
  client.bytes = 0;
  client.requests = 0;
  client.failed = 0;
  const std::int64_t start = runtime::UnixNow() - 7 * 86400;
  double cpu = ProcessCpu(pid);
  auto wall = Clock::now();
  Overview(client, systems);
  for (Chart& chart : page.charts) {
    if (page.records) {
      client.Get("/api/systems/" + chart.system + "/devices/" +
                 std::to_string(chart.device.data_id) + "/record");
    }
    chart.last_t = LastT(client.Get(HistoryPath(chart, start, every)));
  }
  const double load_cpu = ProcessCpu(pid) - cpu;
  const double load_wall = Milliseconds(Clock::now() - wall) / 1000;
  const long long load_bytes = client.bytes;
  const int load_failed = client.failed;
  client.bytes = 0;
  client.requests = 0;
  cpu = ProcessCpu(pid);
  wall = Clock::now();
  for (int tick = 0; tick < seconds / 2; ++tick) {
    const auto next = Clock::now() + std::chrono::seconds(2);
    Overview(client, systems);
    for (Chart& chart : page.charts) {
      if (page.records) {
        client.Get("/api/systems/" + chart.system + "/devices/" +
                   std::to_string(chart.device.data_id) + "/record");
      }
      const std::int64_t t = LastT(client.Get(HistoryPath(chart, chart.last_t + 1)));
      if (t >= 0) chart.last_t = t;
    }
    std::this_thread::sleep_until(next);
  }
  const double steady_cpu = ProcessCpu(pid) - cpu;
  const double steady_wall = Milliseconds(Clock::now() - wall) / 1000;
  std::printf(
      "%s, %s, week rows every %d s: first load %lld bytes, %.2f s CPU of the server in %.2f s "
      "(%d not 200); steady: %.2f %% of a core (%.3f s CPU in %.1f s, server and its polling), "
      "%d requests, %.0f bytes/s\n",
      page.name, client.gzip ? "gzip" : "plain", every, load_bytes, load_cpu, load_wall,
      load_failed, 100 * steady_cpu / steady_wall, steady_cpu, steady_wall, client.requests,
      static_cast<double>(client.bytes) / steady_wall);
  std::fflush(stdout);
}

int Replay(const std::string& url, pid_t pid, int systems, int seconds, int every) {
  const std::size_t colon = url.rfind(':');
  const int port = std::stoi(url.substr(colon + 1));
  std::vector<Page> pages = {
      {"overview", {}, false, false},
      {"a system's page", ChartsOf(systems, 1, 1), true, false},
      {"every chart", ChartsOf(systems, 1, systems), false, true},
      // The first window of a run costs more than later ones (the server's
      // first answers: allocations, compressors): the overview once more.
      {"overview again", {}, false, false},
  };
  // The polling alone, before the pages and after them: the first minutes of
  // a run cost more (the first cycles, the first commits).
  const auto polling_alone = [&](const char* when) {
    const double cpu = ProcessCpu(pid);
    const auto wall = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double idle_wall = Milliseconds(Clock::now() - wall) / 1000;
    std::printf("no page, %s: %.2f %% of a core (the polling of %d systems)\n", when,
                100 * (ProcessCpu(pid) - cpu) / idle_wall, systems);
    std::fflush(stdout);
  };
  polling_alone("before");
  // Browsers ask for gzip; the plain answers of every chart are for comparison.
  for (Page& page : pages) {
    for (const bool gzip : {true, false}) {
      if (!gzip && !page.plain_too) continue;
      Client client;
      client.port = port;
      client.gzip = gzip;
      Measure(client, pid, page, systems, seconds, every);
    }
  }
  polling_alone("after");
  return 0;
}

int Smoke() {
  const std::string dir = std::filesystem::temp_directory_path() /
                          ("korvan-dashboard-smoke-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::int64_t now = 1796845691;
  const std::int64_t rows = Build(dir + "/s.db", 2, 1, now);
  const QueryFigures q = MeasureQueries(dir + "/s.db", 2, now);
  const double commit = CommitBytes(dir + "/s.db", 2, now, false);
  std::filesystem::remove_all(dir);
  // A day of 6 devices at a row a minute; every query found its rows.
  const bool ok = rows == 6 * 1440 && q.week_values > 0 && commit > 0;
  std::printf("smoke: %lld rows, %s\n", static_cast<long long>(rows), ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto number = [&](std::size_t k, int otherwise) {
    return args.size() > k ? std::stoi(args[k]) : otherwise;
  };
  try {
    if (args.size() >= 2 && args[0] == "build") {
      const auto start = Clock::now();
      const std::int64_t rows = Build(args[1], number(2, 16), number(3, 7), runtime::UnixNow());
      std::printf("built %s: %lld rows in %.1f s, %lld bytes\n", args[1].c_str(),
                  static_cast<long long>(rows), Milliseconds(Clock::now() - start) / 1000,
                  static_cast<long long>(std::filesystem::file_size(args[1])));
      return 0;
    }
    if (args.size() >= 2 && args[0] == "queries") return Queries(args[1], number(2, 16));
    if (args.size() >= 3 && args[0] == "replay") {
      return Replay(args[1], static_cast<pid_t>(std::stol(args[2])), number(3, 16), number(4, 60),
                    number(5, 0));
    }
    if (args.size() == 1 && args[0] == "smoke") return Smoke();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "korvan-dashboard-load: %s\n", failure.what());
    return 1;
  }
  std::fprintf(stderr,
               "usage: korvan-dashboard-load build DB [SYSTEMS] [DAYS] | queries DB [SYSTEMS] | "
               "replay URL PID [SYSTEMS] [SECONDS] [EVERY] | smoke\n");
  return 2;
}
