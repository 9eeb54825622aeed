#pragma once

#include <vector>

#include "host/pmbus_protocol.h"

// Records every request the frame layer sends, for tests at the decoded level.
class ScriptedTransport : public PMBusTransport {
 public:
  void SendRequest(const PMBusRequest& request) override { requests_.push_back(request); }

  const std::vector<PMBusRequest>& requests() const { return requests_; }
  // The requests sent since the last call, as "GGh/CCh" texts with the
  // information field appended as ":XX..." when there is one.
  std::vector<std::string> TakeSent();
  void Clear() { requests_.clear(); }

 private:
  std::vector<PMBusRequest> requests_;
  std::size_t taken_ = 0;
};

std::string DescribeRequest(const PMBusRequest& request);
