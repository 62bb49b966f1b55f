// The cluster node choice with a scripted backup server: the request the
// manager sends, the decisions the host hands back (this node, another
// node, "failed", none, a stale one) and the node state, on a simulated
// instance whose cluster view lists this machine's loopback address as
// node 1 (the master) and a virtual address as node 2.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/sleep.h"
#include "host/services/instance_manager.h"
#include "host/services/json_restful_client.h"
#include "oscar/oscar_cluster_node_manager.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"
#include "tollix/exponential_backoff.h"

namespace {

using oscar::Oscar_Cluster_Node_Manager;

bool has_record(const Log_Capture& log, const std::string& text) { return log.all().find(text) != std::string::npos; }

// Answers every selection request with a selection time and, when told,
// has the host deliver a decision for it right after (from a thread of its
// own, as the host's server channel would).
class Scripted_Server : public Upstream_Transport {
 public:
  enum Decision { NONE, DECIDE };

  int exchange(const HTTP_Request& request, const std::string& body, const ACE_Time_Value&, int& status,
               std::string& response, std::string& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.push_back(request.path());
    bodies_.push_back(nlohmann::json::parse(body));
    if (refuse_) {
      error = "connection refused";
      return -1;
    }
    status = 200;
    response = answer_.empty() ? "{\"selection_time\":" + std::to_string(time_) + "}" : answer_;
    if (decision_ == DECIDE) {
      std::string def = bodies_.back().value("definition_uuid", "");
      int node = node_;
      std::string state = state_;
      time_t t = time_;
      threads_.emplace_back([def, node, state, t] {
        Oscar_Cluster_Node_Manager::instance()->set_selection(def, "ORCL", node, "host-uuid", state, t);
      });
    }
    return 0;
  }

  void decide(int node, const std::string& state) {
    decision_ = DECIDE;
    node_ = node;
    state_ = state;
  }
  void join() {
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

  std::mutex mutex_;
  std::vector<std::string> paths_;
  std::vector<nlohmann::json> bodies_;
  std::vector<std::thread> threads_;
  Decision decision_ = NONE;
  int node_ = 0;
  std::string state_;
  time_t time_ = 1700000000;
  bool refuse_ = false;
  std::string answer_;
};

class ClusterNodeManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.start({"--vip", "10.9.8.7"}));
    Instance inst;
    inst.type = "oscar";
    inst.name = "ORCL";
    inst.uuid = "inst-uuid-1";
    inst.options["oscar_home"] = home_.root();
    Instance_Manager::instance()->add_instance(inst);
    Instance_Manager::instance()->set_account("oscar", "ORCL", "", home_.user(), home_.password().c_str());
    server_ = std::make_shared<Scripted_Server>();
    Upstream_JSON_RESTful_Client::instance()->transport(server_);
  }
  void TearDown() override {
    server_->join();
    Upstream_JSON_RESTful_Client::instance()->transport(nullptr);
    Oscar_Cluster_Node_Manager::close_instance();
    Instance_Manager::instance()->clear();
  }
  bool ask(const std::string& def, std::string& state, bool select_master = true, bool backup = true) {
    bool r =
        Oscar_Cluster_Node_Manager::instance()->is_selected_node("ORCL", def, "uid-7", state, select_master, backup);
    server_->join();
    return r;
  }

  // Back-off waits of at most about a second and a half in all.
  Test_Sandbox sandbox_{0.05};
  Sim_Instance home_{sandbox_ / "db", "ORCL"};
  std::shared_ptr<Scripted_Server> server_;
};

TEST_F(ClusterNodeManager, NoChoiceNeededWithoutBackupOrMaster) {
  std::string state = "before";
  EXPECT_TRUE(ask("def-0", state, false, false));
  EXPECT_EQ("before", state);
  EXPECT_TRUE(server_->bodies_.empty());
}

TEST_F(ClusterNodeManager, SelectedWhenTheDecisionNamesThisNode) {
  server_->decide(1, "success");
  std::string state;
  EXPECT_TRUE(ask("def-1", state, true, true));
  EXPECT_EQ("success", state);
  ASSERT_EQ(1u, server_->bodies_.size());
  EXPECT_EQ("/zq/r/oscar/cluster", server_->paths_[0]);
  EXPECT_EQ(
      nlohmann::json(
          {{"definition_uuid", "def-1"}, {"uid", "uid-7"}, {"instance_uuid", "inst-uuid-1"}, {"select_master", true}}),
      server_->bodies_[0]);
}

TEST_F(ClusterNodeManager, NotSelectedForAnotherNodeOrAFailedChoice) {
  server_->decide(2, "success");
  std::string state;
  EXPECT_FALSE(ask("def-2", state, false, true));
  EXPECT_EQ("success", state);
  EXPECT_FALSE(server_->bodies_[0]["select_master"].get<bool>());
  server_->decide(1, "failed");
  EXPECT_FALSE(ask("def-2", state));
  EXPECT_EQ("failed", state);
}

