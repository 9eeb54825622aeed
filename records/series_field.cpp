#include "records/series_field.h"

#include "records/text_parts.h"

namespace records {

bool ParseSeriesField(const std::string& text, SeriesField& out, std::string& error) {
  out = SeriesField{};
  out.text = text;
  const std::vector<std::string> parts = text_parts::Split(text, '.');
  std::size_t star = parts.size();
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (parts[k].find('*') == std::string::npos) continue;
    if (parts[k] != "*" || star != parts.size()) {
      error = "\"" + text + "\": \"*\" stands for one item's number, once";
      return false;
    }
    star = k;
  }
  if (star == parts.size()) {
    if (vocabulary::Resolve(text, out.path)) return true;
    error = "\"" + text + "\" is neither a name nor a record path";
    return false;
  }
  std::string first = text;
  first.replace(first.find('*'), 1, "1");
  // The "*" must be where the name numbers its items ({n}), not its unit.
  if (!vocabulary::Resolve(first, out.path) || out.path.variable == nullptr || out.path.item != 1 ||
      text_parts::Split(out.path.variable->name, '.').size() != parts.size() ||
      text_parts::Split(out.path.variable->name, '.')[star] != "{n}") {
    error = "\"" + text + "\": no name of the vocabulary has items where \"*\" is";
    return false;
  }
  out.wildcard = true;
  return true;
}

std::vector<std::string> ExpandedNames(const SeriesField& field, const Json::Value& record) {
  std::vector<std::string> names;
  if (!field.wildcard) return names;
  const int items = vocabulary::ItemsOf(*field.path.variable, record);
  for (int item = 1; item <= items; ++item) {
    names.push_back(vocabulary::NameFor(*field.path.variable, field.path.unit, item));
  }
  return names;
}

}  // namespace records
