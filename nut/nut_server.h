#pragma once

#include <memory>
#include <string>

#include "runtime/runtime.h"

namespace nut {

struct NutOptions {
  std::string listen;      // "ADDR:PORT" or "PORT" (on 127.0.0.1)
  std::string users_file;  // upsd.users form; empty: none (loopback only, no logins)
  double low_battery = 0;  // volts; 0: only the plant's own under-voltage alarms say LB
};

// Bounds of the server: every client holds at most this much of it.
constexpr int kMaxConnections = 64;
constexpr int kMaxConnectionsPerAddress = 8;
// Seconds a connection may stay silent. upsmon polls every few seconds on a
// connection it keeps open, so this is well above its longest poll interval.
constexpr int kIdleSeconds = 120;
// Reply bytes that may wait for a client that does not read: past this no
// further request of it is read; at kMaxPendingBytes it is dropped.
constexpr std::size_t kReadPauseBytes = 64 * 1024;
constexpr std::size_t kMaxPendingBytes = 1024 * 1024;

// Whether the server can start with these settings, as far as can be known
// without binding: "" or why not (an address that cannot be read, a users
// file that cannot be read, a non-loopback address without one, a
// low-battery level that is no voltage). check and the server share it.
std::string CheckNutSettings(const std::string& listen, const std::string& users_file,
                             double low_battery);

// The runtime's server of the NUT network protocol (what upsc, upsmon and
// Home Assistant's NUT integration speak): each power system is a UPS named
// by the system's name. One thread multiplexes every connection with poll();
// the values come from the latest state it keeps from the event stream, so a
// request never waits for polling.
class NutServer {
 public:
  NutServer();
  ~NutServer();
  NutServer(const NutServer&) = delete;
  NutServer& operator=(const NutServer&) = delete;

  // Subscribes to `host`'s events, binds and starts serving; publishes the
  // note "NUT server listening on ADDR:PORT". After the host's Prepare and
  // Restore, before Run. False with `error` set when it cannot.
  bool Start(const NutOptions& options, runtime::Runtime& host, std::string& error);
  // Closes every connection and ends the thread.
  void Stop();

 private:
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace nut
