// The MQTT uplink: its pieces alone, then korvan-host against a real
// mosquitto on a free loopback port, watched by a subscriber.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/writer.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "mqtt/mqtt_url.h"
#include "mqtt/outbox.h"
#include "mqtt/report_filter.h"
#include "records/json_text.h"
#include "records/record_decode.h"
#include "records/vocabulary.h"
#include "runtime/exit_codes.h"
#include "store/record_store.h"
#include "support/host_run.h"
#include "support/loopback_port.h"
#include "support/simulated_server.h"
#include "support/temp_dir.h"
#include "tools/cli/polling_options.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- The pieces ----

TEST(MqttUrl, ReadsHostPortAndScheme) {
  struct Case {
    std::string url;
    bool ok;
    bool tls;
    std::string host;
    int port;
  };
  const std::vector<Case> cases{
      {"mqtt://127.0.0.1:1884", true, false, "127.0.0.1", 1884},
      {"mqtts://broker.example:8884/", true, true, "broker.example", 8884},
      {"mqtt://broker", true, false, "broker", 1883},
      {"mqtts://broker", true, true, "broker", 8883},
      {"mqtt://[::1]:1885", true, false, "::1", 1885},
      {"http://broker:1883", false, false, "", 0},
      {"mqtt://:1883", false, false, "", 0},
      {"mqtt://broker:0", false, false, "", 0},
      {"mqtt://broker:65536", false, false, "", 0},
      {"mqtt://broker:12x", false, false, "", 0},
      {"mqtt://user@broker:1883", false, false, "", 0},
  };
  for (const Case& row : cases) {
    mqtt::BrokerAddress address;
    std::string error;
    ASSERT_EQ(mqtt::ParseBrokerUrl(row.url, address, error), row.ok) << row.url << " " << error;
    if (!row.ok) {
      EXPECT_NE(error.find(row.url), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(address.tls, row.tls) << row.url;
    EXPECT_EQ(address.host, row.host) << row.url;
    EXPECT_EQ(address.port, row.port) << row.url;
  }
}

TEST(MqttUrl, CredentialsComeFromTheFirstLine) {
  TempDir dir;
  mqtt::Credentials credentials;
  std::string error;
  ASSERT_TRUE(
      mqtt::ReadCredentials(dir.Write("ok", "site7:pa:ss\r\nignored\n"), credentials, error));
  EXPECT_EQ(credentials.user, "site7");
  EXPECT_EQ(credentials.password, "pa:ss");
  EXPECT_FALSE(mqtt::ReadCredentials(dir.Write("bad", "no colon\n"), credentials, error));
  EXPECT_NE(error.find("user:password"), std::string::npos) << error;
  EXPECT_FALSE(mqtt::ReadCredentials(dir.File("missing"), credentials, error));
  EXPECT_NE(error.find("cannot read: No such file"), std::string::npos) << error;
}

runtime::OutboxRow Message(bool record, const std::string& payload = "{}") {
  runtime::OutboxRow row;
  row.record = record;
  row.topic = record ? "p/s/y/device/1/record" : "p/s/y/alarm";
  row.payload = payload;
  return row;
}

std::vector<std::int64_t> Seqs(const std::vector<runtime::OutboxRow>& rows) {
  std::vector<std::int64_t> seqs;
  for (const auto& row : rows) seqs.push_back(row.seq);
  return seqs;
}

// What reaches the disk: only what is not acknowledged within the grace,
// deleted again by the commit after its acknowledgement.
TEST(MqttOutbox, OnlyUnacknowledgedMessagesReachTheStore) {
  mqtt::Outbox outbox(mqtt::OutboxLimits(), 1, 1000, 1000);
  const Clock::time_point t0 = Clock::now();
  const auto grace = std::chrono::seconds(1);
  for (int i = 0; i < 3; ++i) outbox.Add(Message(true), t0);
  outbox.Sent(1, 11);
  outbox.Sent(2, 12);
  outbox.Acked(11);  // 1 never touches the disk
  runtime::StoreBatch early;
  outbox.Collect(t0 + std::chrono::milliseconds(500), grace, false, early);
  EXPECT_TRUE(early.outbox.empty());
  runtime::StoreBatch batch;
  outbox.Collect(t0 + grace, grace, false, batch);
  EXPECT_EQ(Seqs(batch.outbox), (std::vector<std::int64_t>{2, 3}));
  outbox.Acked(12);  // acknowledged while its commit is under way
  outbox.Committed(batch);
  runtime::StoreBatch next;
  outbox.Collect(t0 + 2 * grace, grace, false, next);
  EXPECT_TRUE(next.outbox.empty());
  EXPECT_EQ(next.outbox_acked, (std::vector<std::int64_t>{2}));
  outbox.Committed(next);
  EXPECT_EQ(outbox.Count(), 1u);
  EXPECT_EQ(outbox.WaitingSince(), Clock::time_point::max());
}

// After a reconnection every message not acknowledged is sent again, in
// seq order, stored ones without their payload (read from the store).
TEST(MqttOutbox, BacklogIsSentAgainInOrderAfterReconnection) {
  mqtt::Outbox outbox(mqtt::OutboxLimits(), 1, 1000, 1000);
  runtime::OutboxRow stored = Message(true);
  stored.seq = 7;
  outbox.Restore(stored, 100);
  const Clock::time_point t0 = Clock::now();
  EXPECT_EQ(outbox.Add(Message(false, "{\"a\":1}"), t0), 8);
  EXPECT_EQ(outbox.Add(Message(true, "{\"b\":2}"), t0), 9);
  outbox.Sent(9, 1);  // live, in flight when the connection goes
  std::vector<std::int64_t> first;
  while (auto row = outbox.NextBacklog()) {
    first.push_back(row->seq);
    outbox.Sent(row->seq, 100 + static_cast<int>(row->seq));
  }
  EXPECT_EQ(first, (std::vector<std::int64_t>{7, 8}));
  outbox.Acked(107);
  outbox.ConnectionLost();
  std::vector<std::int64_t> again;
  while (auto row = outbox.NextBacklog()) {
    again.push_back(row->seq);
    EXPECT_EQ(row->payload.empty(), row->seq == 7);
  }
  EXPECT_EQ(again, (std::vector<std::int64_t>{8, 9}));
  outbox.Acked(1);  // an acknowledgement from before the reconnection counts for nothing
  EXPECT_EQ(outbox.Count(), 2u);
}

// A full outbox drops every other record of its oldest part, and counts
// what it dropped. Events count towards the bounds and go only when no
// record is left, the oldest first (a flapping alarm in a long outage).
TEST(MqttOutbox, FullOutboxThinsTheOldestRecordsThenTheOldestEvents) {
  mqtt::OutboxLimits limits;
  limits.rows = 10;
  limits.bytes = 0;
  mqtt::Outbox outbox(limits, 1, 1000, 1000);
  const Clock::time_point t0 = Clock::now();
  // seq 1..11, events at 1 and 4: the 11th is one too many, and the outbox
  // goes down to 9: the second and fourth of the oldest four records go.
  for (int i = 1; i <= 11; ++i) outbox.Add(Message(i != 1 && i != 4), t0);
  EXPECT_EQ(outbox.Count(), 9u);
  EXPECT_EQ(outbox.Dropped(), 2u);
  std::vector<std::int64_t> left;
  while (auto row = outbox.NextBacklog()) left.push_back(row->seq);
  EXPECT_EQ(left, (std::vector<std::int64_t>{1, 2, 4, 5, 7, 8, 9, 10, 11}));
  // The next time, the oldest part is thinned again.
  outbox.Add(Message(true), t0);
  outbox.Add(Message(true), t0);
  EXPECT_EQ(outbox.Dropped(), 4u);
  // 88 events more (seq 14..101): every record goes, then the oldest events.
  for (int i = 0; i < 88; ++i) outbox.Add(Message(false), t0);
  EXPECT_EQ(outbox.DroppedRecords(), 11u);
  EXPECT_EQ(outbox.Count() + outbox.Dropped(), 101u);
  EXPECT_LE(outbox.Count(), 10u);
  std::int64_t expected = 101 - static_cast<std::int64_t>(outbox.Count());
  while (auto row = outbox.NextBacklog()) EXPECT_EQ(row->seq, ++expected) << "the newest stay";

  mqtt::OutboxLimits bytes;
  bytes.rows = 0;
  bytes.bytes = 10;
  mqtt::Outbox events(bytes, 1, 1000, 1000);
  for (int i = 0; i < 4; ++i) events.Add(Message(false, "12345"), t0);
  EXPECT_EQ(events.Count(), 2u) << "the third is over: down to 9 bytes";
  EXPECT_EQ(events.DroppedEvents(), 2u);
}

// The outbox's rows and the message numbers outlive the store.
TEST(MqttOutbox, StoreKeepsRowsAndNumbersAcrossReopening) {
  TempDir dir;
  const std::string path = dir.File("k.db");
  std::int64_t first = 0;
  {
    runtime::RecordStore store(path, runtime::HistoryBound());
    first = store.ReserveSeq(100);
    runtime::StoreBatch batch;
    for (std::int64_t seq : {first, first + 1, first + 2}) {
      runtime::OutboxRow row = Message(seq != first + 1, "{\"n\":" + std::to_string(seq) + "}");
      row.seq = seq;
      row.retained = true;
      batch.outbox.push_back(row);
    }
    store.Write(batch);
    runtime::StoreBatch acked;
    acked.outbox_acked = {first + 1};
    acked.seq_reserved = first + 500;
    store.Write(acked);
  }
  runtime::RecordStore store(path, runtime::HistoryBound());
  std::vector<std::int64_t> seqs;
  store.ForEachOutboxRow([&](const runtime::OutboxRow& row, std::size_t bytes) {
    seqs.push_back(row.seq);
    EXPECT_EQ(bytes, 6 + std::to_string(row.seq).size());
  });
  EXPECT_EQ(seqs, (std::vector<std::int64_t>{first, first + 2}));
  const auto row = store.FindOutboxRow(first + 2);
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->record && row->retained);
  EXPECT_EQ(row->payload, "{\"n\":" + std::to_string(first + 2) + "}");
  EXPECT_FALSE(store.FindOutboxRow(first + 1));
  EXPECT_EQ(store.ReserveSeq(100), first + 500);
}

// A file's "mqtt" section fills what the command line left unset; its file
// names are taken beside the file.
TEST(MqttSettings, FileFillsWhatTheCommandLineLeftUnset) {
  runtime::RuntimeSettings settings;
  settings.site = "north-7";
  settings.mqtt_file = "/etc/korvan/site.json";
  std::string error;
  ASSERT_TRUE(json_text::Parse(R"({"url": "mqtt://file:1883", "ca_file": "ca.pem",
      "credentials_file": "/secret/c", "topic_prefix": "fleet", "health_every": 3,
      "keepalive": 7, "outbox_max_rows": 50, "replay_rate": 2.5, "report": "every-cycle",
      "heartbeat": 60, "deadbands": {"V": 0.5}})",
                               true, settings.mqtt, error))
      << error;
  cli::PollingOptions command;
  command.mqtt_url = "mqtt://command:1884";
  command.mqtt_health_every = 0;
  command.mqtt_heartbeat = 120;
  const auto uplink = cli::ToUplinkOptions(cli::WithFileSettings(command, settings));
  ASSERT_TRUE(uplink);
  EXPECT_EQ(uplink->url, "mqtt://command:1884");
  EXPECT_EQ(uplink->health_every, 0u);
  EXPECT_EQ(uplink->site, "north-7");
  EXPECT_EQ(uplink->ca_file, "/etc/korvan/ca.pem");
  EXPECT_EQ(uplink->credentials_file, "/secret/c");
  EXPECT_EQ(uplink->topic_prefix, "fleet");
  EXPECT_EQ(uplink->keepalive, 7);
  EXPECT_EQ(uplink->outbox.rows, 50u);
  EXPECT_EQ(uplink->outbox.bytes, mqtt::OutboxLimits().bytes);
  EXPECT_EQ(uplink->replay_rate, 2.5);
  EXPECT_EQ(uplink->report, "every-cycle");
  EXPECT_EQ(uplink->heartbeat, 120u);
  const mqtt::ReportSettings report = mqtt::ReportSettingsOf(*uplink);
  EXPECT_TRUE(report.every_cycle);
  EXPECT_EQ(report.heartbeat, std::chrono::seconds(120));
  EXPECT_EQ(report.deadbands.at("V"), (mqtt::Deadband{0.5, 0}));
  EXPECT_FALSE(cli::ToUplinkOptions(cli::WithFileSettings(cli::PollingOptions(), {})));

  // A file's numbers out of range are refused by name, not bent into range.
  for (const auto& [section, reason] : std::vector<std::pair<std::string, std::string>>{
           {R"({"url": "mqtt://h", "keepalive": 4})",
            "MQTT keepalive 4 is out of range: 5 to 3600 seconds"},
           {R"({"url": "mqtt://h", "keepalive": 99999999999})",
            "MQTT keepalive 1073741824 is out of range: 5 to 3600 seconds"},
           {R"({"url": "mqtt://h", "replay_rate": 0})",
            "MQTT replay rate 0 is out of range: above 0, at most 100000 a second"},
           {R"({"url": "mqtt://h", "replay_rate": 1e9})",
            "MQTT replay rate 1e+09 is out of range: above 0, at most 100000 a second"},
           {R"({"url": "mqtt://h", "report": "sometimes"})",
            "MQTT report \"sometimes\": by-exception or every-cycle"},
           {R"({"url": "mqtt://h", "heartbeat": 0})",
            "MQTT heartbeat 0 is out of range: 1 to 86400 seconds"},
           {R"({"url": "mqtt://h", "deadbands": {"V": -0.1}})",
            "MQTT deadband \"V\": a number of at least 0, or {\"absolute\": A, \"percent\": "
            "P}, is expected"}}) {
    runtime::RuntimeSettings bad;
    ASSERT_TRUE(json_text::Parse(section, true, bad.mqtt, error)) << error;
    const auto refused = cli::ToUplinkOptions(cli::WithFileSettings(cli::PollingOptions(), bad));
    ASSERT_TRUE(refused);
    EXPECT_EQ(mqtt::CheckUplinkOptions(*refused), reason) << section;
  }
}

