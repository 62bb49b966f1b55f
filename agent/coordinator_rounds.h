#ifndef AGENT_COORDINATOR_ROUNDS_H
#define AGENT_COORDINATOR_ROUNDS_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The cluster coordinator's choice of the node that runs a job, without
// any HTTP: the nodes of a cluster ask, one round per (cluster, job
// definition), and every node that asks in a round gets the same answer.
//
// A round opens at the first request of its key while none of that key is
// open and lasts `round_seconds`. With select_master the online master that
// asks is chosen as soon as it asks; otherwise the first online node that
// asks. A round that ends without a choice has failed. Offline nodes are
// recorded but never chosen.
//
// Times are seconds since the epoch: the selection_time every answer of a
// round carries is the second it opened, so a later round of the same key
// has a later one. Thread-safe: every member takes the one lock.

// The clock rounds are timed by: the system clock in whole seconds since
// the epoch (time(2) may read a coarser clock that lags behind the one
// waits end by).
int64_t coordinator_now();

// One node's request, as the module and its agent describe it.
struct Selection_Request {
  std::string cluster;          // the cluster's identity, the same on every node
  std::string definition_uuid;  // the job definition the choice is for
  std::string uid;
  std::string instance_uuid;
  bool select_master = false;  // only the master may run the job
  int node_id = 0;             // the asking node
  bool is_master = false;
  bool online = false;
  std::string host;  // for the record only
};

// The answer of a round. `state` is "success" (node_id chosen), "failed"
// (node_id -1, `reason` one line) or empty while the round is undecided.
struct Selection {
  int64_t selection_time = 0;
  std::string state;
  int node_id = -1;
  std::string reason;
};

// The last round of one definition: its answer and the nodes that asked in
// it, in the order they first asked.
struct Decision_Record {
  std::string cluster;
  std::string definition_uuid;
  bool select_master = false;  // as the round's first request asked
  Selection selection;
  std::vector<Selection_Request> askers;
};

class Coordinator_Rounds {
 public:
  explicit Coordinator_Rounds(int round_seconds) : round_seconds_(round_seconds) {}

  // Enters `request` into its round at time `now` (opening one when none of
  // its key is open) and answers the round's answer so far: decided, or
  // with an empty state while the round is open and undecided. A request
  // of a node that already asked in the round replaces that node's entry.
  Selection offer(const Selection_Request& request, int64_t now);

  // The answer of the round of (cluster, definition) that opened at
  // `selection_time`, as of `now`: "failed" once its end is reached
  // undecided, still empty before.
  Selection settle(const std::string& cluster, const std::string& definition_uuid, int64_t selection_time, int64_t now);

  // offer() at the clock's time, then held until the round is decided, it
  // ends or stop() is called (false then, `answer` untouched).
  bool ask(const Selection_Request& request, Selection& answer);

  // Releases every ask() held now and makes later ones answer false at
  // once: the service is stopping.
  void stop();

  // The last round of each definition of `cluster` as of `now` (a round
  // over undecided shows as failed), ordered by definition.
  std::vector<Decision_Record> decisions(const std::string& cluster, int64_t now);

  // Takes records as the last rounds (read back from an earlier run).
  void restore(const std::vector<Decision_Record>& records);

  // Called, under the lock, whenever a round is decided (to save the
  // records); set it before the first offer. May be empty.
  void on_decision(std::function<void(const std::vector<Decision_Record>&)> saver) { saver_ = std::move(saver); }

  int round_seconds() const { return round_seconds_; }

 private:
  using Key = std::pair<std::string, std::string>;
  // The answer of `record` at `now`, deciding a round that has ended;
  // true when this call decided it.
  bool close_if_over(Decision_Record& record, int64_t now);
  // settle() with lock_ held.
  Selection settle_locked(const Key& key, int64_t selection_time, int64_t now);
  void saved();

  const int round_seconds_;
  std::mutex lock_;
  std::condition_variable decided_;
  bool stopping_ = false;
  std::map<Key, Decision_Record> rounds_;  // the last round of each key, open or not; guarded by lock_
  // The answer of the round each last one replaced, for a request of it
  // that wakes only after the next round opened; guarded by lock_.
  std::map<Key, Selection> replaced_;
  std::function<void(const std::vector<Decision_Record>&)> saver_;
};

#endif
