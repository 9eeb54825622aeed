#pragma once

namespace runtime {

// Exit codes of korvan-host. Usage errors keep the command-line parser's own.
namespace exit_codes {

constexpr int kOk = 0;
// no power system can run, and a port could not be opened (a missing adapter
// may come back: the service tries again)
constexpr int kNothingToRun = 1;
constexpr int kDatabase = 2;   // the database cannot be opened or is corrupt
constexpr int kPlugin = 3;     // the plug-in cannot be loaded or makes no devices
constexpr int kSimulator = 4;  // the built-in simulator cannot start
// 5: a capture file cannot be written (replay::kCaptureFailed).
constexpr int kInterrupted = 6;  // replay: SIGINT, SIGTERM or SIGHUP stopped it before its end
constexpr int kUnexpected = 7;   // an unexpected failure (an exception); the message names it
// run, simulate with --cycles N: a system did not complete N cycles, because
// its communication was lost or its configuration does not fit the power
// system, or because --seconds or a signal ended the run first.
constexpr int kCyclesIncomplete = 8;
// check: a file or a system of the configuration is refused; run, simulate:
// every system is refused by its configuration (nothing to try again).
constexpr int kConfigRefused = 9;
// run, simulate: the HTTP server cannot start (a bad or taken address, a
// non-loopback address without an auth file, an unreadable auth file).
constexpr int kHttp = 10;
// run, simulate: the MQTT uplink's URL, credentials file or CA file is wrong.
constexpr int kUplink = 11;
// run, simulate: no system can run and one names no port yet ("port": "", as
// the package installs it): nothing is polled until an administrator sets it.
constexpr int kNotConfigured = 12;
// run, simulate: a polling thread or an output made no progress for its
// bound (the watchdog names it): the process ends to be restarted.
constexpr int kStalled = 13;
// run, simulate: the NUT server cannot start (a bad or taken address, a
// non-loopback address without a users file, an unreadable users file).
constexpr int kNut = 18;
// run, simulate: the SNMP agent's settings are refused (no AgentX socket, an
// enterprise number of 0, an unknown system for the UPS MIB, a build
// without the agent). snmpd need not be running: the agent connects when it
// comes.
constexpr int kSnmp = 19;
// get: the server cannot be reached, does not answer in time, refuses the
// credentials, or its answer is not the HTTP API's.
constexpr int kUnreachable = 14;
// get: the server runs no system of that name.
constexpr int kNoSystem = 15;
// get: the system has no value of a name asked for (a unit, item or device
// it does not have, or no record of it yet).
constexpr int kNoValue = 16;
// get: the values are printed, but the system's communication is lost or its
// newest record is stale.
constexpr int kStale = 17;

}  // namespace exit_codes

}  // namespace runtime
