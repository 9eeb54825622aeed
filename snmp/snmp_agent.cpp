#include "snmp/snmp_agent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

// net-snmp's headers in the order they require: its configuration first.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include "runtime/power_system.h"
#include "runtime/thread_name.h"
#include "serving/latest_state.h"
#include "snmp/ups_mib.h"

#ifndef KORVAN_VERSION
#define KORVAN_VERSION "unknown"
#endif

// The AgentX session to snmpd while there is one; net-snmp's agent library
// clears it when snmpd closes the connection (it has no callback for that).
extern "C" netsnmp_session* main_session;

namespace snmp {

namespace {

using Clock = std::chrono::steady_clock;
using Kind = runtime::RuntimeEvent::Kind;

std::vector<oid> NetOid(const Oid& value) {
  return std::vector<oid>(value.begin(), value.end());
}

// Sets a varbind's value (the name is set by the caller).
void SetValue(netsnmp_variable_list* var, const MibValue& value) {
  switch (value.type) {
    case MibValue::Type::kInteger:
      snmp_set_var_typed_integer(var, ASN_INTEGER, static_cast<long>(value.number));
      return;
    case MibValue::Type::kGauge:
      snmp_set_var_typed_integer(var, ASN_GAUGE, static_cast<long>(value.number));
      return;
    case MibValue::Type::kCounter:
      snmp_set_var_typed_integer(var, ASN_COUNTER, static_cast<long>(value.number));
      return;
    case MibValue::Type::kTimeTicks:
      snmp_set_var_typed_integer(var, ASN_TIMETICKS, static_cast<long>(value.number));
      return;
    case MibValue::Type::kText:
      snmp_set_var_typed_value(var, ASN_OCTET_STR, value.text.data(), value.text.size());
      return;
    case MibValue::Type::kOid: {
      const std::vector<oid> parts = NetOid(value.oid);
      snmp_set_var_typed_value(var, ASN_OBJECT_ID, parts.data(), parts.size() * sizeof(oid));
      return;
    }
  }
}

// Which view a registration serves.
enum class Tree { kKorvan, kUps };

constexpr const char* kLibraryDirectory = "/run/korvan-host/snmp";
constexpr std::chrono::seconds kRefreshEvery{1};

struct Registration {
  SnmpAgent::Agent* agent;
  Tree tree;
};

}  // namespace

bool SnmpBuilt() {
  return true;
}

std::string CheckSnmpSettings(const SnmpOptions& options, const std::vector<std::string>& systems) {
  if (options.agentx.empty()) return "SNMP agent: no AgentX socket of snmpd given";
  if (options.enterprise == 0) return "SNMP agent: the enterprise number must be 1 or more";
  if (!(options.low_battery >= 0 && options.low_battery <= 1000)) {
    return "SNMP agent: the low-battery level must be 0 to 1000 V";
  }
  if (!options.ups_system.empty()) {
    for (const std::string& system : systems) {
      if (system == options.ups_system) return "";
    }
    return "SNMP agent: no system is named \"" + options.ups_system + "\" for the UPS MIB";
  }
  return "";
}

struct SnmpAgent::Agent : runtime::EventSubscriber {
  SnmpOptions options;
  runtime::EventStream* events = nullptr;
  Oid root;
  std::string ups_system;
  // The systems in their order: their rows' numbers.
  std::vector<std::string> names;
  serving::LatestState latest;
  int wake_fd = -1;
  std::thread thread;
  std::atomic<bool> stop{false};
  const Clock::time_point started = Clock::now();

  // Shared with the publishing side: leaf lock, nothing is called under it.
  std::mutex mutex;
  AlarmNumbers numbers;
  std::deque<VarBinds> pending;
  std::uint64_t dropped = 0;
  bool dirty = true;

  // The agent thread's own.
  MibView korvan_view;
  MibView ups_view;
  UpsHistory ups_history;
  Clock::time_point built;
  bool connected = false;
  bool started_up = false;
  Registration korvan_registration{this, Tree::kKorvan};
  Registration ups_registration{this, Tree::kUps};

