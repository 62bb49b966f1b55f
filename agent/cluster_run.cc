#include "agent/cluster_run.h"

#include "agent/cluster_settings.h"
#include "host/services/instance_manager.h"
#include "host/services/json_restful_client.h"

namespace {

// Seconds the coordinator may take beyond its round to answer.
const int ANSWER_MARGIN_SECONDS = 10;

// The instance a definition works on: the one a restore restores as, else
// its source's.
std::string instance_of(const nlohmann::json& def) {
  const nlohmann::json source = def.value("source", nlohmann::json::object());
  const nlohmann::json as = source.value("restore_as", nlohmann::json::object());
  const std::string target = as.is_object() ? as.value("database", std::string()) : std::string();
  return target.empty() ? source.value("name", std::string()) : target;
}

}  // namespace

Cluster_Run::~Cluster_Run() {
  if (!transport_) return;
  Upstream_JSON_RESTful_Client* client = Upstream_JSON_RESTful_Client::instance();
  client->transport(nullptr);
  client->timeout(client_timeout_);
  transport_->close();
}

bool Cluster_Run::begin(const Oscar_Module& module, const nlohmann::json& def, std::string& err) {
  if (!def.is_object() || !def.contains("rsrc_form") || def["rsrc_form"] == "") return true;
  // The module asks which node runs a backup or an import; a physical
  // restore runs where it is started.
  if (def.value("type", std::string()) != "backup" && def.value("subtype", std::string()) != "import") return true;
  const std::string name = instance_of(def);
  Instance_ptr inst = Instance_Manager::instance()->find("oscar", name);
  Cluster_Settings cluster;
  if (!inst || !cluster_settings(*inst, cluster)) {
    err = "the definition names a cluster, but instance \"" + name +
          "\" is not registered as clustered (instance set NAME --coordinator URL --coordinator-token-file FILE)";
    return false;
  }
  Coordinator_Endpoint endpoint;
  if (!coordinator_endpoint(cluster, endpoint, err)) return false;
  int round = 0;
  if (!coordinator_health(endpoint, err, &round)) return false;
  endpoint.timeout_seconds = (round > 0 ? round : 3600) + ANSWER_MARGIN_SECONDS;
  coordinator_ = endpoint.url;
  transport_ = std::make_shared<Cluster_Transport>(module, endpoint, name, cluster.identity);
  Upstream_JSON_RESTful_Client* client = Upstream_JSON_RESTful_Client::instance();
  client_timeout_ = client->timeout();
  client->timeout(ACE_Time_Value(endpoint.timeout_seconds + ANSWER_MARGIN_SECONDS));
  client->transport(transport_);
  return true;
}

bool Cluster_Run::asked() const { return transport_ && transport_->last().asked; }

bool Cluster_Run::not_chosen(std::string& not_run, std::string& err) const {
  const Cluster_Transport::Outcome last = transport_ ? transport_->last() : Cluster_Transport::Outcome();
  if (!last.answered) {
    err = last.error.empty() ? "the coordinator " + coordinator_ + " was not asked" : last.error;
    return false;
  }
  if (last.selection.state != "success") {
    err = "coordinator " + coordinator_ + " chose no node" +
          (last.selection.reason.empty() ? std::string() : ": " + last.selection.reason);
    return false;
  }
  if (last.selection.node_id == last.node_id) {
    err = "this node (" + std::to_string(last.node_id) + ") was chosen, but the module did not take the decision";
    return false;
  }
  not_run = "node " + std::to_string(last.selection.node_id) + " of the cluster was chosen";
  return true;
}
