#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/ptime.hpp>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"
#include "tools/replay/replay_script.h"

namespace replay {

// Writes what one bus device sees at the decoded level as a replay script:
// a refresh step for every request that polling sent (not for those a reply
// handler sent), a reply step for every decoded reply handed to the device,
// clock steps that keep the host's local time as it was, a lose step where a
// request went unanswered, and a jobs step where a reply left deferred jobs.
// Each step is written and flushed as it happens.
//
// Attached as the device's transport in place of `inner`, which still sees
// every request. Called on the device's polling thread.
class CaptureWriter : public PMBusTransport {
 public:
  CaptureWriter(std::shared_ptr<PMBusTransport> inner, const PMBusProtocol& device)
      : inner_(std::move(inner)), device_(device) {}
  ~CaptureWriter() override;

  // Creates the file and writes the script's head; false with `error`.
  bool Open(const std::string& path, const std::string& device_type, unsigned int data_id,
            const Json::Value& config, std::string& error);
  // A restore step, for a record the device was restored from before polling.
  void AddRestore(const DeviceRef& device, const std::vector<unsigned char>& blob);
  // Tells whether deferred jobs wait after a reply.
  void SetJobsPending(std::function<bool()> pending) { jobs_pending_ = std::move(pending); }
  // Ends the list of steps and closes the file. Polling must have stopped.
  // False with `error` when any of the file could not be written.
  bool Finish(std::string& error);
  void Finish();

  void SendRequest(const PMBusRequest& request) override;
  void ReplyReceived(const unsigned char* record, unsigned int size) override;
  void ReplyHandled(int result) override;

 private:
  void WriteStep(const std::string& step);
  void KeepTime();
  // Notes the first failed write, with the system's reason.
  void CheckWritten();

  std::shared_ptr<PMBusTransport> inner_;
  const PMBusProtocol& device_;
  std::function<bool()> jobs_pending_;
  std::ofstream file_;
  bool first_step_ = true;
  bool in_reply_ = false;
  bool awaiting_reply_ = false;
  boost::posix_time::ptime time_;
  std::string path_;
  std::string failure_;  // why the file could not be written; empty: written
};

}  // namespace replay