// ---- Report by exception ----

vocabulary::Reading Named(const std::string& name, double value) {
  vocabulary::Reading reading;
  reading.variable = vocabulary::VariableOf(name, &reading.unit, &reading.item);
  reading.value = value;
  return reading;
}

// The default deadband of each kind of value: a move just inside it is not
// published, a move of the whole band is; any change of a flag, state,
// count or setting is; NaN counts as a value of its own.
TEST(MqttReport, DefaultDeadbandsPerKind) {
  const double nan = std::nan("");
  const struct {
    const char* name;
    double last, next;
    bool published;
  } cases[] = {
      {"dc.1.output.voltage", 53.5, 53.65, false},
      {"dc.1.output.voltage", 53.5, 53.3, true},    // 0.2 V, downwards
      {"dc.1.output.voltage", 53.4f, 53.6f, true},  // 0.2 V as floats: 0.199997
      {"rectifier.output.voltage", 53.5, 53.7, true},
      {"ac.1.channel.1.L1-N.voltage", 220, 221.5, false},  // 2 V on the AC side
      {"ac.1.channel.1.L1-N.voltage", 220, 222, true},
      {"rectifier.1.current", 2, 2.4, false},  // 0.5 A ...
      {"rectifier.1.current", 2, 2.5, true},
      {"dc.1.output.current", 42, 42.8, false},  // ... or 2 % when more
      {"dc.1.output.current", 42, 42.9, true},
      {"ac.1.L1.current", 12, 12.9, false},  // 1 A on the AC side
      {"ac.1.L1.current", 12, 11, true},
      {"ac.1.channel.1.frequency", 50, 50.08, false},
      {"ac.1.channel.1.frequency", 50, 49.9, true},
      {"dc.1.battery.1.temperature", 25, 25.9, false},
      {"dc.1.battery.1.temperature", 25, 26, true},
      {"rectifier.1.fault", 0, 1, true},
      {"rectifier.1.charge_mode", 0, 1, true},
      {"rectifier.count", 3, 4, true},
      {"rectifier.output.voltage.high", 57, 57.01, true},
      {"dc.1.output.voltage", nan, nan, false},
      {"dc.1.output.voltage", 53.5, nan, true},
  };
  const auto t0 = mqtt::ReportFilter::Clock::time_point();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.last) + " -> " +
                 std::to_string(c.next));
    ASSERT_NE(vocabulary::VariableOf(c.name), nullptr);
    mqtt::ReportFilter filter{mqtt::ReportSettings()};
    ASSERT_TRUE(filter.Publish("main", 21, 5210, {Named(c.name, c.last)}, t0));
    EXPECT_EQ(
        filter.Publish("main", 21, 5210, {Named(c.name, c.next)}, t0 + std::chrono::seconds(3)),
        c.published);
  }
}

