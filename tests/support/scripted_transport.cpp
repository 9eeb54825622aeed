#include "tests/support/scripted_transport.h"

#include <cstdio>

std::string DescribeRequest(const PMBusRequest& request) {
  char text[16];
  std::snprintf(text, sizeof text, "%02Xh/%02Xh", request.group, request.command);
  std::string described = text;
  if (!request.info.empty()) {
    described += ":";
    for (unsigned char byte : request.info) {
      std::snprintf(text, sizeof text, "%02X", byte);
      described += text;
    }
  }
  return described;
}

std::vector<std::string> ScriptedTransport::TakeSent() {
  std::vector<std::string> sent;
  for (; taken_ < requests_.size(); ++taken_) sent.push_back(DescribeRequest(requests_[taken_]));
  return sent;
}
