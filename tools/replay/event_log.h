#pragma once

#include <json/value.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/replay/stdout_capture.h"

namespace replay {

// One replay event: its kind and its members in the order they are added.
class Event {
 public:
  explicit Event(std::string kind) : kind_(std::move(kind)) {}
  Event& Add(std::string key, Json::Value value) {
    members_.emplace_back(std::move(key), std::move(value));
    return *this;
  }
  // {"event":KIND,"step":STEP, members...} on one line.
  std::string Line(int step) const;

 private:
  std::string kind_;
  std::vector<std::pair<std::string, Json::Value>> members_;
};

// The events of a replay, in the order they happen. While a step runs,
// standard output is caught (the devices' trace lines) and the events wait in
// memory; every event first takes the trace lines written before it, so that
// both keep their order. Flush writes the waiting events to `out`.
class EventLog {
 public:
  explicit EventLog(std::ostream& out);

  // Starts a step (-1: setting the device up) and catches standard output.
  void BeginStep(int step);
  // Ends catching and writes the step's events.
  void EndStep();
  void Emit(const Event& event);

 private:
  std::ostream& out_;
  int step_ = -1;
  std::vector<std::string> pending_;
  StdoutCapture capture_;
};

}  // namespace replay
