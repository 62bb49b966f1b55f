#ifndef AGENT_CLUSTER_VIEW_H
#define AGENT_CLUSTER_VIEW_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/cluster_settings.h"
#include "agent/module.h"

// What the nodes and check commands show of a clustered instance's
// coordinator. Main thread.

// The coordinator's last decision of each job definition of the cluster
// (the records of coordinator_decisions). False with err one line naming
// the coordinator when it cannot be asked.
bool cluster_decisions(const Cluster_Settings& cluster, nlohmann::json& decisions, std::string& err);

// The decisions as table rows under a heading: definition, who may run it
// ("master" or "any node"), the round's time (UTC), its state, the node
// chosen (or the failure's reason) and the nodes that asked.
std::vector<std::vector<std::string>> decision_rows(const nlohmann::json& decisions);

// One check of check's report.
struct Cluster_Check {
  std::string check;
  bool ok = false;
  std::string reason;
};

// The checks of a clustered instance: the coordinator answers and takes
// the token ("coordinator"), and, when `can_ask` (the instance's server
// answers its login), this machine is one of the cluster's nodes ("cluster
// node", through the module's check_state).
std::vector<Cluster_Check> cluster_checks(const Oscar_Module& module, const std::string& instance,
                                          const Cluster_Settings& cluster, bool can_ask);

#endif
