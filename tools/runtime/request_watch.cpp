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
  if (in_reply_) sent_during_reply_ = true;
  if (text == last_) {
    ++times_;
  } else {
    last_ = std::move(text);
    times_ = 1;
    refusals_ = 0;
  }
}

void RequestWatch::ReplyReceived(const unsigned char* record, unsigned int size) {
  std::lock_guard<std::mutex> lock(mutex_);
  in_reply_ = true;
  sent_during_reply_ = false;
  // Error replies (return code other than 0) are the power system's refusal,
  // not the device's.
  counted_reply_ = record != nullptr && size > pmbus_reply::kReturnCodeOffset &&
                   record[pmbus_reply::kReturnCodeOffset] == 0;
}

void RequestWatch::ReplyHandled(int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  // 0 ends a cycle (or resets it); otherwise a reply that led to no new
  // request was refused.
  if (in_reply_ && counted_reply_ && result != 0 && !sent_during_reply_) ++refusals_;
  in_reply_ = false;
}

void RequestWatch::CycleCompleted() {
  std::lock_guard<std::mutex> lock(mutex_);
  last_.clear();
  times_ = 0;
  refusals_ = 0;
  count_mismatch_ = false;
}

void RequestWatch::NoteCountMismatch() {
  std::lock_guard<std::mutex> lock(mutex_);
  count_mismatch_ = true;
}

void RequestWatch::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  last_.clear();
  times_ = 0;
  in_reply_ = false;
  refusals_ = 0;
  count_mismatch_ = false;
}

RequestWatch::Refusals RequestWatch::CurrentRefusals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Refusals{last_, refusals_, count_mismatch_};
}

RequestWatch::Repeat RequestWatch::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Repeat{last_, times_};
}

}  // namespace runtime
