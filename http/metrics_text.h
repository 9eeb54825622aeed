#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/latest_state.h"
#include "runtime/event_stream.h"
#include "runtime/system_summary.h"

namespace http_output {

// The Prometheus text exposition format (0.0.4) of the systems: the points
// of `summaries` (fresh point reads) and the alarms, communication, cycle age
// and line counters of `states`, matched by system name. Points of a system
// whose communication is lost, and points that answer a status text, are
// left out. `outputs`: the event stream's outputs, with the events each
// handled and dropped because it could not keep up.
std::string MetricsText(const std::vector<runtime::SystemSummary>& summaries,
                        const std::vector<SystemState>& states,
                        const std::vector<runtime::EventStream::Counts>& outputs = {});

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabel(const std::string& value);
// A sample value: the shortest form that reads back as the same double;
// NaN, +Inf, -Inf.
std::string SampleValue(double value);
// A single-precision value in its shortest exact form.
std::string FloatValue(float value);

}  // namespace http_output
