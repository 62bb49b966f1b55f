#ifndef SIM_FAULTS_H
#define SIM_FAULTS_H

// Fault switches of one tool: a comma-separated list of items, each a word
// or word=value ("slow=20,never-exit"). The environment variable
// OSCAR_SIM_<TOOL>_FAULT wins over the instance's state entry
// faults.<tool>; an empty text means no fault.

#include <map>
#include <string>

#include "state.h"

namespace sim {

class Faults {
 public:
  Faults() = default;
  explicit Faults(const std::string& text);

  // tool is "isql", "brcmd", "server", "osrexp" or "osrimp"; inst may be null.
  static Faults for_tool(const std::string& tool, const json* inst);

  bool has(const std::string& item) const { return items_.count(item) != 0; }
  // The value of item=value, or the empty text.
  std::string value(const std::string& item) const;
  // The value as a number, or fallback when absent or not a number.
  uint64_t number(const std::string& item, uint64_t fallback) const;

 private:
  std::map<std::string, std::string> items_;
};

}  // namespace sim

#endif
