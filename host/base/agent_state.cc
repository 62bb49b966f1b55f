#include "host/base/agent_state.h"

namespace {
std::string& state_dir_storage() {
  static std::string dir;
  return dir;
}
std::string& root_prefix_storage() {
  static std::string prefix;
  return prefix;
}
}  // namespace

const std::string& agent_state_dir() { return state_dir_storage(); }
void set_agent_state_dir(const std::string& dir) { state_dir_storage() = dir; }

const std::string& host_root_prefix() { return root_prefix_storage(); }
void set_host_root_prefix(const std::string& prefix) {
  std::string p = prefix;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  root_prefix_storage() = p == "/" ? std::string() : p;
}

std::string root_path(const std::string& absolute_path) { return root_prefix_storage() + absolute_path; }
