#include "faults.h"

#include "sim_util.h"

namespace sim {

Faults::Faults(const std::string& text) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = trim(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string::npos) {
        items_[item] = "";
      } else {
        items_[trim(item.substr(0, eq))] = trim(item.substr(eq + 1));
      }
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
}

Faults Faults::for_tool(const std::string& tool, const json* inst) {
  std::string var = "OSCAR_SIM_" + to_upper(tool) + "_FAULT";
  std::string text = env_or_empty(var.c_str());
  if (text.empty() && inst && inst->contains("faults") && (*inst)["faults"].is_object()) {
    const json& f = (*inst)["faults"];
    if (f.contains(tool) && f[tool].is_string()) text = f[tool].get<std::string>();
  }
  return Faults(text);
}

std::string Faults::value(const std::string& item) const {
  auto it = items_.find(item);
  return it == items_.end() ? std::string() : it->second;
}

uint64_t Faults::number(const std::string& item, uint64_t fallback) const {
  uint64_t v = 0;
  return parse_u64(value(item), v) ? v : fallback;
}

}  // namespace sim
