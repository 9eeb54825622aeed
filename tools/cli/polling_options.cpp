#include "tools/cli/polling_options.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "runtime/exit_codes.h"
#include "runtime/power_system.h"
#include "store/device_info.h"
#include "store/store_writer.h"

namespace cli {

namespace {

// A finite number from 0 to kMaxSeconds (NaN and the infinities are not).
std::string CheckSeconds(const std::string& text) {
  double value = 0;
  if (!CLI::detail::lexical_cast(text, value) || !(value >= 0 && value <= kMaxSeconds)) {
    return "must be a number of seconds from 0 to " + std::to_string(kMaxSeconds);
  }
  return "";
}

// A number from `min` to `max`. CLI::Range lets NaN through (every
// comparison with it is false); this one refuses NaN and the infinities.
CLI::Validator FiniteRange(double min, double max) {
  const std::string range = fmt::format("{} to {}", min, max);
  return CLI::Validator(
      [min, max, range](const std::string& text) -> std::string {
        double value = 0;
        if (!CLI::detail::lexical_cast(text, value) || !(value >= min && value <= max)) {
          return "must be a number from " + range + " (not " + text + ")";
        }
        return "";
      },
      "NUMBER in [" + range + "]");
}

}  // namespace

void AddPollingOptions(CLI::App& command, PollingOptions& options) {
  command.add_option("--db", options.db_path, "SQLite database of history, cache and alarms")
      ->capture_default_str();
  command.add_flag("--json", options.json, "print one JSON object per line instead of text");
  command.add_flag("--quiet-log", options.quiet_log, "do not print the devices' log lines");
  command
      .add_option("--cycles", options.cycles,
                  "stop after this many polling cycles of every power system (0: run on); a "
                  "system whose communication is lost or whose unit counts do not fit counts as "
                  "done, and the exit code is then 8")
      ->capture_default_str();
  command
      .add_option("--seconds", options.seconds,
                  "stop after this many seconds, rounded up to whole milliseconds (0: run on)")
      ->check(CLI::Validator(CheckSeconds, "SECONDS"))
      ->capture_default_str();
  command
      .add_option("--history-rows", options.history_rows,
                  "history rows kept per device and record type (0: no bound; the day bound "
                  "governs)")
      ->capture_default_str();
  command
      .add_option(
          "--history-days", options.history_days,
          "days of history kept, at most " + std::to_string(kMaxHistoryDays) + " (0: no bound)")
      ->check(CLI::Range(0u, kMaxHistoryDays))
      ->capture_default_str();
  command
      .add_option("--history-every", options.history_every,
                  "one history row per device in each step of this many seconds of the clock, "
                  "0 to 86400 (0: every cycle)")
      ->check(FiniteRange(0.0, 86400.0))
      ->capture_default_str();
  command
      .add_option("--history-commit-steps", options.history_commit_steps,
                  "history steps whose rows wait for one commit, 1 to 60: a power cut loses at "
                  "most this many rows per device, and each commit spares the flash one more "
                  "journal and sync")
      ->check(CLI::Range(1u, 60u))
      ->capture_default_str();
  command
      .add_option("--commit-interval", options.commit_interval,
                  "seconds during which history rows and alarm events are collected and then "
                  "written in one transaction, 0 to 3600: what a crash or power cut can lose")
      ->check(FiniteRange(0.0, 3600.0))
      ->capture_default_str();
  command
      .add_option("--cache-interval", options.cache_interval,
                  "seconds within which a changed record reaches the cache that a restart "
                  "restores, 0 to 3600 (and when polling ends)")
      ->check(FiniteRange(0.0, 3600.0))
      ->capture_default_str();
  command
      .add_option("--prune-interval", options.prune_interval,
                  "seconds between two passes that drop the history rows and alarm events past "
                  "the bounds, 1 to 86400: how far beyond them the database may grow")
      ->check(FiniteRange(1.0, 86400.0))
      ->capture_default_str();
  command
      .add_option("--repeat-warning", options.repeat_warning,
                  "warn when one request is sent this many times in a row (0: never)")
      ->capture_default_str();
  command
      .add_option("--comm-lost-after", options.comm_lost_after,
                  "seconds without a completed cycle after which a system's communication is "
                  "lost, 10 to 86400 (more than a cycle and a lost reply take; a system's "
                  "\"comm_lost_after\" key overrides it)")
      ->check(FiniteRange(10.0, 86400.0))
      ->capture_default_str();
  command.add_option("--capture", options.capture,
                     "write every decoded reply, with the polling around it, as a replay script");
  command.add_option(
      "--notify-cmd", options.notify_cmd,
      "shell command (/bin/sh -c) run for every alarm raised or cleared and every loss or return "
      "of communication, one at a time per system, with the event in KORVAN_* variables and as "
      "one JSON line on its standard input (a system's \"notify_cmd\" key overrides it)");
  command
      .add_option("--log-level", options.log_level,
                  "lines printed up to this syslog priority: err (problems), warning (alarms "
                  "raised, driver restarts), notice (alarms cleared, notes), info (summaries, "
                  "device log lines), debug (device trace lines); auto: info under journald, "
                  "else debug")
      ->check(CLI::IsMember({"auto", "err", "warning", "notice", "info", "debug"}))
      ->capture_default_str();
  command
      .add_option("--summary", options.summary,
                  "the summary after every cycle, which reads every point: on, off, auto (on when "
                  "standard output is a terminal or with --json; off under journald, where every "
                  "line also carries its \"<N>\" priority prefix)")
      ->check(CLI::IsMember({"auto", "on", "off"}))
      ->capture_default_str();
  command.add_option("--site", options.site,
                     "the site's name, for the dashboard and the uplink (default: a configuration "
                     "file's \"site\", else the host's name)");
  command.add_option("--mqtt", options.mqtt_url,
                     "publish to this MQTT broker, mqtt://HOST:PORT or mqtts://HOST:PORT, with "
                     "store-and-forward (docs/mqtt.md)");
  command.add_option("--mqtt-ca-file", options.mqtt_ca_file,
                     "CA certificates that the mqtts:// broker's certificate is checked against");
  command.add_option("--mqtt-client-id", options.mqtt_client_id,
                     "the MQTT client id (default: korvan-SITE)");
  command.add_option("--mqtt-credentials-file", options.mqtt_credentials_file,
                     "file whose first line is the broker's user:password");
  command.add_option("--mqtt-topic-prefix", options.mqtt_topic_prefix,
                     "first level(s) of every topic (default: korvan)");
  command.add_option("--mqtt-health-every", options.mqtt_health_every,
                     "cycles between line-health messages (default 10; 0: none)");
  command
      .add_option("--mqtt-keepalive", options.mqtt_keepalive,
                  "seconds of the MQTT keepalive, 5 to 3600: the broker sends the last will "
                  "about 1.5 times this long after the host is gone (default 30)")
      ->check(CLI::Range(5, 3600));
  command.add_option("--mqtt-outbox-max-rows", options.mqtt_outbox_max_rows,
                     "messages the outbox keeps during an outage (default 100000; 0: no bound)");
  command.add_option("--mqtt-outbox-max-bytes", options.mqtt_outbox_max_bytes,
                     "payload bytes the outbox keeps during an outage (default 67108864; 0: no "
                     "bound)");
  command
      .add_option("--mqtt-replay-rate", options.mqtt_replay_rate,
                  "messages per second at which a backlog is sent after an outage, 0.1 to "
                  "100000 (default 50)")
      ->check(FiniteRange(0.1, 100000.0));
  command
      .add_option("--mqtt-report", options.mqtt_report,
                  "records: by-exception (when a value moves beyond its deadband, a state, flag "
                  "or count or an alarm changes, and every --mqtt-heartbeat) or every-cycle "
                  "(default by-exception)")
      ->check(CLI::IsMember({"by-exception", "every-cycle"}));
  command
      .add_option("--mqtt-heartbeat", options.mqtt_heartbeat,
                  "seconds, 1 to 86400, after which a device's record is published even "
                  "unchanged (default 300)")
      ->check(CLI::Range(1, 86400));
  command
      .add_option("--notify-timeout", options.notify_timeout,
                  "seconds a notify command may run, 0.1 to 86400: then SIGTERM, SIGKILL 1 s "
                  "later, and the failure is reported")
      ->check(FiniteRange(0.1, 86400.0))
      ->capture_default_str();
  command.add_option("--http", options.http_listen,
                     "serve the HTTP API, Prometheus metrics and dashboard on ADDR:PORT, or PORT "
                     "on 127.0.0.1 (port 0: a free one, named in a note); a non-loopback address "
                     "needs --http-auth-file (default: a file's \"http\": {\"listen\"}; off)");
  command.add_option("--http-auth-file", options.http_auth_file,
                     "file of the HTTP server's credentials: a bearer token on its first line, or "
                     "user:password lines for basic authentication");
  command.add_option("--nut", options.nut_listen,
                     "serve the NUT network protocol (upsc, upsmon, Home Assistant) on ADDR:PORT, "
                     "or PORT on 127.0.0.1 (port 0: a free one, named in a note; NUT's own is "
                     "3493); a non-loopback address needs --nut-users-file (default: a file's "
                     "\"nut\": {\"listen\"}; off)");
  command.add_option("--nut-users-file", options.nut_users_file,
                     "the NUT server's users in upsd.users form: [name], password = ..., upsmon "
                     "primary|secondary, actions = ...");
  command
      .add_option("--nut-low-battery", options.nut_low_battery,
                  "battery (DC bus) voltage under which the NUT status says LB, 0 to 1000 (0: "
                  "only the plant's own under-voltage alarms do; default: a file's \"nut\": "
                  "{\"low_battery\"}, else 0)")
      ->check(FiniteRange(0.0, 1000.0));
  command.add_option("--snmp-agentx", options.snmp_agentx,
                     "serve KORVAN-POWER-MIB and the UPS MIB as an AgentX subagent of snmpd, "
                     "which keeps the SNMP users and access: its AgentX socket, a path such as "
                     "/var/agentx/master or tcp:127.0.0.1:705 (default: a file's \"snmp\": "
                     "{\"agentx\"}; off). The UPS MIB's battery is low below --nut-low-battery");
  command
      .add_option("--snmp-enterprise", options.snmp_enterprise,
                  "the enterprise number under 1.3.6.1.4.1 at which KORVAN-POWER-MIB is served "
                  "(default: a file's \"snmp\": {\"enterprise\"}, else 32473, the number "
                  "reserved for documentation)")
      ->check(CLI::Range(1u, 4294967295u));
  command.add_option("--snmp-ups-system", options.snmp_ups_system,
                     "the system the UPS MIB (RFC 1628) describes (default: a file's \"snmp\": "
                     "{\"ups_system\"}, else the first)");
}

namespace {

// A file name of the "mqtt" section, relative to the file that holds it.
std::string BesideFile(const std::string& name, const std::string& file) {
  if (name.empty() || name.front() == '/' || file.empty()) return name;
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? name : file.substr(0, slash + 1) + name;
}

}  // namespace

snmp::SnmpOptions SnmpOptionsOf(const PollingOptions& options) {
  snmp::SnmpOptions snmp;
  snmp.agentx = options.snmp_agentx;
  snmp.enterprise = options.snmp_enterprise.value_or(snmp::kDefaultEnterprise);
  snmp.ups_system = options.snmp_ups_system;
  snmp.low_battery = options.nut_low_battery.value_or(0);
  return snmp;
}

PollingOptions WithFileSettings(PollingOptions options, const runtime::RuntimeSettings& settings) {
  if (options.site.empty()) options.site = settings.site;
  if (settings.http.isObject()) {
    const Json::Value& listen = settings.http["listen"];
    const Json::Value& auth_file = settings.http["auth_file"];
    if (options.http_listen.empty() && listen.isString()) options.http_listen = listen.asString();
    if (options.http_auth_file.empty() && auth_file.isString()) {
      options.http_auth_file = BesideFile(auth_file.asString(), settings.http_file);
    }
  }
  if (settings.nut.isObject()) {
    const Json::Value& nut = settings.nut;
    if (options.nut_listen.empty() && nut["listen"].isString()) {
      options.nut_listen = nut["listen"].asString();
    }
    if (options.nut_users_file.empty() && nut["users_file"].isString()) {
      options.nut_users_file = BesideFile(nut["users_file"].asString(), settings.nut_file);
    }
    if (!options.nut_low_battery && nut["low_battery"].isNumeric()) {
      options.nut_low_battery = nut["low_battery"].asDouble();
    }
  }
  if (settings.snmp.isObject()) {
    const Json::Value& snmp = settings.snmp;
    if (options.snmp_agentx.empty() && snmp["agentx"].isString()) {
      options.snmp_agentx = snmp["agentx"].asString();
    }
    if (!options.snmp_enterprise && snmp["enterprise"].isUInt()) {
      options.snmp_enterprise = snmp["enterprise"].asUInt();
    }
    if (options.snmp_ups_system.empty() && snmp["ups_system"].isString()) {
      options.snmp_ups_system = snmp["ups_system"].asString();
    }
  }
  const Json::Value& mqtt = settings.mqtt;
  if (mqtt.isObject()) {
    auto text = [&](const char* key, std::string& value, bool path) {
      if (value.empty() && mqtt[key].isString()) {
        value = path ? BesideFile(mqtt[key].asString(), settings.mqtt_file) : mqtt[key].asString();
      }
    };
    text("url", options.mqtt_url, false);
    text("ca_file", options.mqtt_ca_file, true);
    text("client_id", options.mqtt_client_id, false);
    text("credentials_file", options.mqtt_credentials_file, true);
    text("topic_prefix", options.mqtt_topic_prefix, false);
    text("report", options.mqtt_report, false);
    auto whole = [&](const char* key, std::optional<std::uint64_t>& value) {
      if (!value && mqtt[key].isUInt64()) value = mqtt[key].asUInt64();
    };
    whole("health_every", options.mqtt_health_every);
    whole("outbox_max_rows", options.mqtt_outbox_max_rows);
    whole("outbox_max_bytes", options.mqtt_outbox_max_bytes);
    whole("heartbeat", options.mqtt_heartbeat);
    if (mqtt.isMember("deadbands")) options.mqtt_deadbands = mqtt["deadbands"];
    // Taken as written: the uplink refuses a value out of its range by name.
    if (!options.mqtt_keepalive && mqtt["keepalive"].isUInt64()) {
      options.mqtt_keepalive =
          static_cast<int>(std::min<std::uint64_t>(mqtt["keepalive"].asUInt64(), 1u << 30));
    }
    if (!options.mqtt_replay_rate && mqtt["replay_rate"].isNumeric()) {
      options.mqtt_replay_rate = mqtt["replay_rate"].asDouble();
    }
  }
  if (options.site.empty()) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) options.site = name;
  }
  return options;
}