TEST_F(ClusterNodeManager, NoDecisionEndsAfterTheBackOffWithEmptyState) {
  std::string state = "before";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ask("def-3", state));
  EXPECT_TRUE(state.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(ClusterNodeManager, DecisionDuringTheLastWaitStillDecides) {
  // The host delivers the decision while the waiting thread is in the last
  // pause of the back-off sequence; the wait must still take it.
  std::size_t waits = 0;
  for (unsigned d : exponential_backoff(1, 5, 60, true)) {
    (void)d;
    ++waits;
  }
  ASSERT_GT(waits, 0u);
  std::size_t seen = 0;
  set_host_sleep_observer([&](const ACE_Time_Value&) {
    if (++seen == waits)
      Oscar_Cluster_Node_Manager::instance()->set_selection("def-9", "ORCL", 1, "h", "success", 1700000000);
  });
  std::string state;
  const bool chosen = ask("def-9", state);
  set_host_sleep_observer(nullptr);
  EXPECT_EQ(waits, seen);
  EXPECT_TRUE(chosen);
  EXPECT_EQ("success", state);
  Oscar_Cluster_Node_Manager::Selection s;
  EXPECT_FALSE(Oscar_Cluster_Node_Manager::instance()->get_selection("def-9", s)) << "the decision was left behind";
}

TEST_F(ClusterNodeManager, StaleDecisionIsConsumedByTheNextWait) {
  Oscar_Cluster_Node_Manager* mgr = Oscar_Cluster_Node_Manager::instance();
  ASSERT_TRUE(mgr->set_selection("def-4", "ORCL", 2, "h", "success", 42));
  std::string state;
  EXPECT_FALSE(ask("def-4", state));
  EXPECT_EQ("success", state);
  Oscar_Cluster_Node_Manager::Selection s;
  EXPECT_FALSE(mgr->get_selection("def-4", s));
}

TEST_F(ClusterNodeManager, EachDecisionIsHandedOutOnce) {
  Oscar_Cluster_Node_Manager* mgr = Oscar_Cluster_Node_Manager::instance();
  Oscar_Cluster_Node_Manager::Selection s;
  ASSERT_TRUE(mgr->set_selection("def-5", "ORCL", 3, "h", "", 1));
  EXPECT_FALSE(mgr->get_selection("def-5", s));
  ASSERT_TRUE(mgr->set_selection("def-5", "ORCL", 3, "h", "success", 9));
  ASSERT_TRUE(mgr->get_selection("def-5", s));
  EXPECT_EQ(3, s.node_id);
  EXPECT_EQ(9, s.start_time);
  EXPECT_EQ("h", s.host_uuid);
  EXPECT_FALSE(mgr->get_selection("def-5", s));
}

TEST_F(ClusterNodeManager, RefusedOrMalformedAnswersFailTheRequest) {
  std::string state = "before";
  server_->refuse_ = true;
  {
    Log_Capture log;
    EXPECT_FALSE(ask("def-6", state));
    EXPECT_TRUE(has_record(log, "Failed to sent job node selection request\n"));
  }
  EXPECT_EQ("before", state);
  server_->refuse_ = false;
  for (const char* answer : {"[1,2]", "{\"other\":1}", "{\"selection_time\":\"soon\"}"}) {
    server_->answer_ = answer;
    Log_Capture log;
    EXPECT_FALSE(ask("def-6", state)) << answer;
    EXPECT_TRUE(has_record(log, "Failed to request node selection of job def-6, error: ")) << answer << log.all();
  }
}

TEST_F(ClusterNodeManager, UnknownInstanceOrNoLocalNodeFails) {
  std::string state;
  Log_Capture log;
  EXPECT_FALSE(Oscar_Cluster_Node_Manager::instance()->is_selected_node("NOPE", "d", "u", state, true, true));
  EXPECT_TRUE(has_record(log, "Failed to invoke is_selected_node, can't find instance.\n"));
  ASSERT_EQ(
      0, home_.admin("set", {"cluster_nodes=[{\"node_id\":4,\"address\":\"10.0.0.4\",\"status\":\"master\"}]"}).status);
  EXPECT_FALSE(ask("def-7", state));
  EXPECT_TRUE(has_record(log, "Failed to get node info of instance ORCL\n"));
  EXPECT_TRUE(server_->bodies_.empty());
}

TEST_F(ClusterNodeManager, CheckStateFillsTheNodeAndKeepsOtherMembers) {
  nlohmann::json result = {{"kept", "yes"}, {"online", "stale"}};
  ASSERT_TRUE(Oscar_Cluster_Node_Manager::instance()->check_state("ORCL", "uid-7", "10.9.8.7", result));
  EXPECT_EQ(
      nlohmann::json({{"kept", "yes"}, {"instance", "ORCL"}, {"node_id", 1}, {"is_master", true}, {"online", true}}),
      result);
  Log_Capture log;
  EXPECT_FALSE(Oscar_Cluster_Node_Manager::instance()->check_state("NOPE", "u", "", result));
  EXPECT_TRUE(has_record(log, "Failed to invoke check_state, can't find instance.\n"));
}

}  // namespace
