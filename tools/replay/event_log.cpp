#include "tools/replay/event_log.h"

#include "records/json_text.h"

namespace replay {

std::string Event::Line(int step) const {
  std::string line = "{\"event\":" + json_text::Line(kind_) + ",\"step\":" + std::to_string(step);
  for (const auto& member : members_) {
    line += "," + json_text::Line(member.first) + ":" + json_text::Line(member.second);
  }
  line += "}";
  return line;
}

EventLog::EventLog(std::ostream& out)
    : out_(out), capture_([this](const std::string& line) {
        pending_.push_back(Event("stdout").Add("line", line).Line(step_));
      }) {}

void EventLog::BeginStep(int step) {
  step_ = step;
  capture_.Begin();
}

void EventLog::EndStep() {
  capture_.End();
  for (const std::string& line : pending_) out_ << line << '\n';
  pending_.clear();
  out_.flush();
}

void EventLog::Emit(const Event& event) {
  capture_.Drain();
  pending_.push_back(event.Line(step_));
}

}  // namespace replay