std::optional<mqtt::UplinkOptions> ToUplinkOptions(const PollingOptions& options) {
  if (options.mqtt_url.empty()) return std::nullopt;
  mqtt::UplinkOptions uplink;
  uplink.url = options.mqtt_url;
  uplink.ca_file = options.mqtt_ca_file;
  uplink.client_id = options.mqtt_client_id;
  uplink.credentials_file = options.mqtt_credentials_file;
  if (!options.mqtt_topic_prefix.empty()) uplink.topic_prefix = options.mqtt_topic_prefix;
  uplink.site = options.site;
  uplink.health_every = options.mqtt_health_every.value_or(uplink.health_every);
  uplink.keepalive = options.mqtt_keepalive.value_or(uplink.keepalive);
  uplink.outbox.rows = options.mqtt_outbox_max_rows.value_or(uplink.outbox.rows);
  uplink.outbox.bytes = options.mqtt_outbox_max_bytes.value_or(uplink.outbox.bytes);
  uplink.replay_rate = options.mqtt_replay_rate.value_or(uplink.replay_rate);
  if (!options.mqtt_report.empty()) uplink.report = options.mqtt_report;
  uplink.heartbeat = options.mqtt_heartbeat.value_or(uplink.heartbeat);
  uplink.deadbands = options.mqtt_deadbands;
  return uplink;
}

