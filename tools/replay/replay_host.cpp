#include "tools/replay/replay_host.h"

#include "tools/replay/hex_text.h"

namespace replay {

void ReplayController::OnInfoLog(unsigned int data_id, const std::string& line) {
  log_.Emit(Event("log").Add("data_id", data_id).Add("line", line));
}

bool ReplayController::OnSendSP(unsigned int data_id, int type, const unsigned char* data,
                                unsigned int length, bool delayed) {
  log_.Emit(Event("publish")
                .Add("data_id", data_id)
                .Add("type", type)
                .Add("delayed", delayed)
                .Add("bytes", hex_text::Encode(data, data ? length : 0)));
  return true;
}

bool ReplayController::OnSaveDeviceHistory(unsigned int data_id, const unsigned char* data,
                                           unsigned int length) {
  log_.Emit(Event("history")
                .Add("data_id", data_id)
                .Add("bytes", hex_text::Encode(data, data ? length : 0)));
  return true;
}

void ReplayController::OnCheckThresholdWork(unsigned int data_id, std::function<void()> job) {
  log_.Emit(Event("job").Add("data_id", data_id));
  jobs_.push_back(std::move(job));
}

bool ReplayController::OnDoBatchCheckThreshold(unsigned int data_id,
                                               const std::vector<rule_value>& rules) {
  log_.Emit(Event("batch")
                .Add("data_id", data_id)
                .Add("rules", static_cast<Json::UInt64>(rules.size()))
                .Add("result", batch_result_));
  return batch_result_;
}

void ReplayController::OnReset(unsigned int data_id) {
  log_.Emit(Event("reset").Add("data_id", data_id));
}

void ReplayController::OnCheckThresholdBool(unsigned int data_id, const rule_value& rule) {
  log_.Emit(Event("rule")
                .Add("data_id", data_id)
                .Add("level", rule.level)
                .Add("id", rule.id)
                .Add("code", rule.code)
                .Add("name", rule.name)
                .Add("text", rule.text)
                .Add("active", rule.active)
                .Add("sequence", rule.sequence));
}

int ReplayController::RunJobs() {
  int ran = 0;
  while (!jobs_.empty()) {
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    job();
    ++ran;
  }
  return ran;
}

void ReplayTransport::SendRequest(const PMBusRequest& request) {
  log_.Emit(Event("request")
                .Add("group", hex_text::Encode(request.group))
                .Add("command", hex_text::Encode(request.command))
                .Add("info", hex_text::Encode(request.info)));
}

}  // namespace replay