// One device's records over time against the last *published* values: a
// drift adds up, an alarm of the device, a heartbeat, a loss of
// communication or a reconnection and a value that appears publish; another
// device and the every-cycle mode go their own way.
TEST(MqttReport, DecidesAgainstTheLastPublishedRecord) {
  enum Before { kNone, kDue, kOtherDue, kForget, kForgetOther, kForgetAll };
  const struct {
    int second;
    double volts;
    Before before;
    bool extra;      // the record also holds a battery count
    bool published;  // device 21
    bool other;      // device 22, with the same values
  } steps[] = {
      {0, 53.50, kNone, false, true, true},  // the first
      {3, 53.60, kNone, false, false, false},
      {6, 53.65, kNone, false, false, false},
      {9, 53.70, kNone, false, true, true},  // 0.2 V from 53.50, though 0.05 from the last
      {12, 53.55, kNone, false, false, false},
      {15, 53.55, kOtherDue, false, false, true},  // an alarm of device 22
      {18, 53.55, kDue, false, true, false},       // of device 21
      {21, 53.55, kNone, false, false, false},
      {317, 53.55, kNone, false, false, true},  // 300 s since device 22's last
      {318, 53.55, kNone, false, true, false},  // and device 21's
      {321, 53.55, kForgetOther, false, false, false},
      {324, 53.55, kForget, false, true, true},     // communication lost and back
      {327, 53.55, kForgetAll, false, true, true},  // a reconnection
      {330, 53.55, kNone, true, true, true},        // a value appeared
      {333, 53.55, kNone, true, false, false},
      {336, 53.55, kNone, false, true, true},  // and went
  };
  const auto t0 = mqtt::ReportFilter::Clock::time_point();
  mqtt::ReportFilter filter{mqtt::ReportSettings()};
  mqtt::ReportSettings every;
  every.every_cycle = true;
  mqtt::ReportFilter every_cycle(every);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.second);
    if (step.before == kDue) filter.Due("main", 21);
    if (step.before == kOtherDue) filter.Due("main", 22);
    if (step.before == kForget) filter.Forget("main");
    if (step.before == kForgetOther) filter.Forget("other");
    if (step.before == kForgetAll) filter.ForgetAll();
    std::vector<vocabulary::Reading> values{Named("dc.1.output.voltage", step.volts)};
    if (step.extra) values.push_back(Named("dc.1.battery.count", 2));
    const auto now = t0 + std::chrono::seconds(step.second);
    EXPECT_EQ(filter.Publish("main", 21, 5210, values, now), step.published);
    EXPECT_EQ(filter.Publish("main", 22, 5210, values, now), step.other);
    EXPECT_TRUE(every_cycle.Publish("main", 21, 5210, values, now));
  }
}

