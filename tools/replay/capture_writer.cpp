#include "tools/replay/capture_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host/host_clock.h"
#include "runtime/local_time_text.h"
#include "records/json_text.h"
#include "tools/replay/hex_text.h"

namespace replay {

namespace {

using Members = std::vector<std::pair<std::string, Json::Value>>;

// {"do":NAME, members...}, in this order, on one line.
std::string StepLine(const std::string& name, const Members& members = {}) {
  std::string line = "{\"do\":" + json_text::Line(name);
  for (const auto& member : members) {
    line += "," + json_text::Line(member.first) + ":" + json_text::Line(member.second);
  }
  return line + "}";
}

}  // namespace

CaptureWriter::~CaptureWriter() {
  Finish();
}

bool CaptureWriter::Open(const std::string& path, const std::string& device_type,
                         unsigned int data_id, const Json::Value& config, std::string& error) {
  path_ = path;
  file_.open(path, std::ios::out | std::ios::trunc);
  if (!file_) {
    error = "cannot write the capture file " + path;
    return false;
  }
  time_ = host_clock::LocalNow();
  file_ << "{\n"
        << "  \"device_type\": " << json_text::Line(device_type) << ",\n"
        << "  \"data_id\": " << data_id << ",\n"
        << "  \"start\": " << json_text::Line(runtime::LocalTimeText(time_)) << ",\n"
        << "  \"config\": " << json_text::Line(config) << ",\n"
        << "  \"steps\": [";
  file_.flush();
  CheckWritten();
  if (!failure_.empty()) {
    error = failure_;
    return false;
  }
  return true;
}

void CaptureWriter::CheckWritten() {
  if (file_ || !failure_.empty()) return;
  failure_ = "cannot write the capture file " + path_ + ": " + std::strerror(errno);
}

void CaptureWriter::AddRestore(const DeviceRef& device, const std::vector<unsigned char>& blob) {
  const Json::Value which = device.kind == DeviceRef::Kind::kDataId
                                ? Json::Value(device.data_id)
                                : Json::Value(DescribeDevice(device));
  WriteStep(StepLine("restore", {{"device", which}, {"blob", hex_text::Encode(blob)}}));
}

bool CaptureWriter::Finish(std::string& error) {
  if (file_.is_open()) {
    file_ << (first_step_ ? "]\n}\n" : "\n  ]\n}\n");
    file_.flush();
    CheckWritten();
    file_.close();
    CheckWritten();
  }
  error = failure_;
  return failure_.empty();
}

void CaptureWriter::Finish() {
  std::string error;
  Finish(error);
}

void CaptureWriter::WriteStep(const std::string& step) {
  if (!file_.is_open()) return;
  file_ << (first_step_ ? "\n    " : ",\n    ") << step;
  file_.flush();
  CheckWritten();
  first_step_ = false;
}

void CaptureWriter::KeepTime() {
  const boost::posix_time::ptime now = host_clock::LocalNow();
  if (now == time_) return;
  time_ = now;
  WriteStep(StepLine("clock", {{"time", runtime::LocalTimeText(now)}}));
}

void CaptureWriter::SendRequest(const PMBusRequest& request) {
  if (inner_) inner_->SendRequest(request);
  if (in_reply_) return;  // the reply handler's own next request
  host_clock::ReleaseOnThisThread();
  KeepTime();
  if (awaiting_reply_) WriteStep(StepLine("lose"));
  WriteStep(StepLine("refresh"));
  awaiting_reply_ = true;
}

void CaptureWriter::ReplyReceived(const unsigned char* record, unsigned int size) {
  if (inner_) inner_->ReplyReceived(record, size);
  in_reply_ = true;
  awaiting_reply_ = false;
  host_clock::ReleaseOnThisThread();
  KeepTime();
  // The reply is handled at the time written for it, as the replay handles it.
  host_clock::HoldOnThisThread(time_);
  // The frame layer hands on only records whose length field fits `size`.
  const unsigned int info_bytes =
      (record[pmbus_reply::kLengthOffset] | (record[pmbus_reply::kLengthOffset + 1] << 8)) >> 1;
  Members members = {
      {"group", hex_text::Encode(record[pmbus_reply::kGroupOffset])},
      {"info", hex_text::Encode(record + pmbus_reply::kInfoOffset,
                                std::min(info_bytes, size - pmbus_reply::kInfoOffset))}};
  if (record[pmbus_reply::kReturnCodeOffset] != 0) {
    members.emplace_back("rtn", hex_text::Encode(record[pmbus_reply::kReturnCodeOffset]));
  }
  if (record[0] != device_.ProtocolVersion())
    members.emplace_back("version", hex_text::Encode(record[0]));
  if (record[1] != device_.Address()) members.emplace_back("address", hex_text::Encode(record[1]));
  WriteStep(StepLine("reply", members));
}

void CaptureWriter::ReplyHandled(int result) {
  if (inner_) inner_->ReplyHandled(result);
  in_reply_ = false;
  host_clock::ReleaseOnThisThread();
  if (jobs_pending_ && jobs_pending_()) WriteStep(StepLine("jobs"));
}

}  // namespace replay
