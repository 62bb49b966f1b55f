#ifndef AGENT_CLUSTER_TRANSPORT_H
#define AGENT_CLUSTER_TRANSPORT_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/coordinator_client.h"
#include "agent/module.h"
#include "host/services/upstream_transport.h"

// How the module's question "which node runs this job?" of a clustered
// instance reaches the cluster's coordinator. The agent installs it in the
// upstream client for the run of one job of the instance.
//
// For the module's selection request it adds this node's place in the
// cluster (node id, master, online: the module's check_state) and the
// cluster's identity, posts it to the coordinator, which holds it until
// its round decides, hands the decision to the module with set_selection
// and answers the module {"selection_time": T}. The hand-off runs on a
// thread of its own: the module holds the lock that set_selection takes
// while its request is in flight, so the hand-off can only complete once
// the request has returned. Any other request is refused (there is no
// backup server behind the agent).
//
// exchange() may be called from any thread; close() and last() too.
class Cluster_Transport : public Upstream_Transport {
 public:
  // What the last selection request came to, for the agent's report.
  struct Outcome {
    bool asked = false;  // the module asked
    bool answered = false;
    Selection selection;  // the coordinator's answer when answered
    int node_id = -1;     // this node's id, when it was found in the cluster
    std::string error;    // why no answer came, one line (naming the coordinator)
  };

  // `module` must stay loaded until close() has returned; `instance` is
  // the registered instance the job runs on, `cluster` its identity.
  Cluster_Transport(const Oscar_Module& module, const Coordinator_Endpoint& endpoint, const std::string& instance,
                    const std::string& cluster);
  ~Cluster_Transport() override;

  int exchange(const HTTP_Request& request, const std::string& body, const ACE_Time_Value& timeout, int& status,
               std::string& response, std::string& error) override;

  // Waits for the exchanges in flight (each bounded by the endpoint's
  // time-out) and the hand-offs to end; later exchanges are refused. Call
  // it before the module is unloaded.
  void close();

  Outcome last() const;

 private:
  // Asks the coordinator for the request in `body`; false with `error`.
  bool select(const std::string& body, Selection& answer, std::string& error);
  void record(const Outcome& outcome);

  const Oscar_Module& module_;
  const Coordinator_Endpoint endpoint_;
  const std::string instance_;
  const std::string cluster_;

  mutable std::mutex lock_;
  std::condition_variable idle_;
  Outcome last_;                        // guarded by lock_
  int in_flight_ = 0;                   // guarded by lock_
  bool closed_ = false;                 // guarded by lock_
  std::vector<std::thread> hand_offs_;  // guarded by lock_
};

#endif