bool UnderJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat status {};
  return fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

runtime::ConsoleStyle ToConsoleStyle(const PollingOptions& options, bool under_journal,
                                     bool terminal) {
  static const std::vector<std::string> levels{"err", "warning", "notice", "info", "debug"};
  runtime::ConsoleStyle style;
  style.priority_prefix = under_journal;
  // A summary reads every point of a system: made when a person or a program
  // asks for it, not for a log file.
  style.summaries = options.summary == "auto" ? !under_journal && (terminal || options.json)
                                              : options.summary == "on";
  std::string level = options.log_level;
  if (level == "auto") level = under_journal ? "info" : "debug";
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (levels[i] == level) style.max_priority = static_cast<int>(i) + 3;
  }
  style.trace_system = kTraceLabel;
  return style;
}

runtime::RuntimeOptions ToRuntimeOptions(const PollingOptions& options, bool summaries) {
  runtime::RuntimeOptions runtime_options;
  runtime_options.summaries = summaries;
  runtime_options.plugin_path = options.plugin_path;
  runtime_options.system.repeat_warning = options.repeat_warning;
  runtime_options.system.comm_lost_after =
      std::chrono::milliseconds(static_cast<long long>(std::ceil(options.comm_lost_after * 1000)));
  runtime_options.cycles = options.cycles;
  // Rounded up: a duration below a millisecond must not become 0, which runs on.
  runtime_options.duration =
      std::chrono::milliseconds(static_cast<long long>(std::ceil(options.seconds * 1000.0)));
  return runtime_options;
}