// Deadbands from the configuration: a value's name wins over a pattern with
// "*", a pattern with fewer "*" over one with more, a pattern over the unit,
// the unit over the default; keys and bands that mean nothing are refused.
TEST(MqttReport, ConfiguredDeadbands) {
  Json::Value json;
  std::string error;
  ASSERT_TRUE(json_text::Parse(R"({"V": 1, "A": {"percent": 10},
      "dc.*.output.voltage": 0.05, "dc.2.output.voltage": {"absolute": 0.3, "percent": 1},
      "rectifier.*.current": {"absolute": 2}, "ac.*.channel.*.frequency": 0.5,
      "ac.1.channel.*.frequency": 0.2})",
                               true, json, error))
      << error;
  mqtt::ReportSettings settings;
  ASSERT_TRUE(mqtt::ParseDeadbands(json, settings.deadbands, error)) << error;
  mqtt::ReportFilter filter(settings);
  const struct {
    const char* name;
    mqtt::Deadband band;
  } cases[] = {
      {"dc.1.output.voltage", {0.05, 0}},     {"dc.2.output.voltage", {0.3, 1}},
      {"rectifier.output.voltage", {1, 0}},   {"rectifier.3.current", {2, 0}},
      {"dc.1.output.current", {0, 10}},       {"ac.1.channel.2.frequency", {0.2, 0}},
      {"dc.1.battery.1.temperature", {1, 0}},  // the default
      {"rectifier.1.fault", {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(filter.DeadbandOf(Named(c.name, 0)), c.band);
  }
  EXPECT_TRUE(mqtt::ParseDeadbands(Json::Value(), settings.deadbands, error));
  EXPECT_TRUE(settings.deadbands.empty());
  for (const auto& [text, reason] : std::vector<std::pair<std::string, std::string>>{
           {R"({"W": 1})", "MQTT deadband \"W\": neither a unit (A, Hz, V, degC) nor"},
           {R"({"output.voltage": 1})", "MQTT deadband \"output.voltage\": neither"},
           {R"({"rectifier.*.nothing": 1})", "neither a unit"},
           {R"({"V": -1})", "MQTT deadband \"V\": a number of at least 0"},
           {R"({"V": {"absolute": 1, "relative": 2}})", "MQTT deadband \"V\": a number"},
           {R"({"V": "0.2"})", "MQTT deadband \"V\": a number"},
           {R"([1])", "MQTT deadbands: an object"}}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(json_text::Parse(text, true, json, error)) << error;
    error.clear();
    EXPECT_FALSE(mqtt::ParseDeadbands(json, settings.deadbands, error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

// ---- Against a real broker ----

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";
constexpr auto kDeadline = std::chrono::seconds(90);

// Polls `condition` until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit = kDeadline) {
  const Clock::time_point end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A child process with its output in files of `dir`.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    pid_ = fork();
    if (pid_ == 0) {
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() { Kill(SIGKILL); }
  void Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
  }
  // The exit code once it ended within the deadline, else -1.
  int Wait() {
    if (pid_ > 0 && !WaitFor([this] { return waitpid(pid_, &status_, WNOHANG) != 0; })) return -1;
    pid_ = -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// mosquitto on a free loopback port; persistent sessions survive its restarts.
class Broker {
 public:
  explicit Broker(const std::string& password_file = "") : port_(FreeLoopbackPort()) {
    // Run as root, mosquitto would become the user "mosquitto", who cannot
    // read the test's files.
    const passwd* user = getpwuid(getuid());
    std::string conf = "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                       (user != nullptr ? "user " + std::string(user->pw_name) + "\n" : "") +
                       "persistence true\npersistence_location " + dir_.Path() +
                       "/\nmax_queued_messages 0\nautosave_interval 1\n";
    conf += password_file.empty() ? "allow_anonymous true\n"
                                  : "allow_anonymous false\npassword_file " + password_file + "\n";
    conf_ = dir_.Write("mosquitto.conf", conf);
    Start();
  }
  void Start() {
    if (!hold_) hold_ = std::make_unique<LoopbackPortHold>(port_);
    process_ = std::make_unique<Child>(std::vector<std::string>{kMosquitto, "-c", conf_},
                                       dir_.File("out"), dir_.File("err"));
    started_ = WaitFor([this] { return LoopbackAccepts(port_); });
    hold_.reset();
  }
  // While it is down, its port is held for its restart.
  void Stop() {
    process_.reset();
    hold_ = std::make_unique<LoopbackPortHold>(port_);
  }
  // Stops it as a service manager would: it saves its sessions.
  void Terminate() {
    if (process_) process_->Kill(SIGTERM);
    Stop();
  }
  bool Started() const { return started_; }
  int Port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  TempDir dir_;
  int port_;
  std::string conf_;
  std::unique_ptr<Child> process_;
  std::unique_ptr<LoopbackPortHold> hold_;
  bool started_ = false;
};

struct Received {
  std::string topic;
  Json::Value payload;
  bool retained = false;
};

// Subscribes to everything under "korvan/" (QoS 1, a persistent session) and
// keeps what arrives.
class Subscriber {
 public:
  // `late`: a clean session of another client, which receives the retained
  // messages only.
  explicit Subscriber(int port, const std::string& user = "", const std::string& password = "",
                      bool late = false) {
    mosquitto_lib_init();
    client_ = mosquitto_new(late ? "test-late" : "test-subscriber", late, this);
    if (!user.empty()) mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(client, nullptr, "korvan/#", 1);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed_ = true;
    });
    mosquitto_message_callback_set(
        client_, [](mosquitto*, void* self, const mosquitto_message* message) {
          auto* subscriber = static_cast<Subscriber*>(self);
          Received received;
          received.topic = message->topic;
          received.retained = message->retain;
          std::string error;
          json_text::Parse(std::string(static_cast<const char*>(message->payload),
                                       static_cast<std::size_t>(message->payloadlen)),
                           false, received.payload, error);
          std::lock_guard<std::mutex> lock(subscriber->mutex_);
          subscriber->messages_.push_back(received);
        });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_async(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  bool Subscribed() const { return subscribed_; }
  std::vector<Received> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // The messages of the store-and-forward kinds (records, alarm and
  // communication events): first arrival of each seq, in arrival order.
  std::vector<Received> Sequenced() {
    std::vector<Received> sequenced;
    std::set<std::int64_t> seen;
    for (const Received& message : Messages()) {
      if (!message.payload.isMember("seq")) continue;
      if (seen.insert(message.payload["seq"].asInt64()).second) sequenced.push_back(message);
    }
    return sequenced;
  }

 private:
  mosquitto* client_ = nullptr;
  std::atomic<bool> subscribed_{false};
  std::mutex mutex_;
  std::vector<Received> messages_;
};

bool MosquittoRuns() {
  if (access(kMosquitto, X_OK) != 0) return false;
  // Under an emulator the host's broker runs, but the host's program is
  // the target's: skip rather than mix them.
  return std::string(KORVAN_HOST_PATH).find("emulated") == std::string::npos;
}

#define SKIP_WITHOUT_BROKER()                                           \
  if (!MosquittoRuns()) GTEST_SKIP() << kMosquitto << " cannot be run"; \
  static_assert(true, "")

std::vector<std::string> HostArgs(const std::string& db, const std::string& url,
                                  std::vector<std::string> more) {
  std::vector<std::string> args{KORVAN_HOST_PATH, "simulate", "--db",       db, "--mqtt", url,
                                "--site",         "s1",       "--quiet-log"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::set<std::int64_t> OutboxSeqs(const std::string& db) {
  std::set<std::int64_t> seqs;
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(handle, 5000);
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(handle, "SELECT seq FROM outbox", -1, &select, nullptr) == SQLITE_OK) {
      while (sqlite3_step(select) == SQLITE_ROW) seqs.insert(sqlite3_column_int64(select, 0));
    }
    sqlite3_finalize(select);
  }
  sqlite3_close(handle);
  return seqs;
}

// Whether the seqs received run without a gap from `from` to the newest,
// and the replayed ones arrived in seq order.
::testing::AssertionResult Contiguous(const std::vector<Received>& sequenced, std::int64_t from) {
  std::set<std::int64_t> seqs;
  std::int64_t last_replayed = 0;
  for (const Received& message : sequenced) {
    const std::int64_t seq = message.payload["seq"].asInt64();
    if (seq >= from) seqs.insert(seq);
    if (message.payload["replayed"].asBool()) {
      if (seq < last_replayed) {
        return ::testing::AssertionFailure() << "replayed " << seq << " after " << last_replayed;
      }
      last_replayed = seq;
    }
  }
  if (seqs.empty()) return ::testing::AssertionFailure() << "nothing from " << from;
  const std::int64_t expected = *seqs.rbegin() - from + 1;
  if (static_cast<std::int64_t>(seqs.size()) != expected || *seqs.begin() != from) {
    return ::testing::AssertionFailure()
           << seqs.size() << " seqs from " << from << " to " << *seqs.rbegin();
  }
  return ::testing::AssertionSuccess();
}

// Runs `args` to their end; the exit code and everything printed.
int RunToEnd(const TempDir& dir, const std::string& name, const std::vector<std::string>& args,
             std::string& log) {
  Child child(args, dir.File(name + ".out"), dir.File(name + ".err"));
  const int code = child.Wait();
  log = ReadFile(dir.File(name + ".out")) + ReadFile(dir.File(name + ".err"));
  return code;
}

// The newest message on `topic` at or after `from`; null when none.
const Received* Newest(const std::vector<Received>& messages, const std::string& topic,
                       std::size_t from = 0) {
  const Received* newest = nullptr;
  for (std::size_t i = from; i < messages.size(); ++i) {
    if (messages[i].topic == topic) newest = &messages[i];
  }
  return newest;
}

Json::Value Reparsed(const Json::Value& value) {
  Json::Value parsed;
  std::string error;
  json_text::Parse(json_text::Line(value), false, parsed, error);
  return parsed;
}

// A broker that asks for a password: wrong credentials and an unreachable
// broker leave polling alone with one clear line each; with the right ones
// a simulate session with a rectifier fault arrives with the documented
// topics and payloads, each record equal to the decoded record the store
// keeps, and the systems go offline at the end.
TEST(MqttBroker, SessionArrivesWithDocumentedTopicsAndPayloads) {
  SKIP_WITHOUT_BROKER();
  TempDir dir;
  const std::string passwords = dir.Write("passwords", "");
  ASSERT_EQ(std::system(("/usr/bin/mosquitto_passwd -b " + passwords +
                         " site1 secret >/dev/null 2>&1 && /usr/bin/mosquitto_passwd -b " +
                         passwords + " watcher open >/dev/null 2>&1")
                            .c_str()),
            0);
  Broker broker(passwords);
  ASSERT_TRUE(broker.Started());

  std::string log;
  EXPECT_EQ(RunToEnd(dir, "refused",
                     HostArgs(dir.File("refused.db"), broker.Url(),
                              {"--cycles", "3", "--mqtt-credentials-file",
                               dir.Write("wrong", "site1:wrong\n")}),
                     log),
            0)
      << log;
  const std::string refused = "MQTT: connection refused: not authorised";
  ASSERT_NE(log.find(refused), std::string::npos) << log;
  EXPECT_EQ(log.find(refused), log.rfind(refused)) << "once, not at every retry:\n" << log;

  const std::string nobody = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
  EXPECT_EQ(
      RunToEnd(dir, "unreachable",
               HostArgs(dir.File("unreachable.db"), "mqtt://" + nobody, {"--cycles", "3"}), log),
      0)
      << log;
  const std::string unreachable = "MQTT: cannot connect to " + nobody;
  ASSERT_NE(log.find(unreachable), std::string::npos) << log;
  EXPECT_EQ(log.find(unreachable), log.rfind(unreachable)) << log;

  // Settings that cannot work end the command before polling.
  const std::vector<std::pair<std::string, std::string>> wrong{{broker.Url(), dir.File("missing")},
                                                               {"mqtts://127.0.0.1:8883", ""}};
  for (const auto& [url, credentials] : wrong) {
    std::vector<std::string> more{"--cycles", "1"};
    if (!credentials.empty()) more.insert(more.end(), {"--mqtt-credentials-file", credentials});
    EXPECT_EQ(RunToEnd(dir, "wrong", HostArgs(dir.File("wrong.db"), url, more), log),
              runtime::exit_codes::kUplink)
        << log;
    EXPECT_NE(log.find("MQTT"), std::string::npos) << log;
  }

  Subscriber subscriber(broker.Port(), "watcher", "open");
  ASSERT_TRUE(WaitFor([&] { return subscriber.Subscribed(); }));
  const std::string db = dir.File("k.db");
  const std::string scenario =
      dir.Write("fault.scenario", "wait 3\nrectifier-fault 2 on\nwait 6\nrectifier-fault 2 off\n");
  EXPECT_EQ(RunToEnd(dir, "session",
                     HostArgs(db, broker.Url(),
                              {"--cycles", "7", "--scenario", scenario, "--history-every", "0",
                               "--mqtt-credentials-file", dir.Write("right", "site1:secret\n"),
                               "--mqtt-topic-prefix", "korvan", "--mqtt-report", "every-cycle"}),
                     log),
            0)
      << log;
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<Received> messages = subscriber.Messages();
    const Received* site = Newest(messages, "korvan/s1/online");
    return site != nullptr && !site->payload["online"].asBool();
  })) << "the site goes offline at the end";
  const std::vector<Received> messages = subscriber.Messages();
  const Received* online = Newest(messages, "korvan/s1/simulated/online");
  ASSERT_NE(online, nullptr);
  EXPECT_FALSE(online->payload["online"].asBool());
  EXPECT_EQ(online->payload["system"], "simulated");
  EXPECT_EQ(online->payload["reason"], "stopped");
  {
    // A clean end disconnects: the broker drops the will, and the retained
    // site state stays the clean one, with its time.
    Subscriber late(broker.Port(), "watcher", "open", true);
    ASSERT_TRUE(WaitFor([&] { return Newest(late.Messages(), "korvan/s1/online") != nullptr; }));
    const std::vector<Received> retained = late.Messages();
    const Received* site = Newest(retained, "korvan/s1/online");
    EXPECT_EQ(site->payload["reason"], "stopped") << site->payload.toStyledString();
    EXPECT_TRUE(site->payload.isMember("time"));
  }

  // The newest record of every device equals its cache row, decoded (the
  // session publishes every cycle, so the newest is the last cycle's).
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* select = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT data_id, record_type, record FROM cache", -1,
                               &select, nullptr),
            SQLITE_OK);
  int devices = 0;
  while (sqlite3_step(select) == SQLITE_ROW) {
    ++devices;
    const auto data_id = sqlite3_column_int64(select, 0);
    const int type = sqlite3_column_int(select, 1);
    const std::string topic = "korvan/s1/simulated/device/" + std::to_string(data_id) + "/record";
    const Received* record = Newest(messages, topic);
    ASSERT_NE(record, nullptr) << topic;
    Json::Value decoded;
    std::string error;
    ASSERT_TRUE(
        records::Decode(type, static_cast<const unsigned char*>(sqlite3_column_blob(select, 2)),
                        static_cast<std::size_t>(sqlite3_column_bytes(select, 2)), decoded, error))
        << error;
    const Json::Value& payload = record->payload;
    EXPECT_EQ(payload["site"], "s1");
    EXPECT_EQ(payload["system"], "simulated");
    EXPECT_EQ(payload["data_id"].asInt64(), data_id);
    EXPECT_EQ(payload["record_type"].asInt(), type);
    EXPECT_FALSE(payload["replayed"].asBool());
    EXPECT_EQ(payload["record"], Reparsed(decoded)) << topic;
  }
  sqlite3_finalize(select);
  sqlite3_close(handle);
  EXPECT_GE(devices, 3);

  std::vector<std::string> alarms;
  for (const Received& message : messages) {
    if (message.topic != "korvan/s1/simulated/alarm") continue;
    EXPECT_FALSE(message.retained);
    EXPECT_EQ(message.payload["site"], "s1");
    EXPECT_FALSE(message.payload["alarm"]["id"].asString().empty());
    alarms.push_back(message.payload["event"].asString());
  }
  EXPECT_NE(std::find(alarms.begin(), alarms.end(), "raised"), alarms.end());
  EXPECT_NE(std::find(alarms.begin(), alarms.end(), "cleared"), alarms.end());
  const auto sequenced = subscriber.Sequenced();
  ASSERT_FALSE(sequenced.empty());
  EXPECT_TRUE(Contiguous(sequenced, sequenced.front().payload["seq"].asInt64()));
}

// A steady simulated plant at the default settings: each device's first
// record, then only what moved beyond a deadband, far fewer records than
// cycles; a rectifier fault raised goes out at once, next to the rectifier
// record that holds it.
TEST(MqttBroker, ASteadyPlantIsReportedByException) {
  SKIP_WITHOUT_BROKER();
  TempDir dir;
  Broker broker;
  ASSERT_TRUE(broker.Started());
  Subscriber subscriber(broker.Port());
  ASSERT_TRUE(WaitFor([&] { return subscriber.Subscribed(); }));
  constexpr int kCycles = 16;
  const std::string scenario = dir.Write("fault.scenario", "wait 8\nrectifier-fault 2 on\n");
  std::string log;
  ASSERT_EQ(RunToEnd(dir, "host",
                     HostArgs(dir.File("k.db"), broker.Url(),
                              {"--cycles", std::to_string(kCycles), "--scenario", scenario}),
                     log),
            0)
      << log;
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<Received> messages = subscriber.Messages();
    const Received* site = Newest(messages, "korvan/s1/online");
    return site != nullptr && !site->payload["online"].asBool();
  }));
  std::map<int, std::vector<Json::Value>> records;  // by record type, in seq order
  const Json::Value* raised = nullptr;
  const auto sequenced = subscriber.Sequenced();
  for (const Received& message : sequenced) {
    if (message.topic.size() > 7 &&
        message.topic.compare(message.topic.size() - 7, 7, "/record") == 0) {
      records[message.payload["record_type"].asInt()].push_back(message.payload);
    } else if (message.payload["event"] == "raised" && message.payload["record_type"] == 5211) {
      raised = &message.payload;
    }
  }
  ASSERT_EQ(records.size(), 3u) << "each device's first record";
  std::size_t published = 0;
  for (const auto& [type, payloads] : records) published += payloads.size();
  EXPECT_LE(published, 3u * kCycles / 3) << "of " << 3 * kCycles << " records";
  ASSERT_NE(raised, nullptr) << log;
  EXPECT_TRUE(Contiguous(sequenced, sequenced.front().payload["seq"].asInt64()));
  // The first rectifier record with the fault is within the alarm's cycle.
  const auto& rectifiers = records[5211];
  const auto faulty = std::find_if(rectifiers.begin(), rectifiers.end(), [](const Json::Value& r) {
    return r["values"]["rectifier.2.fault"] == 1;
  });
  ASSERT_NE(faulty, rectifiers.end());
  EXPECT_LE(std::abs((*faulty)["seq"].asInt64() - (*raised)["seq"].asInt64()), 3)
      << *faulty << *raised;
  ASSERT_NE(faulty, rectifiers.begin());
  EXPECT_EQ((*std::prev(faulty))["values"]["rectifier.2.fault"], 0);
  std::cout << published << " records of " << 3 * kCycles << "\n";
}

