#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "snmp/korvan_mib.h"

namespace snmp {

struct SnmpOptions {
  // snmpd's AgentX socket: a path ("/var/agentx/master") or "tcp:HOST:PORT".
  std::string agentx;
  std::uint32_t enterprise = kDefaultEnterprise;
  // The system the UPS MIB describes; empty: the first.
  std::string ups_system;
  // Volts under which the UPS MIB's battery is low (as the NUT server's LB).
  double low_battery = 0;
};

// Seconds between the subagent's pings of snmpd, and between its attempts to
// connect again once snmpd is gone.
constexpr int kPingSeconds = 5;
// Notifications kept while snmpd is away, sent when it is back; the oldest
// go first when more come.
constexpr std::size_t kMaxHeldNotifications = 1000;

// Whether this build has the SNMP agent (net-snmp's agent library).
bool SnmpBuilt();

// "" or why the agent cannot start with these settings: no socket, an
// enterprise number of 0, a UPS system that is not one of `systems`, a
// build without the agent. check and the agent share it.
std::string CheckSnmpSettings(const SnmpOptions& options, const std::vector<std::string>& systems);

// The runtime's SNMP agent: an AgentX subagent of the system's snmpd, which
// keeps the users, communities and access control. It serves
// KORVAN-POWER-MIB and the UPS MIB (RFC 1628) from the latest state it keeps
// from the event stream, and sends a notification through snmpd's trap sinks
// for every alarm raised or cleared and every loss and return of
// communication. net-snmp's library runs on one thread of its own, so
// polling never waits for snmpd or a manager; when snmpd goes away the agent
// connects again every kPingSeconds and registers anew.
class SnmpAgent {
 public:
  SnmpAgent();
  ~SnmpAgent();
  SnmpAgent(const SnmpAgent&) = delete;
  SnmpAgent& operator=(const SnmpAgent&) = delete;

  // Subscribes to `host`'s events and starts the agent's thread. After the
  // host's Prepare and Restore, before Run. False with `error` set when the
  // settings are refused (snmpd need not be running).
  bool Start(const SnmpOptions& options, runtime::Runtime& host, std::string& error);
  void Stop();

  struct Agent;

 private:
  std::shared_ptr<Agent> agent_;
};

}  // namespace snmp
