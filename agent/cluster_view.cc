#include "agent/cluster_view.h"

#include <ctime>

namespace {

std::string utc_time(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts;
  char text[32] = "?";
  if (gmtime_r(&t, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace

bool cluster_decisions(const Cluster_Settings& cluster, nlohmann::json& decisions, std::string& err) {
  Coordinator_Endpoint endpoint;
  return coordinator_endpoint(cluster, endpoint, err) &&
         coordinator_decisions(endpoint, cluster.identity, decisions, err);
}

std::vector<std::vector<std::string>> decision_rows(const nlohmann::json& decisions) {
  std::vector<std::vector<std::string>> rows = {{"DEFINITION", "RUNS ON", "ROUND (UTC)", "STATE", "CHOSEN", "ASKED"}};
  for (const nlohmann::json& d : decisions) {
    if (!d.is_object()) continue;
    std::string asked;
    for (const nlohmann::json& a : d.value("askers", nlohmann::json::array()))
      asked += (asked.empty() ? "" : ", ") + std::to_string(a.value("node_id", 0));
    const std::string state = d.value("state", std::string());
    const std::string chosen =
        state == "success" ? "node " + std::to_string(d.value("node_id", -1)) : d.value("reason", std::string());
    rows.push_back({d.value("definition_uuid", std::string()), d.value("select_master", false) ? "master" : "any node",
                    utc_time(d.value("selection_time", int64_t(0))), state.empty() ? "open" : state, chosen, asked});
  }
  return rows;
}

std::vector<Cluster_Check> cluster_checks(const Oscar_Module& module, const std::string& instance,
                                          const Cluster_Settings& cluster, bool can_ask) {
  std::vector<Cluster_Check> out;
  Coordinator_Endpoint endpoint;
  std::string err;
  int round = 0;
  if (coordinator_endpoint(cluster, endpoint, err) && coordinator_health(endpoint, err, &round))
    out.push_back({"coordinator", true, endpoint.url + " answers (rounds of " + std::to_string(round) + " s)"});
  else
    out.push_back({"coordinator", false, err});
  if (!can_ask) return out;
  nlohmann::json node = nlohmann::json::object();
  if (module.check_state(instance, std::string(), std::string(), node))
    out.push_back({"cluster node", true,
                   "node " + std::to_string(node.value("node_id", 0)) + " of " + cluster.identity +
                       (node.value("is_master", false) ? ", master" : ", slave") +
                       (node.value("online", false) ? "" : ", offline")});
  else
    out.push_back(
        {"cluster node", false, "no address of this machine is in the node list of cluster " + cluster.identity});
  return out;
}
