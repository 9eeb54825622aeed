#include "http/metrics_text.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <string_view>

namespace http_output {

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

// Collects samples by family, so that each family's HELP and TYPE come once,
// before its samples, whatever order the samples are added in.
class Exposition {
 public:
  void Add(const std::string& name, const char* type, const char* help, const Labels& labels,
           double value) {
    Add(name, type, help, labels, SampleValue(value));
  }
  void Add(const std::string& name, const char* type, const char* help, const Labels& labels,
           const std::string& value) {
    auto found = index_.find(name);
    if (found == index_.end()) {
      found = index_.emplace(name, families_.size()).first;
      families_.push_back({name, type, help, ""});
    }
    std::string& samples = families_[found->second].samples;
    samples += name;
    if (!labels.empty()) {
      samples += '{';
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i != 0) samples += ',';
        samples += labels[i].first + "=\"" + EscapeLabel(labels[i].second) + '"';
      }
      samples += '}';
    }
    samples += ' ' + value + '\n';
  }

  std::string Text() const {
    std::string text;
    for (const Family& family : families_) {
      text += "# HELP " + family.name + ' ' + family.help + '\n';
      text += "# TYPE " + family.name + ' ' + family.type + '\n';
      text += family.samples;
    }
    return text;
  }

 private:
  struct Family {
    std::string name, type, help, samples;
  };
  std::vector<Family> families_;
  std::map<std::string, std::size_t> index_;
};

// How a point of the point read is exported: its family and extra labels.
struct PointMetric {
  const char* name = nullptr;
  const char* help = nullptr;
  Labels labels;
};

