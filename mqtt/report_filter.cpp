#include "mqtt/report_filter.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "records/text_parts.h"

namespace mqtt {

namespace {

// The units the vocabulary's measures and settings have.
const std::set<std::string>& Units() {
  static const std::set<std::string> units = [] {
    std::set<std::string> found;
    for (const vocabulary::Variable& v : vocabulary::Table()) {
      if (!v.unit.empty()) found.insert(v.unit);
    }
    return found;
  }();
  return units;
}

bool IsNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// How many "*" levels `pattern` has when it matches `name`, else -1.
int Match(const std::string& pattern, const std::string& name) {
  const std::vector<std::string> want = text_parts::Split(pattern, '.');
  const std::vector<std::string> have = text_parts::Split(name, '.');
  if (want.size() != have.size()) return -1;
  int stars = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (want[i] == "*" && IsNumber(have[i])) {
      ++stars;
    } else if (want[i] != have[i]) {
      return -1;
    }
  }
  return stars;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

bool Moved(double last, double now, const Deadband& band) {
  if (std::isnan(last) || std::isnan(now)) return std::isnan(last) != std::isnan(now);
  if (last == now) return false;
  if (std::isinf(last) || std::isinf(now)) return true;
  const double width = std::max(band.absolute, band.percent / 100 * std::fabs(last));
  // The values are single-precision floats of the plant's decimal values:
  // each is off its decimal by up to 2^-24 of its size, so a step of
  // exactly the band (53.4 to 53.6 V) may read a little shorter and counts.
  const double rounding = (std::fabs(last) + std::fabs(now)) * 0x1p-24 + width * 1e-6;
  return width <= 0 || std::fabs(now - last) >= width - rounding;
}

bool SamePlace(const vocabulary::Reading& a, const vocabulary::Reading& b) {
  return a.variable == b.variable && a.unit == b.unit && a.item == b.item;
}

}  // namespace

Deadband DefaultDeadband(const vocabulary::Variable& variable) {
  if (variable.kind != vocabulary::Kind::kMeasure) return {};
  const bool ac = variable.scope == vocabulary::Scope::kAcUnit ||
                  variable.scope == vocabulary::Scope::kAcChannel;
  if (variable.unit == "V") return {ac ? 2.0 : 0.2, 0};
  if (variable.unit == "A") return {ac ? 1.0 : 0.5, 2};
  if (variable.unit == "Hz") return {0.1, 0};
  if (variable.unit == "degC") return {1.0, 0};
  return {};
}

bool ParseDeadbands(const Json::Value& json, std::map<std::string, Deadband>& deadbands,
                    std::string& error) {
  deadbands.clear();
  if (json.isNull()) return true;
  if (!json.isObject()) {
    error = "MQTT deadbands: an object of deadbands by unit or name is expected";
    return false;
  }
  for (const std::string& key : json.getMemberNames()) {
    const Json::Value& value = json[key];
    Deadband band;
    bool good = true;
    if (value.isNumeric()) {
      band.absolute = value.asDouble();
    } else if (value.isObject()) {
      for (const std::string& member : value.getMemberNames()) {
        good = good && (member == "absolute" || member == "percent") && value[member].isNumeric();
      }
      band.absolute = value.get("absolute", 0).asDouble();
      band.percent = value.get("percent", 0).asDouble();
    } else {
      good = false;
    }
    if (!good || !std::isfinite(band.absolute) || !std::isfinite(band.percent) ||
        band.absolute < 0 || band.percent < 0) {
      error = fmt::format(
          "MQTT deadband \"{}\": a number of at least 0, or {{\"absolute\": A, \"percent\": P}}, "
          "is expected",
          key);
      return false;
    }
    if (Units().count(key) == 0) {
      std::vector<std::string> levels = text_parts::Split(key, '.');
      for (std::string& level : levels) {
        if (level == "*") level = "1";
      }
      const std::string name = Join(levels, ".");
      const vocabulary::Variable* variable = vocabulary::VariableOf(name);
      if (variable == nullptr || variable->scope == vocabulary::Scope::kStandard) {
        error = fmt::format(
            "MQTT deadband \"{}\": neither a unit ({}) nor the name of a record's value "
            "(korvan-host list; * for any number)",
            key, Join(std::vector<std::string>(Units().begin(), Units().end()), ", "));
        return false;
      }
    }
    deadbands[key] = band;
  }
  return true;
}

ReportFilter::ReportFilter(ReportSettings settings) : settings_(std::move(settings)) {}

Deadband ReportFilter::DeadbandOf(const vocabulary::Reading& value) {
  if (value.variable == nullptr) return {};
  const std::string name = vocabulary::NameFor(*value.variable, value.unit, value.item);
  const auto known = by_name_.find(name);
  if (known != by_name_.end()) return known->second;
  Deadband band = DefaultDeadband(*value.variable);
  int best = -1;
  for (const auto& [key, given] : settings_.deadbands) {
    if (Units().count(key) != 0) continue;
    const int stars = Match(key, name);
    if (stars >= 0 && (best < 0 || stars < best)) {
      best = stars;
      band = given;
    }
  }
  if (best < 0) {
    const auto unit = settings_.deadbands.find(value.variable->unit);
    if (unit != settings_.deadbands.end()) band = unit->second;
  }
  by_name_.emplace(name, band);
  return band;
}

bool ReportFilter::Publish(const std::string& system, std::uint32_t data_id, int record_type,
                           const std::vector<vocabulary::Reading>& values, Clock::time_point now) {
  if (settings_.every_cycle) return true;
  auto [entry, first] = last_.try_emplace(std::make_tuple(system, data_id, record_type));
  Last& last = entry->second;
  bool publish = first || last.due || now - last.at >= settings_.heartbeat ||
                 values.size() != last.values.size();
  for (std::size_t k = 0; k < values.size() && !publish; ++k) {
    publish = !SamePlace(last.values[k], values[k]) ||
              Moved(last.values[k].value, values[k].value, last.bands[k]);
  }
  if (!publish) return false;
  std::vector<Deadband> bands;
  bands.reserve(values.size());
  for (std::size_t k = 0; k < values.size(); ++k) {
    const bool kept = k < last.values.size() && SamePlace(last.values[k], values[k]);
    bands.push_back(kept ? last.bands[k] : DeadbandOf(values[k]));
  }
  last.values = values;
  last.bands = std::move(bands);
  last.at = now;
  last.due = false;
  return true;
}

void ReportFilter::Due(const std::string& system, std::uint32_t data_id) {
  for (auto& [key, last] : last_) {
    if (std::get<0>(key) == system && std::get<1>(key) == data_id) last.due = true;
  }
}

void ReportFilter::Forget(const std::string& system) {
  for (auto entry = last_.begin(); entry != last_.end();) {
    entry = std::get<0>(entry->first) == system ? last_.erase(entry) : std::next(entry);
  }
}

}  // namespace mqtt