namespace {

// `out`, or when it writes to file descriptor 1 (std::cout), a stream on a
// duplicate of that descriptor, which the capture of trace lines leaves alone.
std::ostream& ConsoleStream(std::ostream& out,
                            std::unique_ptr<__gnu_cxx::stdio_filebuf<char>>& buffer,
                            std::unique_ptr<std::ostream>& stream) {
  if (&out != &std::cout) return out;
  std::cout.flush();
  const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return out;
  buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
  stream = std::make_unique<std::ostream>(buffer.get());
  return *stream;
}

}  // namespace

PollingSession::PollingSession(const PollingOptions& options, std::ostream& out, std::ostream& err)
    : options_(options),
      console_(std::make_shared<runtime::ConsoleOutput>(
          ConsoleStream(out, original_buffer_, original_out_), err, options.json,
          !options.quiet_log, ToConsoleStyle(options, UnderJournal(), isatty(STDOUT_FILENO) == 1))),
      host_(ToRuntimeOptions(options, console_->Style().summaries)) {
  host_.Events().Subscribe("console", console_);
  // From here on (restoring from the cache included) the devices' trace
  // lines are log lines.
  // Trace lines are debug lines: published only when the console shows them.
  const bool traces_shown = !options.quiet_log && console_->Style().max_priority >= 7;
  trace_ = std::make_unique<runtime::StdoutTrace>(host_.Events(), kTraceLabel, traces_shown);
}