// The broker goes away while korvan-host polls: nothing is lost, the
// backlog arrives in order and marked replayed; korvan-host killed during an
// outage sends its outbox after a restart; killed while connected, its last
// will sets the site offline. Every cycle's records are published, so that
// an outage of some cycles fills the outbox.
TEST(MqttBroker, OutageKillAndLastWill) {
  SKIP_WITHOUT_BROKER();
  TempDir dir;
  Broker broker;
  ASSERT_TRUE(broker.Started());
  Subscriber subscriber(broker.Port());
  ASSERT_TRUE(WaitFor([&] { return subscriber.Subscribed(); }));
  const std::string db = dir.File("k.db");
  const auto args = HostArgs(db, broker.Url(),
                             {"--commit-interval", "1", "--mqtt-keepalive", "5",
                              "--mqtt-replay-rate", "20", "--mqtt-report", "every-cycle"});
  auto host = std::make_unique<Child>(args, dir.File("host.out"), dir.File("host.err"));
  ASSERT_TRUE(WaitFor([&] { return subscriber.Sequenced().size() >= 4; }))
      << ReadFile(dir.File("host.err"));
  const std::int64_t first = subscriber.Sequenced().front().payload["seq"].asInt64();

  // An outage of some cycles (about 20 s).
  broker.Terminate();
  ASSERT_TRUE(WaitFor([&] { return OutboxSeqs(db).size() >= 30; }));
  const std::int64_t outage_newest = *OutboxSeqs(db).rbegin();
  broker.Start();
  ASSERT_TRUE(broker.Started());
  ASSERT_TRUE(WaitFor([&] {
    const auto sequenced = subscriber.Sequenced();
    return !sequenced.empty() && sequenced.back().payload["seq"].asInt64() > outage_newest + 3 &&
           Contiguous(sequenced, first);
  })) << Contiguous(subscriber.Sequenced(), first);
  std::size_t replayed = 0;
  for (const Received& message : subscriber.Sequenced()) {
    replayed += message.payload["replayed"].asBool() ? 1 : 0;
  }
  EXPECT_GE(replayed, 10u);
  {
    // The retained records stay the newest live ones.
    Subscriber late(broker.Port(), "", "", true);
    // Each topic's first message is its retained one; live ones may follow.
    ASSERT_TRUE(WaitFor([&] { return late.Sequenced().size() >= 3; }));
    std::set<std::string> topics;
    for (const Received& message : late.Sequenced()) {
      if (!topics.insert(message.topic).second) continue;
      EXPECT_TRUE(message.retained) << message.topic;
      EXPECT_FALSE(message.payload["replayed"].asBool()) << message.topic;
    }
  }
  const std::string log = ReadFile(dir.File("host.out")) + ReadFile(dir.File("host.err"));
  EXPECT_NE(log.find("MQTT: connection to 127.0.0.1"), std::string::npos) << log;

  // Killed during an outage: what was committed arrives after the restart.
  broker.Terminate();
  ASSERT_TRUE(WaitFor([&] { return OutboxSeqs(db).size() >= 6; }));
  host->Kill(SIGKILL);
  const std::set<std::int64_t> committed = OutboxSeqs(db);
  broker.Start();
  ASSERT_TRUE(broker.Started());
  const std::size_t before_restart = subscriber.Messages().size();
  host = std::make_unique<Child>(args, dir.File("host2.out"), dir.File("host2.err"));
  ASSERT_TRUE(WaitFor([&] {
    std::set<std::int64_t> got;
    for (const Received& message : subscriber.Sequenced()) {
      got.insert(message.payload["seq"].asInt64());
    }
    return std::includes(got.begin(), got.end(), committed.begin(), committed.end());
  })) << ReadFile(dir.File("host2.err"));

  // The last will: killed while connected, the site goes offline.
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<Received> messages = subscriber.Messages();
    const Received* site = Newest(messages, "korvan/s1/online", before_restart);
    return site != nullptr && site->payload["online"].asBool();
  }));
  const std::size_t before_kill = subscriber.Messages().size();
  host->Kill(SIGKILL);
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<Received> messages = subscriber.Messages();
    const Received* site = Newest(messages, "korvan/s1/online", before_kill);
    return site != nullptr && !site->payload["online"].asBool();
  }));
  const std::vector<Received> after_kill = subscriber.Messages();
  const Received* will = Newest(after_kill, "korvan/s1/online", before_kill);
  EXPECT_EQ(will->payload["reason"], "connection lost");
  EXPECT_FALSE(will->payload.isMember("time"));
}

