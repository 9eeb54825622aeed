#include "tools/runtime/request_watch.h"

#include <fmt/format.h>

namespace runtime {

std::string DescribeRequestText(const PMBusRequest& request) {
  std::string text = fmt::format("{:02X}h/{:02X}h", request.group, request.command);
  if (!request.info.empty()) {
    text += ':';
    for (std::uint8_t byte : request.info) text += fmt::format("{:02X}", byte);
  }
  return text;
}

void RequestWatch::SendRequest(const PMBusRequest& request) {
  std::string text = DescribeRequestText(request);
  std::lock_guard<std::mutex> lock(mutex_);
  if (text == last_) {
    ++times_;
  } else {
    last_ = std::move(text);
    times_ = 1;
  }
}

void RequestWatch::CycleCompleted() {
  std::lock_guard<std::mutex> lock(mutex_);
  last_.clear();
  times_ = 0;
}

RequestWatch::Repeat RequestWatch::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Repeat{last_, times_};
}

}  // namespace runtime
