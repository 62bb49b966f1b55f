#ifndef OSCAR_OSCAR_CLUSTER_NODE_MANAGER_H
#define OSCAR_OSCAR_CLUSTER_NODE_MANAGER_H

#include <ace/Null_Mutex.h>
#include <ace/Singleton.h>
#include <ace/Thread_Mutex.h>

#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "oscar/oscar_export.h"

namespace oscar {

// This node as seen in its instance's cluster.
struct Cluster_Node {
  std::string instance;  // the instance's name
  int master_id = 0;     // not filled by node discovery
  int node_id = 0;
  bool is_master = false;
  bool online = false;
};

// The process-wide choice of the one cluster node that runs a job. A job
// asks is_selected_node, which sends a selection request to the backup
// server and waits (bounded, through the host's sleep) until the host hands
// the server's decision in with set_selection. Each decision is handed out
// once. mutex_ guards jobs_ and is held while a request is sent, so
// requests go out one at a time; every member may be called from any
// thread. The first instance() call must not race with another one.
class OSCAR_EXPORT Oscar_Cluster_Node_Manager {
 public:
  // One decision of the server.
  struct Selection {
    std::string instance;
    int node_id = -1;
    std::string host_uuid;
    std::string state;      // "success", "failed" or what the server sent
    time_t start_time = 0;  // the selection time of the request it answers
  };

  // The manager, made on the first call.
  static Oscar_Cluster_Node_Manager* instance();
  // Destroys the manager (also done when the module is unloaded).
  static void close_instance();

  // Whether this node is the one to run the job of definition_uuid on the
  // instance. Without backup and select_master the answer is true at once.
  // state receives the decision's state ("success", "failed", empty when no
  // decision came within the wait); it is unchanged when the request could
  // not be made. Every failure answers false and is logged.
  bool is_selected_node(const char* instance, const std::string& definition_uuid, const std::string& uid,
                        std::string& state, bool select_master, bool backup);

  // Hands out (and forgets) the stored decision for definition_uuid; false
  // when there is none or its state is empty.
  bool get_selection(const std::string& definition_uuid, Selection& selection);

  // Stores the server's decision for definition_uuid, replacing an earlier
  // one.
  bool set_selection(const std::string& definition_uuid, const std::string& instance, int node_id,
                     const std::string& host_uuid, const std::string& state, time_t time);

  // Sets "instance", "node_id", "is_master" and "online" of this node in
  // result (other members stay). virtual_address may be empty (the
  // configured one is used).
  bool check_state(const std::string& instance, const std::string& uid, const std::string& virtual_address,
                   nlohmann::json& result);

 private:
  friend class ACE_Unmanaged_Singleton<Oscar_Cluster_Node_Manager, ACE_Null_Mutex>;
  friend class ACE_Singleton<Oscar_Cluster_Node_Manager, ACE_Null_Mutex>;
  Oscar_Cluster_Node_Manager() = default;
  ~Oscar_Cluster_Node_Manager() = default;

  typedef std::map<std::string, Selection> Job_Map;
  typedef ACE_Thread_Mutex MUTEX;

  Job_Map jobs_;  // guarded by mutex_
  MUTEX mutex_;
};

}  // namespace oscar

#endif
