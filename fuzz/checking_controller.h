#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/kmx_controller.h"

// The controller of the fuzz targets. It checks what the devices hand it:
// - every published record has the length of its type, the AC and rectifier
//   records by the count byte they carry (AC 33 + 25 n, DC 92, RC 101 + 12 m);
// - every job's batch holds the rules of its cycle, numbered 1, 2, 3 ... in
//   call order, as many as the published record asks for;
// - every history record is the record that its cycle published, however
//   late the job runs.
// Jobs queue until RunJobs.
class CheckingController : public KMXController {
 public:
  struct Published {
    unsigned int data_id;
    int type;
    std::vector<unsigned char> bytes;
  };

  void OnInfoLog(unsigned int data_id, const std::string& line) override;
  bool OnSendSP(unsigned int data_id, int type, const unsigned char* data, unsigned int length,
                bool delayed) override;
  bool OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                           unsigned int length) override;
  void OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) override;
  bool OnDoBatchCheckThreshold(unsigned int data_id, const std::vector<rule_value>& rules) override;
  void OnReset(unsigned int data_id) override;

  // Runs the queued jobs in order; every cycle's job must have run by then.
  void RunJobs();
  std::size_t QueuedJobs() const { return jobs_.size(); }
  // Records published since the last call, in order.
  std::vector<Published> TakePublished();
  std::size_t ProtocolErrorLines() const { return protocol_errors_; }
  std::size_t Resets() const { return resets_; }
  // What the batches answer (an alarm changed or not).
  void SetBatchResult(bool changed) { batch_result_ = changed; }

  // The length a record of `type` must have, read from its own count byte;
  // 0 for an unknown type or a record too short to carry its count.
  static std::size_t RecordLength(int type, const unsigned char* data, std::size_t length);

 private:
  // One published record whose job has not finished yet.
  struct Cycle {
    std::vector<unsigned char> bytes;
    std::size_t rules;  // how many rules its batch must hold
    bool batched = false;
  };

  std::map<unsigned int, std::deque<Cycle>> cycles_;
  std::deque<std::function<void()>> jobs_;
  std::vector<Published> published_;
  std::size_t protocol_errors_ = 0;
  std::size_t resets_ = 0;
  bool batch_result_ = false;
};