PollingSession::~PollingSession() {
  // The HTTP server stops first: its requests read the systems. The uplink
  // then publishes the systems offline and disconnects; the flush commits
  // what the broker has not acknowledged to the outbox.
  if (http_) http_->Stop();
  if (nut_) nut_->Stop();
  if (snmp_) snmp_->Stop();
  if (uplink_) uplink_->Stop();
  if (notifier_) notifier_->Finish();
  if (uplink_ || notifier_) host_.Events().Flush();
  // Pruning rides on one commit an hour; the run's end takes one batch more,
  // so that the file left behind holds its bounds (within a batch).
  if (store_) {
    runtime::StoreBatch prune;
    prune.prune = runtime::StoreWriterOptions{}.prune_batch;
    try {
      store_->Write(prune);
    } catch (const runtime::StoreError& error) {
      console_->Problem("", error.what());
    }
  }
}

int PollingSession::Prepare(const std::vector<runtime::SystemConfig>& systems,
                            const std::vector<runtime::ConfigProblem>& problems) {
  const int prepared = host_.Prepare(systems, problems);
  if (prepared != runtime::exit_codes::kOk) return prepared;
  runtime::NotifierOptions notify;
  notify.command = options_.notify_cmd;
  notify.timeout =
      std::chrono::milliseconds(static_cast<long long>(std::ceil(options_.notify_timeout * 1000)));
  bool notifying = !notify.command.empty();
  for (const runtime::SystemConfig& system : systems) {
    if (!system.notify_cmd) continue;
    notify.system_commands[system.name] = *system.notify_cmd;
    notifying = notifying || !system.notify_cmd->empty();
  }
  if (notifying) {
    notifier_ = std::make_shared<runtime::Notifier>(notify, host_.Events());
    host_.Events().Subscribe("notify", notifier_);
  }
  runtime::HistoryBound bound;
  bound.rows_per_device = options_.history_rows;
  bound.days = options_.history_days;
  try {
    store_ = std::make_shared<runtime::RecordStore>(options_.db_path, bound);
    if (store_->CheckedAfterUncleanEnd()) {
      host_.Events().Note("", "database " + options_.db_path +
                                  " was not closed cleanly (a crash or a power cut); its "
                                  "integrity check passed");
    }
    host_.Restore(*store_);
    // Which system and unit each data id is, for the readers of the file.
    std::vector<runtime::DeviceInfo> devices;
    for (const std::unique_ptr<runtime::PowerSystem>& system : host_.Systems()) {
      const std::vector<runtime::DeviceInfo> own = runtime::DevicesOf(system->Config());
      devices.insert(devices.end(), own.begin(), own.end());
    }
    store_->WriteDevices(devices);
  } catch (const runtime::StoreError& failure) {
    host_.Events().Flush();
    console_->Problem("", failure.what());
    return runtime::exit_codes::kDatabase;
  }
  auto milliseconds = [](double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  };
  runtime::StoreWriterOptions writing;
  writing.history_every = milliseconds(options_.history_every);
  writing.commit_interval = milliseconds(options_.commit_interval);
  writing.history_commit_steps = options_.history_commit_steps;
  writing.cache_interval = milliseconds(options_.cache_interval);
  writing.prune_interval = milliseconds(options_.prune_interval);
  const std::optional<mqtt::UplinkOptions> uplink = ToUplinkOptions(options_);
  if (uplink) {
    std::vector<std::string> names;
    for (const runtime::SystemConfig& system : systems) names.push_back(system.name);
    try {
      uplink_ = std::make_shared<mqtt::MqttUplink>(*uplink, host_.Events(), store_, names);
      uplink_->Start();
    } catch (const runtime::StoreError& failure) {
      host_.Events().Flush();
      console_->Problem("", failure.what());
      return runtime::exit_codes::kDatabase;
    } catch (const std::runtime_error& failure) {
      host_.Events().Flush();
      console_->Problem("", failure.what());
      return runtime::exit_codes::kUplink;
    }
    host_.Events().Subscribe("mqtt", uplink_);
  }
  host_.Events().Subscribe(
      "store", std::make_shared<runtime::StoreWriter>(store_, host_.Events(), writing, uplink_));
  host_.ClearAlarmsOfUnconfiguredDevices(*store_);
  if (!options_.http_listen.empty()) {
    http_ = std::make_unique<http_output::HttpOutput>();
    std::string error;
    if (!http_->Start(
            {options_.http_listen, options_.http_auth_file, options_.db_path, options_.site}, host_,
            error)) {
      host_.Events().Flush();
      console_->Problem("", error);
      http_.reset();
      return runtime::exit_codes::kHttp;
    }
  }
  if (!options_.nut_listen.empty()) {
    nut_ = std::make_unique<nut::NutServer>();
    std::string error;
    if (!nut_->Start(
            {options_.nut_listen, options_.nut_users_file, options_.nut_low_battery.value_or(0)},
            host_, error)) {
      host_.Events().Flush();
      console_->Problem("", error);
      nut_.reset();
      return runtime::exit_codes::kNut;
    }
  }
  if (!options_.snmp_agentx.empty()) {
    snmp_ = std::make_unique<snmp::SnmpAgent>();
    std::string error;
    if (!snmp_->Start(SnmpOptionsOf(options_), host_, error)) {
      host_.Events().Flush();
      console_->Problem("", error);
      snmp_.reset();
      return runtime::exit_codes::kSnmp;
    }
  }
  return runtime::exit_codes::kOk;
}

}  // namespace cli
