#include "runtime/request_watch.h"

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
  std::lock_guard<std::mutex> lock(mutex_);
  if (in_reply_) sent_during_reply_ = true;
  // Compared as bytes; the text is made only when someone asks for it.
  if (has_last_ && request.group == last_.group && request.command == last_.command &&
      request.info == last_.info) {
    ++times_;
  } else {
    has_last_ = true;
    last_.group = request.group;
    last_.command = request.command;
    last_.info.assign(request.info.begin(), request.info.end());  // keeps its room
    times_ = 1;
    refusals_ = 0;
  }
}

std::string RequestWatch::LastText() const {
  return has_last_ ? DescribeRequestText(last_) : std::string();
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
  has_last_ = false;
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
  has_last_ = false;
  times_ = 0;
  in_reply_ = false;
  refusals_ = 0;
  count_mismatch_ = false;
}

RequestWatch::Refusals RequestWatch::CurrentRefusals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  // Read on every polling step; the request's text matters only once refused.
  return Refusals{refusals_ > 0 ? LastText() : std::string(), refusals_, count_mismatch_};
}

std::uint64_t RequestWatch::Times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return times_;
}

RequestWatch::Repeat RequestWatch::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Repeat{LastText(), times_};
}

}  // namespace runtime