  ~Agent() override {
    if (wake_fd >= 0) close(wake_fd);
  }

  bool Wants(Kind kind) const override { return latest.Wants(kind); }

  // Runs on the stream's thread for this output: the state is updated, and
  // a notification held for the agent's thread, which is woken for it alone
  // (records and cycles wait for its next turn or the next request).
  void OnEvent(const runtime::RuntimeEvent& event) override {
    latest.OnEvent(event);
    std::uint32_t place = 0;
    if (event.kind == Kind::kCommunication) {
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == event.system) place = static_cast<std::uint32_t>(i + 1);
      }
    }
    bool held = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      dirty = true;
      if (event.kind == Kind::kAlarm) {
        const AlarmNumbers::Key key = AlarmNumbers::KeyOf(event.system, event.alarm);
        AlarmRow row{event.alarm.raised ? numbers.Number(key) : numbers.Release(key), event.system,
                     event.alarm};
        Hold(AlarmNotification(root, row));
        held = true;
      } else if (place != 0) {
        Hold(CommunicationNotification(root, place, event.system, event.ok, event.text,
                                       event.event_id));
        held = true;
      }
    }
    if (held) Wake();
  }

  void Hold(VarBinds binds) {
    if (pending.size() >= kMaxHeldNotifications) {
      pending.pop_front();
      ++dropped;
    }
    pending.push_back(std::move(binds));
  }

  void Wake() {
    const std::uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0) {
      // The counter is full: the thread is already woken.
    }
  }

  std::int64_t Ticks() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count() /
           10;
  }

  // Builds both views anew when an event came or a second passed (the ages
  // and times they hold move).
  void Refresh() {
    bool changed = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      changed = dirty;
      dirty = false;
    }
    const Clock::time_point now = Clock::now();
    if (!changed && now - built < kRefreshEvery) return;
    built = now;
    const std::vector<serving::SystemState> systems = latest.Systems();
    std::vector<AlarmRow> rows;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (const serving::SystemState& state : systems) {
        for (const auto& entry : state.alarms) {
          const runtime::AlarmEvent& alarm = entry.second;
          rows.push_back(
              {numbers.Number(AlarmNumbers::KeyOf(state.name, alarm)), state.name, alarm});
        }
      }
    }
    korvan_view = KorvanMib(root, systems, rows, now);
    const serving::SystemState* ups = nullptr;
    for (const serving::SystemState& state : systems) {
      if (state.name == ups_system) ups = &state;
    }
    const std::int64_t ticks = Ticks();
    if (ups != nullptr) ups_history.Update(WellKnownAlarms(*ups, options.low_battery), ticks);
    UpsMibSettings settings{options.low_battery, "korvan-host " KORVAN_VERSION};
    ups_view = UpsMib(ups, ups_history, settings, ticks);
  }

  const MibView& View(Tree tree) const { return tree == Tree::kKorvan ? korvan_view : ups_view; }

  static int Handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* registration,
                    netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
    auto* self = static_cast<Registration*>(handler->myvoid);
    self->agent->Refresh();
    const MibView& view = self->agent->View(self->tree);
    const Oid prefix(registration->rootoid, registration->rootoid + registration->rootoid_len);
    for (netsnmp_request_info* request = requests; request; request = request->next) {
      if (request->processed) continue;
      netsnmp_variable_list* var = request->requestvb;
      const Oid asked(var->name, var->name + var->name_length);
      if (info->mode == MODE_GET) {
        const MibValue* value = view.Get(asked);
        if (value == nullptr) {
          netsnmp_set_request_error(info, request, SNMP_NOSUCHINSTANCE);
        } else {
          SetValue(var, *value);
        }
      } else if (info->mode == MODE_GETNEXT) {
        const auto next = view.Next(asked);
        // Past the subtree: the next registration answers.
        if (next == view.end() || next->first.size() < prefix.size() ||
            !std::equal(prefix.begin(), prefix.end(), next->first.begin())) {
          continue;
        }
        const std::vector<oid> name = NetOid(next->first);
        snmp_set_var_objid(var, name.data(), name.size());
        SetValue(var, next->second);
      } else {
        netsnmp_set_request_error(info, request, SNMP_ERR_NOTWRITABLE);
      }
    }
    return SNMP_ERR_NOERROR;
  }

  static int Log(int /*major*/, int /*minor*/, void* message, void* self) {
    const auto* log = static_cast<const snmp_log_message*>(message);
    auto* agent = static_cast<Agent*>(self);
    if (log == nullptr || log->msg == nullptr || !agent->started_up) return 0;
    std::string text = log->msg;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) agent->events->Problem("", "SNMP agent: " + text);
    return 0;
  }

  bool Register(const Oid& at, Registration* registration, const char* name) {
    const std::vector<oid> parts = NetOid(at);
    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(
        name, &Agent::Handle, parts.data(), parts.size(), HANDLER_CAN_RONLY);
    if (reg == nullptr) return false;
    reg->handler->myvoid = registration;
    return netsnmp_register_handler(reg) == MIB_REGISTERED_OK;
  }

  // Sends the notifications held while snmpd is there to take them.
  void SendHeld() {
    std::deque<VarBinds> send;
    std::uint64_t lost = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!connected) return;
      send.swap(pending);
      lost = dropped;
      dropped = 0;
    }
    if (lost != 0) {
      events->Problem("", "SNMP agent: " + std::to_string(lost) +
                              " notifications were dropped while snmpd was away");
    }
    for (const VarBinds& binds : send) {
      netsnmp_variable_list* vars = nullptr;
      for (const auto& bind : binds) {
        const std::vector<oid> name = NetOid(bind.first);
        netsnmp_variable_list* var =
            snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
        if (var != nullptr) SetValue(var, bind.second);
      }
      send_v2trap(vars);
      snmp_free_varbind(vars);
    }
  }

  void NoteConnection() {
    const bool now = main_session != nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (now == connected) return;
      connected = now;
    }
    if (now) {
      events->Note("", "SNMP agent registered with snmpd at " + options.agentx);
    } else {
      events->Problem("", "SNMP agent lost snmpd at " + options.agentx +
                              "; connecting again every " + std::to_string(kPingSeconds) + " s");
    }
  }

  bool Init(std::string& error) {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          options.agentx.c_str());
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       kPingSeconds);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    // No SIGALRM in a threaded process: the loop below runs the timers.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    // No snmp.conf of the user or the system and no state file: everything
    // this agent needs is in its settings, and it writes nothing.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // The agent names objects by number and needs no MIB file: none is read
    // (the library's complaints about missing ones are not logged).
    netsnmp_set_mib_directory("");
    // What the library keeps of its own (an empty certificate index) goes to
    // memory, not to flash.
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, kLibraryDirectory);
    // Its warnings and errors become problems, once it has started: what it
    // says while starting is about the files above, which it does without.
    snmp_disable_log();
    if (netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_WARNING) != nullptr) {
      snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Agent::Log, this);
    }
    if (init_agent("korvan-host") != 0) {
      error = "SNMP agent cannot start: net-snmp's agent library did not initialise";
      return false;
    }
    if (!Register(root, &korvan_registration, "korvan-power") ||
        !Register(UpsRoot(), &ups_registration, "korvan-ups")) {
      error = "SNMP agent cannot start: its subtrees cannot be registered";
      snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Agent::Log, this, 1);
      snmp_shutdown("korvan-host");
      return false;
    }
    init_snmp("korvan-host");
    started_up = true;
    return true;
  }

  void Run(std::promise<std::string>& started_promise) {
    runtime::NameThisThread("snmp agent");
    std::string error;
    if (!Init(error)) {
      started_promise.set_value(error);
      return;
    }
    started_promise.set_value("");
    netsnmp_large_fd_set readers;
    netsnmp_large_fd_set_init(&readers, FD_SETSIZE);
    while (!stop.load()) {
      NoteConnection();
      SendHeld();
      bool changed = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        changed = dirty;
      }
      // The views follow the events at most once a second when nobody asks
      // (the UPS MIB's alarm times and line failures stay that close).
      const Clock::duration since = Clock::now() - built;
      if (changed && since >= kRefreshEvery) {
        Refresh();
        changed = false;
      }
      int count = 0;
      int block = 0;
      struct timeval timeout = {kPingSeconds, 0};
      NETSNMP_LARGE_FD_ZERO(&readers);
      snmp_select_info2(&count, &readers, &timeout, &block);
      const long longest_us =
          changed
              ? std::chrono::duration_cast<std::chrono::microseconds>(kRefreshEvery - since).count()
              : kPingSeconds * 1000000L;
      if (block || timeout.tv_sec * 1000000L + timeout.tv_usec > longest_us) {
        timeout = {longest_us / 1000000L, longest_us % 1000000L};
      }
      NETSNMP_LARGE_FD_SET(wake_fd, &readers);
      if (wake_fd + 1 > count) count = wake_fd + 1;
      const int ready = netsnmp_large_fd_set_select(count, &readers, nullptr, nullptr, &timeout);
      if (ready > 0) {
        if (NETSNMP_LARGE_FD_ISSET(wake_fd, &readers)) {
          std::uint64_t value = 0;
          if (read(wake_fd, &value, sizeof value) < 0) {
            // Non-blocking: nothing to read is no error here.
          }
          NETSNMP_LARGE_FD_CLR(wake_fd, &readers);
        }
        snmp_read2(&readers);
      } else if (ready == 0) {
        snmp_timeout();
      }
      run_alarms();
      netsnmp_check_outstanding_agent_requests();
    }
    netsnmp_large_fd_set_cleanup(&readers);
    // The library frees the arguments of the callbacks it still holds.
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Agent::Log, this, 1);
    snmp_shutdown("korvan-host");
  }
};

