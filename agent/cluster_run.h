#ifndef AGENT_CLUSTER_RUN_H
#define AGENT_CLUSTER_RUN_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "agent/cluster_transport.h"
#include "agent/module.h"

// The run of one job on a node of a clustered instance: for its life the
// upstream client reaches the cluster's coordinator (Cluster_Transport),
// so that the module's question which node runs the job is answered; after
// the job it tells a node that was not chosen from one that could not ask.
// Main thread; one object per job.
class Cluster_Run {
 public:
  Cluster_Run() = default;
  // Removes the transport again and waits for its exchanges to end.
  ~Cluster_Run();
  Cluster_Run(const Cluster_Run&) = delete;
  Cluster_Run& operator=(const Cluster_Run&) = delete;

  // For definition `def` (its JSON): when it carries a resource form, finds
  // its instance's cluster, checks that the coordinator answers and takes
  // the token, and installs the transport; a definition without one needs
  // nothing. `module` must stay loaded until the object is destroyed.
  // False with err one line naming the coordinator and the cause, or the
  // instance that is not registered as clustered.
  bool begin(const Oscar_Module& module, const nlohmann::json& def, std::string& err);

  // Whether the module asked the coordinator during the job: a job that
  // ended skipped was then skipped for the cluster's choice.
  bool asked() const;

  // After a job that ended skipped: true with `not_run` "node N of the
  // cluster was chosen" when another node runs it; false with err one line
  // when no node could be chosen (the coordinator could not be asked, or
  // its round failed).
  bool not_chosen(std::string& not_run, std::string& err) const;

 private:
  std::shared_ptr<Cluster_Transport> transport_;
  std::string coordinator_;
  ACE_Time_Value client_timeout_;  // the upstream client's time-out before begin()
};

#endif
