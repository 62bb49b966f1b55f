#include "oscar/oscar_cluster_node_manager.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "host/base/addr_string.h"
#include "host/base/network_interface.h"
#include "host/base/sleep.h"
#include "host/services/instance_manager.h"
#include "host/services/json_restful_client.h"
#include "oscar/arg_check.h"
#include "oscar/instance_info.h"
#include "oscar/tool_guard.h"
#include "oscar/utils.h"
#include "tollix/exponential_backoff.h"

namespace oscar {

namespace {

typedef ACE_Unmanaged_Singleton<Oscar_Cluster_Node_Manager, ACE_Null_Mutex> Manager_Singleton;

// Back-off of the wait for a decision: slot 1 s, 5 waits, cap 60 s, jitter.
const unsigned WAIT_SLOT = 1;
const unsigned WAIT_RETRIES = 5;
const unsigned WAIT_CAP = 60;

bool request_selection(const std::string& definition_uuid, const std::string& uid, const std::string& instance_uuid,
                       bool select_master, time_t& selection_time) {
  nlohmann::json body = nlohmann::json::object();
  body["definition_uuid"] = definition_uuid;
  body["uid"] = uid;
  body["instance_uuid"] = instance_uuid;
  body["select_master"] = select_master;
  HTTP_Request request(HTTP_Request::METHOD_POST, "/zq/r/oscar/cluster", true);
  nlohmann::json response;
  if (Upstream_JSON_RESTful_Client::instance()->post(request, body, response) != 0) return false;
  try {
    const nlohmann::json& value = response.at("selection_time");
    if (!value.is_number_integer()) throw std::invalid_argument("selection_time is not an integer");
    selection_time = static_cast<time_t>(value.get<int64_t>());
    return true;
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to request node selection of job %s, error: %s\n"), definition_uuid.c_str(),
               e.what()));
    return false;
  }
}

bool get_cluster_node_info(const Instance_ptr& instance, const std::string& uid, const std::string& virtual_address,
                           Cluster_Node& node) {
  Instance_Manager* instmgr = Instance_Manager::instance();
  std::string user;
  secure_string password;
  if (instmgr == nullptr || instmgr->get_account("oscar", instance->name, uid, user, password, nullptr) != 0) {
    return false;
  }
  std::string home;
  if (!get_from_instance_options(instance, "oscar_home", home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar home.\n")));
    return false;
  }
  if (!valid_account(user, password.c_str()) || !trusted_home(home, instance->name)) return false;
  std::vector<Oscar_Node_Info> nodes;
  if (!get_cluster_nodes(home.c_str(), instance->name.c_str(), user.c_str(), password.c_str(), virtual_address.c_str(),
                         nodes)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get oscar(%s) nodes info.\n"), instance->name.c_str()));
    return false;
  }
  std::unique_ptr<Network_Interface_Enumerator> interfaces(new (std::nothrow) Network_Interface_Enumerator());
  if (!interfaces) {
    errno = ENOMEM;
    return false;
  }
  for (const auto& itf : *interfaces) {
    std::string address = ACE_Addr_String(itf.address, false).str();
    for (const auto& n : nodes) {
      if (n.host != address) continue;
      node.instance = instance->name;
      node.node_id = n.node_id;
      node.is_master = n.status == "master";
      std::string state;
      node.online = get_instance_state(home.c_str(), instance->name.c_str(), state);
      return true;
    }
  }
  return false;
}

}  // namespace

Oscar_Cluster_Node_Manager* Oscar_Cluster_Node_Manager::instance() { return Manager_Singleton::instance(); }

void Oscar_Cluster_Node_Manager::close_instance() { Manager_Singleton::close(); }

bool Oscar_Cluster_Node_Manager::is_selected_node(const char* instance, const std::string& definition_uuid,
                                                  const std::string& uid, std::string& state, bool select_master,
                                                  bool backup) {
  OSCAR_CHECK_TEXT_ARG(instance, false);
  if (!backup && !select_master) return true;
  Instance_Manager* instmgr = Instance_Manager::instance();
  OSCAR_CHECK_PTR_ARG(instmgr, false);
  Instance_ptr inst = instmgr->find("oscar", instance);
  if (!inst) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to invoke is_selected_node, can't find instance.\n")));
    return false;
  }
  Cluster_Node node;
  if (!get_cluster_node_info(inst, uid, std::string(), node)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get node info of instance %s\n"), instance));
    return false;
  }
  time_t selection_time = 0;
  {
    ACE_Guard<MUTEX> guard(mutex_);
    if (!guard.locked()) return false;
    if (!request_selection(definition_uuid, uid, inst->uuid, select_master, selection_time)) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to sent job node selection request\n")));
      return false;
    }
  }
  Selection selection;
  bool decided = false;
  for (unsigned delay : exponential_backoff(WAIT_SLOT, WAIT_RETRIES, WAIT_CAP, true)) {
    decided = (get_selection(definition_uuid, selection) && selection.start_time == selection_time) ||
              !selection.state.empty();
    if (decided) break;
    host_sleep(ACE_Time_Value(delay));
  }
  // The sequence ends with a sleep: a decision that came during that last
  // wait would otherwise be missed, and left in the map for a later job.
  if (!decided) get_selection(definition_uuid, selection);
  state = selection.state;
  if (state != "success") return false;
  if (selection.node_id == -1) ACE_DEBUG((LM_DEBUG, ACE_TEXT("Select node %d to backup.\n"), selection.node_id));
  return node.node_id == selection.node_id;
}

bool Oscar_Cluster_Node_Manager::get_selection(const std::string& definition_uuid, Selection& selection) {
  ACE_Guard<MUTEX> guard(mutex_);
  if (!guard.locked()) return false;
  Job_Map::iterator it = jobs_.find(definition_uuid);
  if (it == jobs_.end() || it->second.state.empty()) return false;
  selection = it->second;
  jobs_.erase(it);
  return true;
}

bool Oscar_Cluster_Node_Manager::set_selection(const std::string& definition_uuid, const std::string& instance,
                                               int node_id, const std::string& host_uuid, const std::string& state,
                                               time_t time) {
  ACE_Guard<MUTEX> guard(mutex_);
  if (!guard.locked()) return false;
  Selection& s = jobs_[definition_uuid];
  s.instance = instance;
  s.node_id = node_id;
  s.host_uuid = host_uuid;
  s.state = state;
  s.start_time = time;
  return true;
}

bool Oscar_Cluster_Node_Manager::check_state(const std::string& instance, const std::string& uid,
                                             const std::string& virtual_address, nlohmann::json& result) {
  Instance_Manager* instmgr = Instance_Manager::instance();
  OSCAR_CHECK_PTR_ARG(instmgr, false);
  Instance_ptr inst = instmgr->find("oscar", instance);
  if (!inst) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to invoke check_state, can't find instance.\n")));
    return false;
  }
  Cluster_Node node;
  if (!get_cluster_node_info(inst, uid, virtual_address, node)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get node info of instance %s\n"), instance.c_str()));
    return false;
  }
  if (!result.is_object()) result = nlohmann::json::object();
  result["instance"] = node.instance;
  result["node_id"] = node.node_id;
  result["is_master"] = node.is_master;
  result["online"] = node.online;
  return true;
}

}  // namespace oscar

// Destroys the manager when the module image is unloaded (or a program that
// links the module's code ends), so no decision outlives the code that owns
// it.
__attribute__((destructor)) static void Oscar_Cluster_Node_Manager_fini() {
  oscar::Oscar_Cluster_Node_Manager::close_instance();
}