// "channel_K_F" → channel K, field F; false for other names.
bool SplitChannelPoint(const std::string& point, std::string& channel, std::string& field) {
  constexpr std::string_view kPrefix = "channel_";
  if (point.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::size_t underscore = point.find('_', kPrefix.size());
  if (underscore == std::string::npos || underscore == kPrefix.size()) return false;
  channel = point.substr(kPrefix.size(), underscore - kPrefix.size());
  field = point.substr(underscore + 1);
  return channel.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<PointMetric> AcPoint(const std::string& point) {
  if (point == "ia" || point == "ib" || point == "ic") {
    return PointMetric{
        "korvan_ac_current_amperes", "AC phase current.", {{"phase", point.substr(1)}}};
  }
  if (point == "ia_alert" || point == "ib_alert" || point == "ic_alert") {
    return PointMetric{"korvan_ac_current_alert_state",
                       "Alarm state code of an AC phase current as the unit reports it.",
                       {{"phase", point.substr(1, 1)}}};
  }
  std::string channel, field;
  if (!SplitChannelPoint(point, channel, field)) return std::nullopt;
  if (field == "a" || field == "b" || field == "c") {
    return PointMetric{"korvan_ac_input_voltage_volts",
                       "AC input voltage of a channel (line AB, BC, CA or phase A, B, C).",
                       {{"channel", channel}, {"phase", field}}};
  }
  if (field == "f") {
    return PointMetric{"korvan_ac_input_frequency_hertz",
                       "AC input frequency of a channel.",
                       {{"channel", channel}}};
  }
  return std::nullopt;
}

std::optional<PointMetric> DcPoint(const std::string& point) {
  if (point == "v") return PointMetric{"korvan_dc_voltage_volts", "DC bus voltage.", {}};
  if (point == "i") return PointMetric{"korvan_dc_current_amperes", "DC load current.", {}};
  return std::nullopt;
}

void AddUnits(Exposition& out, const std::string& system,
              const std::vector<runtime::UnitSummary>& units,
              std::optional<PointMetric> (*map)(const std::string&)) {
  for (const runtime::UnitSummary& unit : units) {
    for (const runtime::PointReading& point : unit.points) {
      if (!point.ok) continue;  // a status text: no current value
      std::optional<PointMetric> metric = map(point.name);
      if (!metric) continue;
      Labels labels{{"system", system}, {"device", std::to_string(unit.data_id)}};
      labels.insert(labels.end(), metric->labels.begin(), metric->labels.end());
      out.Add(metric->name, "gauge", metric->help, labels, FloatValue(point.value));
    }
  }
}

void AddRectifiers(Exposition& out, const runtime::SystemSummary& summary) {
  const runtime::RectifierSummary& group = summary.rectifiers;
  if (!group.present || group.stale || !group.has_record) return;
  const Labels base{{"system", summary.system}, {"device", std::to_string(group.data_id)}};
  out.Add("korvan_rectifier_output_voltage_volts", "gauge", "Rectifier group output voltage.", base,
          FloatValue(group.record.output_voltage));
  for (std::size_t i = 0; i < group.record.modules.size(); ++i) {
    Labels labels = base;
    labels.emplace_back("module", std::to_string(i + 1));  // numbered from 1, as the summary does
    const runtime::RectifierModule& module = group.record.modules[i];
    out.Add("korvan_rectifier_module_current_amperes", "gauge",
            "Output current of a rectifier module.", labels, FloatValue(module.output_current));
    out.Add("korvan_rectifier_module_fault", "gauge", "1 when a rectifier module reports a fault.",
            labels, module.fault == 1 ? 1 : 0);
  }
}

void AddState(Exposition& out, const SystemState& state) {
  const Labels system{{"system", state.name}};
  out.Add("korvan_communication_up", "gauge",
          "1 while polling cycles of the system complete, 0 when communication is lost.", system,
          state.communication_lost ? 0 : 1);
  if (state.last_cycle_received) {
    const std::chrono::duration<double> age =
        std::chrono::steady_clock::now() - *state.last_cycle_received;
    out.Add("korvan_last_cycle_age_seconds", "gauge",
            "Seconds since the system's last completed polling cycle.", system, age.count());
  }
  for (const auto& [key, alarm] : state.alarms) {
    out.Add("korvan_alarm_active", "gauge", "1 for every active alarm.",
            {{"system", state.name},
             {"device", std::to_string(alarm.data_id)},
             {"record_type", std::to_string(alarm.record_type)},
             {"id", alarm.id},
             {"code", alarm.code},
             {"level", std::to_string(alarm.level)},
             {"name", alarm.name},
             {"text", alarm.text}},
            1);
  }
  const runtime::LineHealth& line = state.line;
  out.Add("korvan_line_port_open", "gauge", "1 while the serial port is open.", system,
          line.port_open ? 1 : 0);
  out.Add("korvan_line_frames_good_total", "counter", "Reply frames received intact.", system,
          static_cast<double>(line.frames_good));
  for (const auto& [reason, count] : line.dropped) {
    out.Add("korvan_line_frames_dropped_total", "counter", "Frames dropped, by reason.",
            {{"system", state.name}, {"reason", reason}}, static_cast<double>(count));
  }
  out.Add("korvan_line_error_replies_total", "counter", "Replies that reported an error.", system,
          static_cast<double>(line.error_replies));
  out.Add("korvan_line_lost_replies_total", "counter", "Requests that got no reply in time.",
          system, static_cast<double>(line.lost_replies));
  out.Add("korvan_line_send_failures_total", "counter", "Requests that could not be sent.", system,
          static_cast<double>(line.send_failures));
  out.Add("korvan_line_early_repeats_total", "counter",
          "Requests repeated at once after a damaged reply.", system,
          static_cast<double>(line.early_repeats));
  out.Add("korvan_line_cycles_total", "counter", "Completed polling cycles.", system,
          static_cast<double>(line.cycles));
}

}  // namespace

std::string EscapeLabel(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string SampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", value);
}

std::string FloatValue(float value) {
  if (std::isnan(value) || std::isinf(value)) return SampleValue(value);
  return fmt::format("{}", value);
}

std::string MetricsText(const std::vector<runtime::SystemSummary>& summaries,
                        const std::vector<SystemState>& states,
                        const std::vector<runtime::EventStream::Counts>& outputs) {
  Exposition out;
  for (const runtime::SystemSummary& summary : summaries) {
    if (summary.communication_lost) continue;  // every value would be old
    AddUnits(out, summary.system, summary.ac_units, AcPoint);
    AddUnits(out, summary.system, summary.dc_units, DcPoint);
    AddRectifiers(out, summary);
  }
  for (const SystemState& state : states) AddState(out, state);
  for (const runtime::EventStream::Counts& output : outputs) {
    const Labels labels{{"output", output.name}};
    out.Add("korvan_output_events_handled_total", "counter",
            "Runtime events an output (store, console, notify, http, mqtt) handled.", labels,
            static_cast<double>(output.handled));
    out.Add("korvan_output_events_dropped_total", "counter",
            "Runtime events an output missed because its queue was full.", labels,
            static_cast<double>(output.dropped));
  }
  return out.Text();
}

}  // namespace http_output
