#pragma once

#include <string>
#include <utility>
#include <vector>

#include "records/vocabulary.h"
#include "runtime/event_stream.h"
#include "serving/latest_state.h"

namespace http_output {

// The Prometheus text exposition format (0.0.4) of the systems: the build's
// version; every numeric vocabulary value of each system whose communication
// is up, from its devices' newest records (a device whose newest record is
// older than 60 s adds nothing); and the alarms, communication, cycle age and
// line counters of every system. `outputs`: the event stream's outputs, with
// the events each handled and dropped because it could not keep up.
std::string MetricsText(const std::vector<serving::SystemState>& states,
                        const std::vector<runtime::EventStream::Counts>& outputs = {});

// A vocabulary value as a Prometheus sample, by one rule (docs/http-api.md,
// "Metrics"): "korvan_", the name's words joined by "_", the unit in base
// units ("_volts", "_amperes", "_hertz", "_celsius"; a count's last word
// "count" becomes "items"); the AC or DC unit number, the numbered items and
// the phase become labels.
struct ValueMetric {
  std::string family;  // "korvan_dc_battery_current_amperes"; "" for a standard name
  std::string help;    // the meaning and the name, with labelled parts as {label}
  std::vector<std::pair<std::string, std::string>> labels;  // {"unit", "1"}, {"battery", "2"}
};
// The metric of `name`, a name of `variable` (vocabulary::NameFor).
ValueMetric MetricOf(const vocabulary::Variable& variable, const std::string& name);

// A HELP text with backslash and line feed escaped.
std::string EscapeHelp(const std::string& text);
// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabel(const std::string& value);
// A sample value: the shortest form that reads back as the same double;
// NaN, +Inf, -Inf.
std::string SampleValue(double value);
// A single-precision value in its shortest exact form.
std::string FloatValue(float value);

}  // namespace http_output