// Alarm events sent less than a commit interval before a kill are raised or
// cleared again after the restart, at another time; the notify command and
// the broker get each repeat with the event id they had, and the store keeps
// the ids.
TEST(MqttBroker, AnEventRepeatedAfterAKillCarriesTheSameEventId) {
  SKIP_WITHOUT_BROKER();
  TempDir dir;
  Broker broker;
  ASSERT_TRUE(broker.Started());
  Subscriber subscriber(broker.Port());
  ASSERT_TRUE(WaitFor([&] { return subscriber.Subscribed(); }));
  const std::string db = dir.File("k.db"), told = dir.File("told");
  // "EVENT ID EVENT_ID TIME" per notification of RC_0; the broker's event ids.
  const auto notified = [&](const std::string& event) {
    std::vector<std::pair<std::string, std::string>> got;
    std::istringstream lines(ReadFile(told));
    for (std::string name, id, event_id, time; lines >> name >> id >> event_id >> time;) {
      if (name == event && id == "RC_0") got.emplace_back(event_id, time);
    }
    return got;
  };
  const auto published = [&](const std::string& event) {
    std::vector<std::string> ids;
    for (const Received& message : subscriber.Sequenced()) {
      if (message.topic == "korvan/s1/simulated/alarm" && message.payload["event"] == event &&
          message.payload["alarm"]["id"] == "RC_0") {
        ids.push_back(message.payload["event_id"].asString());
      }
    }
    return ids;
  };
  const auto stored = [&] {
    std::string csv;
    EXPECT_EQ(RunToEnd(dir, "alarms", {KORVAN_HOST_PATH, "alarms", "--db", db, "--csv"}, csv), 0);
    return csv;
  };
  // Raised and killed before the commit, raised again and stopped cleanly;
  // the fault gone, the same for the clear.
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const bool fault = round < 2;
    std::vector<std::string> more{
        "--commit-interval", "60", "--notify-cmd",
        "echo \"$KORVAN_EVENT $KORVAN_ID $KORVAN_EVENT_ID $KORVAN_TIME\" >> '" + told + "'"};
    if (fault) more.insert(more.end(), {"--set", "rectifier-fault 2 on"});
    Child host(HostArgs(db, broker.Url(), more), dir.File("out"), dir.File("err"));
    const std::size_t expected = round % 2 + 1;
    ASSERT_TRUE(WaitFor([&] {
      return notified(fault ? "alarm_raised" : "alarm_cleared").size() == expected &&
             published(fault ? "raised" : "cleared").size() == expected;
    })) << ReadFile(dir.File("err"));
    host.Kill(round % 2 == 0 ? SIGKILL : SIGTERM);
    const std::string csv = stored();
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), round / 2 + 1 + round % 2) << csv;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // times are whole seconds
  }
  const std::string csv = stored();
  for (const std::string event : {"raised", "cleared"}) {
    SCOPED_TRACE(event);
    const auto got = notified("alarm_" + event);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first.size(), 16u);
    EXPECT_EQ(got[0].first, got[1].first);
    EXPECT_NE(got[0].second, got[1].second);
    EXPECT_EQ(published(event), std::vector<std::string>(2, got[0].first));
    // The stored event (its text, then its gloss) carries the same id.
    const std::size_t line = csv.find(",alarm_" + event + ",");
    ASSERT_NE(line, std::string::npos) << csv;
    const std::string stored_line = csv.substr(line, csv.find("\r\n", line) - line);
    EXPECT_NE(stored_line.find(",模块2整流模块故障告警,"), std::string::npos) << stored_line;
    EXPECT_EQ(stored_line.substr(stored_line.rfind(',') + 1), got[0].first) << stored_line;
  }
  EXPECT_NE(notified("alarm_raised")[0].first, notified("alarm_cleared")[0].first);
}