SnmpAgent::SnmpAgent() = default;

SnmpAgent::~SnmpAgent() {
  Stop();
}

bool SnmpAgent::Start(const SnmpOptions& options, runtime::Runtime& host, std::string& error) {
  std::vector<std::string> names;
  for (const std::unique_ptr<runtime::PowerSystem>& system : host.Systems()) {
    names.push_back(system->Name());
  }
  error = CheckSnmpSettings(options, names);
  if (!error.empty()) return false;
  auto agent = std::make_shared<Agent>();
  agent->options = options;
  agent->events = &host.Events();
  agent->root = KorvanRoot(options.enterprise);
  agent->names = names;
  agent->ups_system =
      options.ups_system.empty() && !names.empty() ? names.front() : options.ups_system;
  agent->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (agent->wake_fd < 0) {
    error = "SNMP agent cannot start: no event descriptor";
    return false;
  }
  for (const std::unique_ptr<runtime::PowerSystem>& system : host.Systems()) {
    agent->latest.Seed(system->Summarize("snmp"));
  }
  std::promise<std::string> started;
  std::future<std::string> result = started.get_future();
  Agent* self = agent.get();
  agent->thread = std::thread([self, &started] { self->Run(started); });
  error = result.get();
  if (!error.empty()) {
    agent->thread.join();
    return false;
  }
  host.Events().Subscribe("snmp", agent);
  agent_ = std::move(agent);
  host.Events().Note("", "SNMP agent started: AgentX to snmpd at " + options.agentx +
                             ", enterprise " + std::to_string(options.enterprise) +
                             ", UPS MIB of system " + agent_->ups_system);
  return true;
}

void SnmpAgent::Stop() {
  if (!agent_) return;
  agent_->stop = true;
  agent_->Wake();
  agent_->thread.join();
  // The stream keeps the subscriber (and its descriptor) until it stops.
  agent_.reset();
}

}  // namespace snmp
