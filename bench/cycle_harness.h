#pragma once

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/system_replies.h"
#include "host/kmx_controller.h"
#include "host/pmbus_protocol.h"

// Polling cycles of one bus device of the plug-in, at the decoded-reply
// level: the plug-in is loaded as the host loads it (dlopen, get_providers),
// every request is answered at once with a prebuilt reply record, the reply
// pause is skipped and the clock moves 3 s per cycle. The controller keeps
// nothing: it counts what it is handed and runs the deferred jobs after each
// cycle, as a host runs them between replies.
namespace bench_cycle {

// Counts the calls of the devices; allocation-free once its job list has grown.
class NullController final : public KMXController {
 public:
  NullController() { jobs_.reserve(64); }

  void OnInfoLog(unsigned int, const std::string&) override { ++log_lines; }
  bool OnSendSP(unsigned int, int, const unsigned char*, unsigned int, bool) override {
    ++records;
    return true;
  }
  bool OnSaveDeviceHistory(unsigned int, const unsigned char*, unsigned int) override {
    ++history;
    return true;
  }
  void OnCheckThresholdWork(unsigned int, std::function<void()> job) override {
    jobs_.push_back(std::move(job));
  }
  bool OnDoBatchCheckThreshold(unsigned int, const std::vector<rule_value>& batch) override {
    ++batches;
    rules += batch.size();
    return false;
  }

  // Runs the jobs handed over so far and forgets them.
  void RunJobs();
  void Clear() { log_lines = records = history = batches = rules = 0; }

  std::uint64_t log_lines = 0, records = 0, history = 0, batches = 0, rules = 0;

 private:
  std::vector<std::function<void()>> jobs_;
};

// Sees each request; remembers the last one and counts its characters.
class NullTransport final : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override {
    group = request.group;
    command = request.command;
    ++requests;
    characters += bench_system::FrameCharacters(request.info.size());
  }

  std::uint8_t group = 0, command = 0;
  std::uint64_t requests = 0;
  std::uint64_t characters = 0;
};

// What one cycle exchanged.
struct CycleFigures {
  std::uint64_t requests = 0;
  std::uint64_t replies = 0;
  std::uint64_t characters = 0;  // of every request and reply frame
  double WireSeconds(unsigned baud = 9600) const {
    return static_cast<double>(characters) * 10.0 / baud;
  }
};

class CycleHarness {
 public:
  // Loads the plug-in, configures a bus device for `shape` and answers its
  // model query. Check Error() afterwards.
  explicit CycleHarness(const bench_system::Shape& shape);
  ~CycleHarness();
  CycleHarness(const CycleHarness&) = delete;
  CycleHarness& operator=(const CycleHarness&) = delete;

  // Empty while everything went as expected.
  const std::string& Error() const { return error_; }

  // One whole cycle: the first request, every reply, every RoundDone, then
  // the jobs. False (with Error()) when a reply was refused or the children
  // did not hand over what a cycle should.
  bool RunCycle();

  const CycleFigures& LastCycle() const { return last_; }
  const NullController& Controller() const { return *controller_; }

 private:
  struct Reply {
    std::uint8_t group;
    std::uint8_t command;
    bench_system::Bytes record;  // decoded reply record
  };
  const Reply* ReplyTo(std::uint8_t group, std::uint8_t command) const;
  bool Deliver(const Reply& reply, int& result);
  // Answers the outstanding request and every one that follows it.
  bool AnswerUntilCycleEnds();
  bool Fail(std::string error);

  bench_system::Shape shape_;
  std::vector<Reply> replies_;
  std::shared_ptr<NullController> controller_;
  std::shared_ptr<NullTransport> transport_;
  std::shared_ptr<KMXSPDevice> device_;
  PMBusProtocol* bus_ = nullptr;
  CycleFigures last_;
  std::string error_;
};

// The local time that the harness installs as the host's clock.
boost::posix_time::ptime& HarnessNow();

}  // namespace bench_cycle
