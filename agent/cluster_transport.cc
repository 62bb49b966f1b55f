#include "agent/cluster_transport.h"

#include <unistd.h>

#include <climits>
#include <nlohmann/json.hpp>

#include "agent/coordinator_protocol.h"

namespace {

// The host name, for the coordinator's record only.
std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

bool text_of(const nlohmann::json& body, const char* key, std::string& out) {
  if (!body.contains(key) || !body[key].is_string()) return false;
  out = body[key].get<std::string>();
  return true;
}

}  // namespace

Cluster_Transport::Cluster_Transport(const Oscar_Module& module, const Coordinator_Endpoint& endpoint,
                                     const std::string& instance, const std::string& cluster)
    : module_(module), endpoint_(endpoint), instance_(instance), cluster_(cluster) {}

Cluster_Transport::~Cluster_Transport() { close(); }

int Cluster_Transport::exchange(const HTTP_Request& request, const std::string& body, const ACE_Time_Value&,
                                int& status, std::string& response, std::string& error) {
  if (request.method() != HTTP_Request::METHOD_POST || request.path() != COORDINATOR_SELECTION_PATH) {
    error = std::string("no backup server: the agent answers only the cluster's choice of a node, not ") +
            request.method_name() + " " + request.path();
    return -1;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) {
      error = "the job's connection to the coordinator is closed";
      return -1;
    }
    ++in_flight_;
  }
  Selection answer;
  const bool ok = select(body, answer, error);
  std::lock_guard<std::mutex> guard(lock_);
  if (ok) {
    const nlohmann::json asked = nlohmann::json::parse(body, nullptr, false);
    const std::string definition = asked.value("definition_uuid", std::string());
    const std::string instance = instance_;
    const Oscar_Module& module = module_;
    // The module takes the decision once its request has returned (see the
    // class's comment), so this thread must not wait for it.
    hand_offs_.emplace_back([&module, definition, instance, answer] {
      module.set_selection(definition, instance, answer.node_id, std::string(), answer.state, answer.selection_time);
    });
    status = 200;
    response = nlohmann::json{{"selection_time", answer.selection_time}}.dump();
  }
  --in_flight_;
  idle_.notify_all();
  return ok ? 0 : -1;
}

bool Cluster_Transport::select(const std::string& body, Selection& answer, std::string& error) {
  Outcome outcome;
  outcome.asked = true;
  Selection_Request request;
  const nlohmann::json asked = nlohmann::json::parse(body, nullptr, false);
  if (!asked.is_object() || !text_of(asked, "definition_uuid", request.definition_uuid) ||
      !text_of(asked, "uid", request.uid) || !text_of(asked, "instance_uuid", request.instance_uuid) ||
      !asked.contains("select_master") || !asked["select_master"].is_boolean()) {
    error = outcome.error = "the module's selection request is malformed";
    record(outcome);
    return false;
  }
  request.select_master = asked["select_master"].get<bool>();
  nlohmann::json node = nlohmann::json::object();
  if (!module_.check_state(instance_, request.uid, std::string(), node) || !node.value("node_id", 0)) {
    error = outcome.error = "this machine is none of the nodes of cluster " + cluster_ +
                            " (no address of its interfaces is in the instance's node list)";
    record(outcome);
    return false;
  }
  request.cluster = cluster_;
  request.node_id = node.value("node_id", 0);
  request.is_master = node.value("is_master", false);
  request.online = node.value("online", false);
  request.host = host_name();
  outcome.node_id = request.node_id;
  if (!post_selection(endpoint_, request, answer, error)) {
    outcome.error = error;
    record(outcome);
    return false;
  }
  outcome.answered = true;
  outcome.selection = answer;
  record(outcome);
  return true;
}

void Cluster_Transport::record(const Outcome& outcome) {
  std::lock_guard<std::mutex> guard(lock_);
  last_ = outcome;
}

void Cluster_Transport::close() {
  std::vector<std::thread> hand_offs;
  {
    std::unique_lock<std::mutex> guard(lock_);
    closed_ = true;
    idle_.wait(guard, [this] { return in_flight_ == 0; });
    hand_offs.swap(hand_offs_);
  }
  for (std::thread& t : hand_offs) t.join();
}

Cluster_Transport::Outcome Cluster_Transport::last() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_;
}
