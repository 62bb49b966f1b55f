// The cluster an instance plays: its nodes, each with its own address, one
// of them the master, and the switch-over that makes another node master.

#include <string>

#include "admin_commands.h"
#include "home.h"
#include "sim_util.h"
#include "state.h"

namespace sim {

bool cluster_nodes_of(const std::string& vip, const std::string& nodes, json& out, std::string& err) {
  out = json::array();
  if (nodes.empty()) {
    // One machine's cluster: this node is the master, the slave sits at the
    // virtual address.
    out.push_back(json{{"node_id", 1}, {"address", "127.0.0.1"}, {"status", "master"}});
    out.push_back(json{{"node_id", 2}, {"address", vip}, {"status", "slave"}});
    return true;
  }
  std::size_t start = 0;
  for (int id = 1;; ++id) {
    const std::size_t comma = nodes.find(',', start);
    const std::string address = nodes.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!is_dotted_ipv4(address)) {
      err = "--nodes needs dotted IPv4 addresses separated by commas, not \"" + address + "\"";
      return false;
    }
    out.push_back(json{{"node_id", id}, {"address", address}, {"status", id == 1 ? "master" : "slave"}});
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

int admin_switch_over(const Admin_Args& args) {
  Home home{args.home};
  const auto named = args.options.find("instance");
  if (named == args.options.end() || named->second.empty()) return admin_error("--instance NAME is required");
  std::string err, name;
  File_Lock lock(home.state_lock());
  if (!lock.held()) return admin_error("cannot lock " + home.state_lock());
  json state;
  if (!load_state(home, state, err)) return admin_error(err);
  json* inst = find_instance(state, named->second, &name);
  if (!inst) return admin_error("instance " + named->second + " does not exist in " + home.root);
  json& nodes = (*inst)["cluster_nodes"];
  if (!nodes.is_array() || nodes.size() < 2) return admin_error("instance " + name + " is not clustered");
  // The new master: --to NODE_ID, else the first slave.
  const auto to = args.options.find("to");
  json* next = nullptr;
  for (json& n : nodes) {
    const std::string id = n["node_id"].is_string() ? n["node_id"].get<std::string>() : n["node_id"].dump();
    const bool chosen = to != args.options.end() ? id == to->second : n.value("status", "") == "slave";
    if (chosen && next == nullptr && n.value("status", "") != "master") next = &n;
  }
  if (next == nullptr)
    return admin_error(to != args.options.end() ? "node " + to->second + " is no slave of " + name
                                                : "instance " + name + " has no slave to switch over to");
  for (json& n : nodes) {
    if (n.value("status", "") == "master") n["status"] = "slave";
  }
  (*next)["status"] = "master";
  if (!save_state(home, state, err)) return admin_error(err);
  return 0;
}

}  // namespace sim
