#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <ext/stdio_filebuf.h>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "console/console_output.h"
#include "http/http_output.h"
#include "mqtt/mqtt_uplink.h"
#include "notify/notifier.h"
#include "nut/nut_server.h"
#include "runtime/runtime.h"
#include "runtime/stdout_trace.h"
#include "runtime/system_config.h"
#include "snmp/snmp_agent.h"
#include "store/record_store.h"

namespace cli {

// The longest --seconds: about 31 years.
constexpr long kMaxSeconds = 1000000000;
// The longest --history-days: a hundred years. A bound reaching back before
// the year 1400, which the time library cannot hold, fails every history write.
constexpr unsigned int kMaxHistoryDays = 36500;
// The name under which the devices' trace lines on standard output are
// logged: "stdout: log: parse 42 41: ...".
inline constexpr const char* kTraceLabel = "stdout";

// Options that every polling command takes.
struct PollingOptions {
  std::string plugin_path;
  std::string db_path = "korvan.db";
  bool json = false;
  bool quiet_log = false;
  std::uint64_t cycles = 0;
  double seconds = 0;
  unsigned int history_rows = runtime::HistoryBound().rows_per_device;
  unsigned int history_days = runtime::HistoryBound().days;
  double history_every = 60;     // seconds between history rows of a device; 0: every cycle
  double commit_interval = 5;    // seconds of writes in one transaction
  double cache_interval = 300;   // seconds a changed record may wait for the cache
  double prune_interval = 3600;  // seconds between passes that drop what is past the bounds
  unsigned int history_commit_steps = 2;  // history steps whose rows share a commit
  std::uint64_t repeat_warning = runtime::PowerSystemOptions().repeat_warning;
  double comm_lost_after = 60;  // seconds
  std::string capture;          // replay script of every decoded reply; empty: none
  std::string notify_cmd;       // shell command run for alarm and communication events; empty: none
  double notify_timeout = 10;   // seconds a notify command may run
  // "err", "warning", "notice", "info", "debug"; "auto": info under journald, else debug.
  std::string log_level = "auto";
  // "on", "off"; "auto": on when standard output is a terminal or --json
  // is given, and not under journald.
  std::string summary = "auto";
  // The site's name, for the outputs that leave the controller; empty: a
  // file's "site", else the host's name.
  std::string site;
  // The HTTP server's "ADDR:PORT" or "PORT"; empty: none. Else a file's
  // "http": {"listen"}.
  std::string http_listen;
  // Its credentials (a bearer token, or user:password lines); empty: a
  // file's "http": {"auth_file"}, else none.
  std::string http_auth_file;
  // The NUT server's "ADDR:PORT" or "PORT", its users file and low-battery
  // voltage; unset: a file's "nut" values, else none.
  std::string nut_listen;
  std::string nut_users_file;
  std::optional<double> nut_low_battery;
  // The SNMP agent: snmpd's AgentX socket (empty: none), the enterprise
  // number of KORVAN-POWER-MIB and the UPS MIB's system; unset: a file's
  // "snmp" values, else the defaults.
  std::string snmp_agentx;
  std::optional<std::uint32_t> snmp_enterprise;
  std::string snmp_ups_system;
  // The MQTT uplink (docs/mqtt.md); no URL: none. Unset numbers take a
  // file's "mqtt" values, else the defaults in the comments.
  std::string mqtt_url;
  std::string mqtt_ca_file;
  std::string mqtt_client_id;                          // empty: "korvan-SITE"
  std::string mqtt_credentials_file;                   // "user:password" on its first line
  std::string mqtt_topic_prefix;                       // empty: "korvan"
  std::optional<std::uint64_t> mqtt_health_every;      // 10 cycles
  std::optional<int> mqtt_keepalive;                   // 30 s
  std::optional<std::uint64_t> mqtt_outbox_max_rows;   // 100000
  std::optional<std::uint64_t> mqtt_outbox_max_bytes;  // 64 MiB
  std::optional<double> mqtt_replay_rate;              // 50 messages/s
  std::string mqtt_report;                             // empty: "by-exception"
  std::optional<std::uint64_t> mqtt_heartbeat;         // 300 s
  Json::Value mqtt_deadbands;                          // a file's only; null: the defaults
};

// `options` with what the command line left unset taken from the files'
// runtime settings, and the site named.
PollingOptions WithFileSettings(PollingOptions options, const runtime::RuntimeSettings& settings);

// Whether standard error goes to journald: systemd sets JOURNAL_STREAM to the
// "DEVICE:INODE" of the stream it connects a service's output to.
bool UnderJournal();
// The console's style from --log-level and --summary.
runtime::ConsoleStyle ToConsoleStyle(const PollingOptions& options, bool under_journal,
                                     bool terminal);

void AddPollingOptions(CLI::App& command, PollingOptions& options);
// `summaries`: whether an output shows them (the console's style).
runtime::RuntimeOptions ToRuntimeOptions(const PollingOptions& options, bool summaries);

// The uplink's options from the polling options; empty when no URL is set.
std::optional<mqtt::UplinkOptions> ToUplinkOptions(const PollingOptions& options);
// The SNMP agent's settings (the low-battery level is the NUT server's).
snmp::SnmpOptions SnmpOptionsOf(const PollingOptions& options);

// The runtime of a polling command with its outputs: the console on `out`
// and `err`, the store at --db and, when configured, the notifier and the
// MQTT uplink, all subscribed to its event stream.
// While the session lives, the devices' trace lines on standard output are
// caught and published as log lines (StdoutTrace); `out` must therefore not
// write to file descriptor 1, and when it is std::cout the console writes to
// a duplicate of the descriptor taken before the capture begins.
class PollingSession {
 public:
  PollingSession(const PollingOptions& options, std::ostream& out, std::ostream& err);
  // Lets the notify commands still queued finish (within their time limit)
  // while the console can still report them.
  ~PollingSession();

  // Loads the plug-in, makes the systems, opens the store and restores from
  // it; the exit code.
  int Prepare(const std::vector<runtime::SystemConfig>& systems,
              const std::vector<runtime::ConfigProblem>& problems);

  runtime::Runtime& Host() { return host_; }
  runtime::ConsoleOutput& Console() { return *console_; }
  const std::shared_ptr<runtime::RecordStore>& Store() const { return store_; }

 private:
  // The console's stream when `out` is std::cout: the original standard output.
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> original_buffer_;
  std::unique_ptr<std::ostream> original_out_;

  PollingOptions options_;
  std::shared_ptr<runtime::ConsoleOutput> console_;
  std::shared_ptr<runtime::RecordStore> store_;
  std::shared_ptr<runtime::Notifier> notifier_;
  std::shared_ptr<mqtt::MqttUplink> uplink_;
  runtime::Runtime host_;  // its event stream closes before the outputs go
  // Stopped first (and declared after the host): its requests read the
  // host's systems.
  std::unique_ptr<http_output::HttpOutput> http_;
  std::unique_ptr<nut::NutServer> nut_;
  std::unique_ptr<snmp::SnmpAgent> snmp_;
  // Last: standard output is restored, and the last trace lines published,
  // before the event stream closes.
  std::unique_ptr<runtime::StdoutTrace> trace_;
};

}  // namespace cli
