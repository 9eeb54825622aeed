#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace http_output {

// Closes connections whose request headers are not complete within a total
// deadline. The server library's own timeout counts idle time only, so a
// client that sends a byte now and then (slowloris) would keep its
// connection for ever. A thread of its own sleeps until the earliest
// deadline (without one while no connection waits for headers); an
// overdue connection's socket is shut down (not closed), so the server sees
// the end of the stream on its own thread and closes the connection as it
// closes any other. The server reports each connection opened and closed
// under the same lock, so a socket number is never shut down after the
// server let it go.
class HeaderDeadline {
 public:
  explicit HeaderDeadline(std::chrono::milliseconds deadline);
  ~HeaderDeadline();
  HeaderDeadline(const HeaderDeadline&) = delete;
  HeaderDeadline& operator=(const HeaderDeadline&) = delete;

  // A connection `key` on socket `fd` opened: its first request's deadline
  // runs from now.
  void Opened(const void* key, int fd);
  // Its request's headers are complete: no deadline until the answer is sent.
  void HeadersDone(const void* key);
  // Its answer was sent: the next request's deadline runs from now.
  void Answered(const void* key);
  // The server is about to close the socket.
  void Closed(const void* key);
  // How many connections were shut down for their deadline.
  std::size_t Expired() const;

 private:
  struct Entry {
    int fd = -1;
    std::chrono::steady_clock::time_point start;
    bool waiting = true;  // for the request's headers
    bool shut = false;
  };
  void Sweep();
  // Wakes the sweep when `entry`'s deadline comes before its next look;
  // releases `lock`.
  void WakeSweepFor(const Entry& entry, std::unique_lock<std::mutex>& lock);

  const std::chrono::milliseconds deadline_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<const void*, Entry> entries_;
  std::size_t expired_ = 0;
  // The sweep's next look; max() while it sleeps without a deadline.
  std::chrono::steady_clock::time_point sweep_at_ = std::chrono::steady_clock::time_point::max();
  std::thread thread_;
};

}  // namespace http_output
