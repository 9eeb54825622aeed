// The fleet uplink's load: N simulated sites, each with its own store and
// MQTT uplink, publish the real records of the simulator's power system
// every cycle to one local mosquitto, which a subscriber of the whole fleet
// reads. Reports messages per second, bytes per site per day, and CPU: of
// the sites' side (this process) and of the broker.
//
//   korvan-mqtt-fleet RECORDS_DB [SITES] [SECONDS] [CYCLE_SECONDS] [REPORT]
//
// RECORDS_DB: a database of a simulate session that stored every cycle
// (korvan-host simulate --cycles 120 --history-every 0 --db FILE). Its
// history is played as the plant's cycles, taking recorded cycles at least
// CYCLE_SECONDS apart, so that the values drift at least as much as over a
// cycle; forwards, then backwards, and so on, so that the plant never jumps.
// Each site starts at another cycle. Without history, the cache rows are
// the one cycle. REPORT: the uplink's "by-exception" (default) or
// "every-cycle".
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_cpu.h"
#include "mqtt/mqtt_uplink.h"
#include "runtime/event_stream.h"
#include "store/sqlite_db.h"
#include "store/store_writer.h"
#include "tests/support/loopback_port.h"

namespace {

using Clock = std::chrono::steady_clock;

double SelfCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Counter {
  std::atomic<std::uint64_t> messages{0};
  std::atomic<std::uint64_t> bytes{0};  // topic and payload
  std::atomic<std::uint64_t> records{0};
};

struct Site {
  std::shared_ptr<runtime::RecordStore> store;
  std::shared_ptr<mqtt::MqttUplink> uplink;
  std::shared_ptr<runtime::StoreWriter> writer;
};

// One worker: `count` sites from `first`, each with its store, uplink and
// store writer. Reports "r" when connected, then after the start byte runs a
// warm-up cycle and the window, and reports its CPU seconds of the window
// and the messages left unacknowledged.
using Cycles = std::vector<std::vector<runtime::RuntimeEvent>>;

int RunSites(const Cycles& cycles, const std::string& report, const std::filesystem::path& work,
             int port, int first, int count, double cycle, double seconds, int start_fd,
             int report_fd) {
  runtime::EventStream events;  // no outputs: notes and problems go nowhere
  std::vector<Site> sites;
  for (int i = first; i < first + count; ++i) {
    Site site;
    site.store = std::make_shared<runtime::RecordStore>(
        (work / ("site" + std::to_string(i) + ".db")).string(), runtime::HistoryBound());
    mqtt::UplinkOptions options;
    options.url = "mqtt://127.0.0.1:" + std::to_string(port);
    options.site = "site" + std::to_string(i);
    options.report = report;
    site.uplink = std::make_shared<mqtt::MqttUplink>(options, events, site.store,
                                                     std::vector<std::string>{"main"});
    site.uplink->Start();
    site.writer = std::make_shared<runtime::StoreWriter>(
        site.store, events, runtime::StoreWriterOptions(), site.uplink);
    sites.push_back(site);
  }
  for (int i = 0; i < 600; ++i) {
    bool all = true;
    for (const Site& site : sites) all = all && site.uplink->Connected();
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  char go = 0;
  if (write(report_fd, "r", 1) != 1 || read(start_fd, &go, 1) != 1) return 1;
  // Every cycle each site publishes all its records and its line health,
  // and commits when due; the sites are spread over the cycle. Site i plays
  // the recorded cycles from cycle i, back and forth.
  std::vector<std::uint64_t> played(sites.size());
  const std::uint64_t period = cycles.size() < 2 ? 1 : 2 * (cycles.size() - 1);
  auto run = [&](double duration) {
    const Clock::time_point start = Clock::now();
    const auto step = std::chrono::duration<double>(cycle / count);
    for (std::uint64_t n = 0;; ++n) {
      const Clock::time_point at =
          start + std::chrono::duration_cast<Clock::duration>(step * static_cast<double>(n));
      if (at - start >= std::chrono::duration<double>(duration)) break;
      std::this_thread::sleep_until(at);
      const std::size_t index = n % sites.size();
      Site& site = sites[index];
      const std::uint64_t phase = (first + index + played[index]++) % period;
      const auto& records = cycles[phase < cycles.size() ? phase : period - phase];
      const auto now = boost::posix_time::microsec_clock::local_time();
      for (runtime::RuntimeEvent event : records) {
        event.time = now;
        site.writer->OnEvent(event);
      }
      runtime::RuntimeEvent health;
      health.kind = runtime::RuntimeEvent::Kind::kLineHealth;
      health.system = "main";
      health.time = now;
      site.uplink->OnEvent(health);
      if (Clock::now() >= site.writer->NextDeadline()) site.writer->OnDeadline();
    }
  };
  run(cycle);
  const double cpu0 = SelfCpu();
  run(seconds);
  const double cpu = SelfCpu() - cpu0;
  std::uint64_t backlog = 0;
  for (const Site& site : sites) backlog += site.uplink->Backlog();
  const std::string result =
      std::to_string(cpu) + " " + std::to_string(static_cast<unsigned long long>(backlog)) + "\n";
  if (write(report_fd, result.data(), result.size()) < 0) return 1;
  // Stopped together: each waits a moment for its last acknowledgements.
  std::vector<std::thread> stopping;
  for (Site& site : sites) stopping.emplace_back([&site] { site.uplink->Stop(); });
  for (std::thread& thread : stopping) thread.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: korvan-mqtt-fleet RECORDS_DB [SITES] [SECONDS] [CYCLE_SECONDS] "
                 "[by-exception|every-cycle]\n";
    return 2;
  }
  const std::string records_db = argv[1];
  const int sites_count = argc > 2 ? std::atoi(argv[2]) : 100;
  const double seconds = argc > 3 ? std::atof(argv[3]) : 30;
  const double cycle = argc > 4 ? std::atof(argv[4]) : 3;
  const std::string mode = argc > 5 ? argv[5] : "by-exception";

  // The cycles of one simulated power system: its history rows in order, a
  // cycle ending where a device comes again; those at least a cycle apart.
  Cycles cycles;
  {
    runtime::SqliteDb db(records_db, 2000, runtime::SqliteDb::Access::kReadOnly);
    const auto read = [&](const char* sql) {
      runtime::SqliteStatement select(db, sql);
      Cycles read;
      std::vector<boost::posix_time::ptime> times;
      std::set<std::pair<std::int64_t, std::int64_t>> devices;
      while (select.Next()) {
        runtime::RuntimeEvent event;
        event.kind = runtime::RuntimeEvent::Kind::kRecordPublished;
        event.system = "main";
        event.device = {static_cast<std::uint32_t>(select.Int(0)), static_cast<int>(select.Int(1))};
        event.record = std::make_shared<const std::vector<unsigned char>>(select.Blob(2));
        if (read.empty() || !devices.insert({select.Int(0), select.Int(1)}).second) {
          devices = {{select.Int(0), select.Int(1)}};
          read.emplace_back();
          times.push_back(boost::posix_time::time_from_string(select.Text(3)));
        }
        read.back().push_back(event);
      }
      Cycles taken;
      boost::posix_time::ptime last;
      for (std::size_t i = 0; i < read.size(); ++i) {
        if (taken.empty() || (times[i] - last).total_milliseconds() >= cycle * 1000) {
          taken.push_back(read[i]);
          last = times[i];
        }
      }
      return taken;
    };
    cycles = read("SELECT data_id, record_type, record, time FROM history ORDER BY id");
    if (cycles.size() < 2) cycles = read("SELECT data_id, record_type, record, time FROM cache");
  }
  if (cycles.empty()) {
    std::cerr << records_db << ": no history or cache rows\n";
    return 1;
  }

  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("korvan-mqtt-fleet-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  const int port = FreeLoopbackPort();
  {
    std::ofstream conf(work / "mosquitto.conf");
    conf << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
         << "max_connections -1\nmax_queued_messages 0\n";
  }
  const pid_t broker = fork();
  if (broker == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    const std::string conf = (work / "mosquitto.conf").string();
    execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && !LoopbackAccepts(port); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  // The fleet's subscriber.
  mosquitto_lib_init();
  Counter counter;
  mosquitto* subscriber = mosquitto_new("fleet-subscriber", true, &counter);
  mosquitto_connect_callback_set(subscriber, [](mosquitto* client, void*, int) {
    mosquitto_subscribe(client, nullptr, "korvan/#", 1);
  });
  mosquitto_message_callback_set(
      subscriber, [](mosquitto*, void* self, const mosquitto_message* message) {
        auto* count = static_cast<Counter*>(self);
        count->messages += 1;
        const std::size_t topic = std::strlen(message->topic);
        count->bytes += topic + static_cast<std::size_t>(message->payloadlen);
        if (topic >= 7 && std::strcmp(message->topic + topic - 7, "/record") == 0) {
          count->records += 1;
        }
      });
  mosquitto_connect(subscriber, "127.0.0.1", port, 60);
  mosquitto_loop_start(subscriber);

  // The sites run in worker processes of at most kSitesPerProcess each:
  // libmosquitto waits on its sockets with select(), which takes no file
  // descriptor above 1023, and a controller runs one uplink anyway.
  constexpr int kSitesPerProcess = 200;
  struct Worker {
    pid_t pid;
    int start;   // the parent writes a byte: begin
    int report;  // the worker writes "ready", then its CPU seconds of the window
  };
  std::vector<Worker> workers;
  for (int first = 0; first < sites_count; first += kSitesPerProcess) {
    const int count = std::min(kSitesPerProcess, sites_count - first);
    int start[2], report[2];
    if (pipe(start) != 0 || pipe(report) != 0) return 1;
    const pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      close(report[0]);
      _exit(RunSites(cycles, mode, work, port, first, count, cycle, seconds, start[0], report[1]));
    }
    close(start[0]);
    close(report[1]);
    workers.push_back({pid, start[1], report[0]});
  }
  for (const Worker& worker : workers) {
    char ready = 0;
    if (read(worker.report, &ready, 1) != 1) std::cerr << "a worker failed to start\n";
  }
  for (const Worker& worker : workers) {
    if (write(worker.start, "g", 1) != 1) std::cerr << "a worker is gone\n";
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(cycle));  // warm-up
  const std::uint64_t messages0 = counter.messages, bytes0 = counter.bytes,
                      records0 = counter.records;
  const double broker0 = ProcessCpu(broker);
  const Clock::time_point t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const double messages = static_cast<double>(counter.messages - messages0);
  const double bytes = static_cast<double>(counter.bytes - bytes0);
  const double records = static_cast<double>(counter.records - records0);
  const double broker_cpu = ProcessCpu(broker) - broker0;
  double self = 0;
  unsigned long long backlog = 0;
  for (const Worker& worker : workers) {
    char text[128] = {};
    std::size_t got = 0;
    for (ssize_t n; got < sizeof text - 1 &&
                    (n = read(worker.report, text + got, sizeof text - 1 - got)) > 0;) {
      got += static_cast<std::size_t>(n);
    }
    double cpu = 0;
    unsigned long long left = 0;
    if (std::sscanf(text, "%lf %llu", &cpu, &left) == 2) {
      self += cpu;
      backlog += left;
    }
    waitpid(worker.pid, nullptr, 0);
  }

  std::printf(
      "sites %d, cycle %.1f s, window %.1f s, %zu records per site and cycle, %zu "
      "cycles played, report %s\n",
      sites_count, cycle, elapsed, cycles.front().size(), cycles.size(), mode.c_str());
  std::printf("messages received: %.1f/s (%.3f per site and cycle, of which %.3f records)\n",
              messages / elapsed, messages / elapsed * cycle / sites_count,
              records / elapsed * cycle / sites_count);
  std::printf("bytes (topic + payload): %.0f/s, %.1f MB per site per day\n", bytes / elapsed,
              bytes / elapsed / sites_count * 86400 / 1e6);
  std::printf("sites' side CPU: %.2f%% of a core in all, %.4f%% per site\n", 100 * self / seconds,
              100 * self / seconds / sites_count);
  std::printf("broker CPU: %.2f%% of a core, %.1f us per message received\n",
              100 * broker_cpu / elapsed, 1e6 * broker_cpu / std::max(1.0, messages));
  std::printf("unacknowledged at the end: %llu\n", backlog);

  mosquitto_disconnect(subscriber);
  mosquitto_loop_stop(subscriber, false);
  mosquitto_destroy(subscriber);
  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::filesystem::remove_all(work);
  return 0;
}
