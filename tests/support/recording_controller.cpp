#include "tests/support/recording_controller.h"

#include <utility>

void RecordingController::OnInfoLog(unsigned int data_id, const std::string& line) {
  Event event(Kind::kLog);
  event.data_id = data_id;
  event.line = line;
  events_.push_back(std::move(event));
}

bool RecordingController::OnSendSP(unsigned int data_id, int type, const unsigned char* data,
                                   unsigned int length, bool delayed) {
  Event event(Kind::kPublish);
  event.data_id = data_id;
  event.type = type;
  event.delayed = delayed;
  event.bytes.assign(data, data + length);
  events_.push_back(std::move(event));
  return true;
}

bool RecordingController::OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                                              unsigned int length) {
  Event event(Kind::kHistory);
  event.data_id = data_id;
  event.bytes.assign(data, data + length);
  events_.push_back(std::move(event));
  return true;
}

void RecordingController::OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) {
  Event event(Kind::kJob);
  event.data_id = data_id;
  events_.push_back(std::move(event));
  jobs_.push_back(std::move(job));
}

bool RecordingController::OnDoBatchCheckThreshold(unsigned int data_id,
                                                  const std::vector<rule_value>& rules) {
  Event event(Kind::kBatch);
  event.data_id = data_id;
  event.rules = rules;
  events_.push_back(std::move(event));
  return batch_result;
}

void RecordingController::OnReset(unsigned int data_id) {
  Event event(Kind::kReset);
  event.data_id = data_id;
  events_.push_back(std::move(event));
}

int RecordingController::RunJobs() {
  int ran = 0;
  while (!jobs_.empty()) {
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    job();
    ++ran;
  }
  return ran;
}

std::vector<RecordingController::Event> RecordingController::Of(Kind kind) const {
  std::vector<Event> found;
  for (const Event& event : events_) {
    if (event.kind == kind) found.push_back(event);
  }
  return found;
}

std::vector<std::string> RecordingController::LogLines() const {
  std::vector<std::string> lines;
  for (const Event& event : events_) {
    if (event.kind == Kind::kLog) lines.push_back(event.line);
  }
  return lines;
}
