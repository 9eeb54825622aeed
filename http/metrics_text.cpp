#include "http/metrics_text.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <map>
#include <string_view>

#include "console/alarm_glossary.h"
#include "records/text_parts.h"
#include "serving/system_values.h"

namespace http_output {

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

// Collects samples by family, so that each family's HELP and TYPE come once,
// before its samples, whatever order the samples are added in.
class Exposition {
 public:
  void Add(const std::string& name, const char* type, const std::string& help, const Labels& labels,
           double value) {
    Add(name, type, help, labels, SampleValue(value));
  }
  void Add(const std::string& name, const char* type, const std::string& help, const Labels& labels,
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
      text += "# HELP " + family.name + ' ' + EscapeHelp(family.help) + '\n';
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

// A device's values are left out once its newest record is this old: its
// unit publishes one every round.
constexpr std::chrono::seconds kFresh{60};

bool IsNumber(const std::string& part) {
  return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
}

// "L1" (a phase current) or "L1-N" (a phase voltage).
bool IsPhase(const std::string& part) {
  return (part.size() == 2 || (part.size() == 4 && part.compare(2, 2, "-N") == 0)) &&
         part[0] == 'L' && part[1] >= '1' && part[1] <= '9';
}

// The label of an item numbered after `word`: the word itself, but the
// rectifier group numbers its modules and the disconnection its stages.
std::string ItemLabel(const std::string& word) {
  if (word == "rectifier") return "module";
  if (word == "lvd") return "stage";
  return word;
}

// The unit's name in Prometheus' base units; "" for none.
std::string BaseUnit(const std::string& unit) {
  if (unit == "V") return "volts";
  if (unit == "A") return "amperes";
  if (unit == "Hz") return "hertz";
  if (unit == "degC") return "celsius";
  return "";
}

// The values of `state`'s devices with a fresh record, as samples.
void AddValues(Exposition& out, const serving::SystemState& state) {
  serving::SystemState fresh = state;
  const auto now = std::chrono::steady_clock::now();
  for (auto record = fresh.records.begin(); record != fresh.records.end();) {
    record = now - record->second.received > kFresh ? fresh.records.erase(record) : ++record;
  }
  for (const vocabulary::NamedValue& value : serving::SystemValues(fresh)) {
    if (value.variable == nullptr) continue;
    const ValueMetric metric = MetricOf(*value.variable, value.name);
    if (metric.family.empty()) continue;
    Labels labels{{"system", state.name}};
    labels.insert(labels.end(), metric.labels.begin(), metric.labels.end());
    const std::vector<std::string>& states = value.variable->states;
    if (!states.empty()) {
      // A state of known codes: a 0/1 sample per state ("other" for a code
      // outside them), so that a query names the state, not its code.
      const double code = value.value;
      for (std::size_t k = 0; k <= states.size(); ++k) {
        Labels with_state = labels;
        with_state.emplace_back("state", k < states.size() ? states[k] : "other");
        const bool active = k < states.size() ? code == static_cast<double>(k)
                                              : !(code >= 0 && code < states.size());
        out.Add(metric.family, "gauge", metric.help, with_state, active ? 1 : 0);
      }
      continue;
    }
    // Records hold single-precision floats (and small whole numbers).
    out.Add(metric.family, "gauge", metric.help, labels,
            FloatValue(static_cast<float>(value.value)));
  }
}

void AddState(Exposition& out, const serving::SystemState& state) {
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
    out.Add("korvan_alarm_active", "gauge",
            "1 for every active alarm; gloss: its meaning in English, where known.",
            {{"system", state.name},
             {"device", std::to_string(alarm.data_id)},
             {"record_type", std::to_string(alarm.record_type)},
             {"id", alarm.id},
             {"code", alarm.code},
             {"level", std::to_string(alarm.level)},
             {"name", alarm.name},
             {"text", alarm.text},
             {"gloss", runtime::AlarmGloss(alarm.id, alarm.code, alarm.text)}},
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

std::string EscapeHelp(const std::string& text) {
  return text_parts::ReplaceAll(text_parts::ReplaceAll(text, "\\", "\\\\"), "\n", "\\n");
}

ValueMetric MetricOf(const vocabulary::Variable& variable, const std::string& name) {
  ValueMetric metric;
  const std::vector<std::string> pattern = text_parts::Split(variable.name, '.');
  const std::vector<std::string> parts = text_parts::Split(name, '.');
  if (variable.scope == vocabulary::Scope::kStandard || parts.size() != pattern.size()) {
    return metric;
  }
  std::vector<std::string> words;
  std::string general;  // the name with every labelled part written {label}
  std::string meaning = variable.meaning;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    const std::string& part = pattern[k];
    std::string label;
    if (part == "{u}") {
      label = "unit";
    } else if (IsPhase(part)) {
      label = "phase";
      // The meaning names the phase by its number: "phase 1".
      meaning = text_parts::ReplaceAll(meaning, "phase " + part.substr(1, 1), "phase {phase}");
    } else if ((part == "{n}" || IsNumber(part)) && !words.empty()) {
      label = ItemLabel(words.back());
      // The meaning names the item "{n}", or a fixed one by its label and number.
      meaning = part == "{n}" ? text_parts::ReplaceAll(meaning, "{n}", "{" + label + "}")
                              : text_parts::ReplaceAll(meaning, label + " " + part,
                                                       label + " {" + label + "}");
    }
    general += (k == 0 ? "" : ".") + (label.empty() ? part : "{" + label + "}");
    if (label.empty()) {
      words.push_back(part);
    } else {
      metric.labels.emplace_back(label, parts[k]);
    }
  }
  // "_count" is reserved for histograms and summaries.
  if (variable.kind == vocabulary::Kind::kCount && !words.empty() && words.back() == "count")
    words.back() = "items";
  metric.family = "korvan";
  for (const std::string& word : words) {
    metric.family += '_';
    for (const char c : word) {
      const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
      metric.family += plain ? c : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : '_');
    }
  }
  const std::string unit = BaseUnit(variable.unit);
  if (!unit.empty()) metric.family += "_" + unit;
  metric.help = meaning + " (" + general + ")";
  if (!variable.states.empty()) metric.help += "; 1 for the state it is in, by label state";
  return metric;
}

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

std::string MetricsText(const std::vector<serving::SystemState>& states,
                        const std::vector<runtime::EventStream::Counts>& outputs) {
  Exposition out;
  out.Add("korvan_build_info", "gauge", "Always 1; version: korvan-host's, as --version prints it.",
          {{"version", KORVAN_VERSION}}, 1);
  for (const serving::SystemState& state : states) {
    if (!state.communication_lost) AddValues(out, state);  // else every value would be old
  }
  for (const serving::SystemState& state : states) AddState(out, state);
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