// Another client with korvan-host's client id, which reconnects a second
// after the broker put it off: korvan-host says so once, naming the id, and
// backs off, so that it connects only a few times in 15 s.
TEST(MqttBroker, AClientIdConflictIsLoggedOnceAndBacksOff) {
  SKIP_WITHOUT_BROKER();
  TempDir dir;
  Broker broker;
  ASSERT_TRUE(broker.Started());
  mosquitto_lib_init();
  std::atomic<bool> connected{false};
  mosquitto* rival = mosquitto_new("korvan-s1", true, &connected);
  mosquitto_connect_callback_set(rival, [](mosquitto*, void* connected, int rc) {
    if (rc == 0) *static_cast<std::atomic<bool>*>(connected) = true;
  });
  mosquitto_reconnect_delay_set(rival, 1, 1, false);
  mosquitto_connect_async(rival, "127.0.0.1", broker.Port(), 30);
  mosquitto_loop_start(rival);
  ASSERT_TRUE(WaitFor([&] { return connected.load(); }));
  std::string log;
  EXPECT_EQ(
      RunToEnd(dir, "host", HostArgs(dir.File("k.db"), broker.Url(), {"--seconds", "15"}), log), 0)
      << log;
  mosquitto_disconnect(rival);
  mosquitto_loop_stop(rival, false);
  mosquitto_destroy(rival);
  const std::string conflict =
      "another client may use the same client id \"korvan-s1\" (--mqtt-client-id)";
  ASSERT_NE(log.find(conflict), std::string::npos) << log;
  EXPECT_EQ(log.find(conflict), log.rfind(conflict)) << "once:\n" << log;
  std::size_t connections = 0;
  for (std::size_t at = 0; (at = log.find("MQTT: connected to", at)) != std::string::npos; ++at) {
    ++connections;
  }
  EXPECT_GE(connections, 2u) << log;
  EXPECT_LE(connections, 6u) << log;
}
// The values of the summary lines that `output` (--json) holds, newest last.
std::vector<Json::Value> SummaryLines(const std::string& output) {
  std::vector<Json::Value> summaries;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    Json::Value value;
    std::string error;
    if (json_text::Parse(line, false, value, error) && value.isObject() &&
        value["event"] == "summary") {
      summaries.push_back(value);
    }
  }
  return summaries;
}

// Whether `name` is one of the vocabulary's Network UPS Tools names.
bool IsStandardName(const std::string& name) {
  for (const vocabulary::Variable& v : vocabulary::Table()) {
    if (v.scope == vocabulary::Scope::kStandard && v.name == name) return true;
  }
  return false;
}

// One cycle of a plant with 1 AC unit of 2 channels, 1 DC unit and 3
// rectifier modules, frozen by the simulator falling silent: the --json
// summary, the API's /values and /points and the newest MQTT record of each
// device (published every cycle) name the same values with the same
// numbers; every row of the vocabulary has its values for this plant (2
// channels, 3 modules, unit 1 only); each MQTT value is the one its name
// resolves to in the record it came with; and `korvan-host list` lists every
// name.
// The plant falls silent after its first cycles; later under a sanitizer or
// an emulator, which start slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(KORVAN_EMULATED)
constexpr char kSilentAfter[] = "wait 20\nsilent on\n";
#else
constexpr char kSilentAfter[] = "wait 5\nsilent on\n";
#endif

TEST(MqttBroker, EveryOutputNamesTheSameValuesByTheVocabulary) {
  SKIP_WITHOUT_BROKER();
  Broker broker;
  ASSERT_TRUE(broker.Started());
  Subscriber subscriber(broker.Port());
  ASSERT_TRUE(WaitFor([&] { return subscriber.Subscribed(); }));
  SimulatedServer server({"--ac", "2", "--dc", "1", "--rc", "3", "--json", "--mqtt", broker.Url(),
                          "--mqtt-report", "every-cycle", "--site", "s1", "--repeat-warning", "2"},
                         "", kSilentAfter, true);
  ASSERT_GT(server.Port(), 0) << server.Output();

  // Silent, the plant keeps its last records: a summary that warns of a
  // repeated request was taken after them.
  Json::Value summary;
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<Json::Value> summaries = SummaryLines(server.Output());
    if (summaries.empty() || !summaries.back()["line"]["repeat_warning"].asBool()) return false;
    summary = summaries.back();
    return true;
  })) << server.Output();
  ASSERT_GE(summary["line"]["cycles"].asUInt64(), 1u) << "no cycle before the silence";
  const Json::Value& values = summary["values"];
  ASSERT_TRUE(values.isObject()) << summary;

  // The newest record payload of each device, merged; and the payloads.
  const auto mqtt_values = [&](std::vector<Json::Value>* payloads) {
    std::map<std::string, Json::Value> newest;
    for (const Received& message : subscriber.Messages()) {
      const std::string& topic = message.topic;
      if (topic.rfind("korvan/s1/simulated/device/", 0) == 0 && topic.size() > 7 &&
          topic.compare(topic.size() - 7, 7, "/record") == 0) {
        newest[topic] = message.payload;
      }
    }
    Json::Value merged(Json::objectValue);
    for (const auto& [topic, payload] : newest) {
      for (const std::string& name : payload["values"].getMemberNames()) {
        merged[name] = payload["values"][name];
      }
      if (payloads) payloads->push_back(payload);
    }
    return merged;
  };
  Json::Value own(Json::objectValue);  // the values of records, without the standard names
  for (const std::string& name : values.getMemberNames()) {
    if (!IsStandardName(name)) own[name] = values[name];
  }
  const std::string system = "/api/systems/simulated/";
  // The HTTP state and the subscriber follow the event stream on threads of
  // their own: wait until they caught up, then compare.
  WaitFor([&] {
    return server.Get(system + "values")["values"] == values && mqtt_values(nullptr) == own;
  });
  EXPECT_EQ(server.Get(system + "values")["values"], values);
  EXPECT_EQ(server.Get(system + "points")["values"], values);
  std::vector<Json::Value> payloads;
  EXPECT_EQ(mqtt_values(&payloads), own);
  EXPECT_EQ(payloads.size(), 3u);

  // Each name is a row's, with this plant's units and items; each row has
  // its values.
  std::map<const vocabulary::Variable*, std::set<int>> items;
  for (const std::string& name : values.getMemberNames()) {
    SCOPED_TRACE(name);
    if (IsStandardName(name)) {
      for (const vocabulary::Variable& v : vocabulary::Table()) {
        if (v.name == name) items[&v].insert(0);
      }
      continue;
    }
    vocabulary::Resolved resolved;
    ASSERT_TRUE(vocabulary::Resolve(name, resolved));
    ASSERT_NE(resolved.variable, nullptr);
    EXPECT_EQ(vocabulary::NameFor(*resolved.variable, resolved.unit, resolved.item), name);
    EXPECT_EQ(resolved.unit, resolved.variable->scope == vocabulary::Scope::kRectifierGroup ||
                                     resolved.variable->scope == vocabulary::Scope::kRectifierModule
                                 ? 0
                                 : 1);
    items[resolved.variable].insert(resolved.item);
  }
  for (const vocabulary::Variable& v : vocabulary::Table()) {
    SCOPED_TRACE(v.name);
    const std::set<int>& got = items[&v];
    switch (v.scope) {
      case vocabulary::Scope::kAcChannel:
        EXPECT_EQ(got, (std::set<int>{1, 2}));
        break;
      case vocabulary::Scope::kRectifierModule:
        EXPECT_EQ(got, (std::set<int>{1, 2, 3}));
        break;
      default:
        // A value of the unit (item 0) or a list announced by a count (items
        // 1 to that count).
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(*got.rbegin() - *got.begin() + 1, static_cast<int>(got.size()));
        EXPECT_LE(*got.begin(), 1);
    }
  }

  // The standard names take the values of the first units.
  for (const vocabulary::Variable& v : vocabulary::Table()) {
    if (v.scope != vocabulary::Scope::kStandard) continue;
    SCOPED_TRACE(v.name);
    if (v.standard_of.rfind("sum:", 0) != 0) {
      EXPECT_EQ(values[v.name], values[v.standard_of]);
      continue;
    }
    double sum = 0;
    const std::string pattern = v.standard_of.substr(4);
    for (int n = 1;; ++n) {
      std::string name = pattern;
      name.replace(name.find("{n}"), 3, std::to_string(n));
      if (!values.isMember(name)) break;
      sum += values[name].asDouble();
    }
    EXPECT_NEAR(values[v.name].asDouble(), sum, 1e-4);
  }

  // Each record payload's value is the one its name resolves to in the record.
  for (const Json::Value& payload : payloads) {
    for (const std::string& name : payload["values"].getMemberNames()) {
      SCOPED_TRACE(name);
      vocabulary::Resolved resolved;
      ASSERT_TRUE(vocabulary::Resolve(name, resolved));
      const Json::Value in_record = vocabulary::ValueIn(resolved, payload["record"]);
      ASSERT_FALSE(in_record.isNull()) << payload["record"];
      if (in_record.isString()) {
        EXPECT_EQ(payload["values"][name], in_record);
      } else {
        EXPECT_EQ(payload["values"][name].asDouble(), in_record.asDouble());
      }
    }
  }

  // The history export: the last cycle's rows, one per device, name every
  // value the records hold by the same name, written as the other outputs
  // write it.
  std::vector<std::vector<std::string>> csv;
  ASSERT_TRUE(WaitFor([&] {
    const HostRun history = RunHost({"history", "--db", server.Db(), "--csv", "--last", "3"});
    csv.clear();
    std::istringstream lines(history.out);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::vector<std::string> cells;
      std::istringstream fields(line);
      for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
      if (!line.empty() && line.back() == ',') cells.emplace_back();
      csv.push_back(cells);
    }
    std::set<std::string> devices;
    for (std::size_t k = 1; k < csv.size(); ++k) devices.insert(csv[k].at(2));
    return history.code == 0 && devices.size() == 3;
  }));
  std::set<std::string> exported;
  for (std::size_t row = 1; row < csv.size(); ++row) {
    ASSERT_EQ(csv[row].size(), csv[0].size());
    for (std::size_t column = 4; column < csv[0].size(); ++column) {
      const std::string& name = csv[0][column];
      if (csv[row][column].empty()) continue;
      SCOPED_TRACE(name);
      exported.insert(name);
      ASSERT_TRUE(own.isMember(name));
      EXPECT_EQ(csv[row][column], json_text::Line(own[name]));
    }
  }
  EXPECT_EQ(exported.size(), own.size());

  // `list` names the row of every value.
  const HostRun list = RunHost({"list"});
  ASSERT_EQ(list.code, 0) << list.err;
  for (const std::string& name : values.getMemberNames()) {
    std::string row = name;
    vocabulary::Resolved resolved;
    if (!IsStandardName(name) && vocabulary::Resolve(name, resolved)) {
      row = resolved.variable->name;
    }
    EXPECT_NE(("\n" + list.out).find("\n" + row + "\t"), std::string::npos) << name;
  }
}

}  // namespace
