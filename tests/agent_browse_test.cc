// oscar-agent browse and nodes: what a registered instance holds, and the
// nodes of its cluster.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

// An address of no interface of this machine (TEST-NET-1).
const char REMOTE_NODE[] = "192.0.2.55";

class AgentBrowse : public ::testing::Test {
 protected:
  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), OSCAR_BUILD_DIR "/agent/oscar-agent");
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 120000);
  }

  // Starts the instance and registers it with `password` (checked when
  // it is the right one).
  void start_and_register(const std::vector<std::string>& init = {}, const std::string& password = "") {
    ASSERT_TRUE(inst_.start(init));
    ASSERT_TRUE(write_private_file(tmp_ / "pw", password.empty() ? inst_.password() : password));
    std::vector<std::string> args = {"instance", "add",        inst_.instance(),  "--home",   inst_.root(),
                                     "--user",   inst_.user(), "--password-file", tmp_ / "pw"};
    if (!password.empty()) args.push_back("--no-check");
    Run_Result r = agent(args);
    ASSERT_EQ(0, r.status) << r.err;
  }

  // The array `list` of a listing's JSON document.
  nlohmann::json json_of(const Run_Result& r, const char* list) {
    EXPECT_EQ(0, r.status) << r.err;
    return nlohmann::json::parse(r.out, nullptr, false).value(list, nlohmann::json());
  }

  // The failure is one line on stderr naming `what`, with no password.
  void expect_one_line_error(const Run_Result& r, const std::string& what) {
    EXPECT_EQ(1, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.err.find(what)) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find(inst_.password()));
    EXPECT_TRUE(r.out.empty()) << r.out;
  }

  Temp_Dir tmp_;
  std::string state_ = tmp_ / "state";
  Sim_Instance inst_{tmp_ / "home", "BRW1"};
};

TEST_F(AgentBrowse, DatabaseSchemasAndTables) {
  start_and_register();
  ASSERT_EQ(0, inst_.admin("create-table", {"SALES.ORDERS", "--rows", "3"}).status);
  ASSERT_EQ(0, inst_.admin("create-table", {"SALES.ITEMS", "--rows", "3"}).status);

  const nlohmann::json db = json_of(agent({"browse", "BRW1", "--json"}), "databases");
  ASSERT_TRUE(db.is_array() && db.size() == 1) << db;
  EXPECT_EQ("BRW1", db[0]["database"]);
  EXPECT_EQ("open", db[0]["status"]);
  EXPECT_EQ(true, db[0]["archivelog"]);
  const std::string version = db[0].value("version", "");
  EXPECT_FALSE(version.empty());
  EXPECT_NE(std::string::npos, inst_.tool("isql", {"--version"}).out.find(version));

  nlohmann::json schemas = json_of(agent({"browse", "BRW1", "BRW1", "--json"}), "schemas");
  ASSERT_TRUE(schemas.is_array()) << schemas;
  EXPECT_NE(schemas.end(), std::find(schemas.begin(), schemas.end(), "SALES")) << schemas;
  EXPECT_EQ(schemas.end(), std::find(schemas.begin(), schemas.end(), "SYSDBA")) << "a system schema";

  const nlohmann::json tables = json_of(agent({"browse", "BRW1", "BRW1", "sales", "--json"}), "tables");
  EXPECT_EQ(nlohmann::json({"ORDERS", "ITEMS"}), tables)
      << "in query order; a lower-case schema name is the upper-case one";

  Run_Result r = agent({"browse", "BRW1", "BRW1", "SALES"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ORDERS\nITEMS\n", r.out);
  r = agent({"browse", "BRW1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("BRW1      open    yes         " + version)) << r.out;
}

TEST_F(AgentBrowse, ADatabaseWithoutArchivingSaysSo) {
  start_and_register({"--archive-mode", "NOARCHIVELOG"});
  const nlohmann::json db = json_of(agent({"browse", "BRW1", "--json"}), "databases");
  ASSERT_TRUE(db.is_array() && db.size() == 1) << db;
  EXPECT_EQ(false, db[0]["archivelog"]);
}

TEST_F(AgentBrowse, BadInputIsOneLineOnStderr) {
  start_and_register();
  expect_one_line_error(agent({"browse", "NOSUCH"}), "unknown instance \"NOSUCH\"");
  expect_one_line_error(agent({"browse", "BRW1", "OTHERDB"}), "holds no database OTHERDB");
  expect_one_line_error(agent({"browse", "BRW1", "BRW1", "NOPE"}),
                        "browse: database BRW1 holds no user schema NOPE (browse BRW1 BRW1 lists them)");
  // A schema without tables is no error.
  ASSERT_EQ(0, inst_.admin("create-table", {"EMPTY.T1", "--rows", "1"}).status);
  ASSERT_EQ(0, inst_.admin("drop", {"EMPTY.T1"}).status);
  const Run_Result empty = agent({"browse", "BRW1", "BRW1", "EMPTY"});
  EXPECT_EQ(0, empty.status) << empty.err;
  EXPECT_EQ("no table in schema EMPTY\n", empty.out);
  expect_one_line_error(agent({"nodes", "NOSUCH"}), "unknown instance \"NOSUCH\"");
  ASSERT_EQ(0, inst_.admin("stop").status);
  expect_one_line_error(agent({"browse", "BRW1"}), "instance BRW1 is not running");
  expect_one_line_error(agent({"nodes", "BRW1"}), "instance BRW1 is not running");
}

TEST_F(AgentBrowse, AWrongPasswordIsRefusedAtEveryLevel) {
  start_and_register({}, "Wrong-999");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"browse", "BRW1"}, {"browse", "BRW1", "BRW1"}, {"browse", "BRW1", "BRW1", "HR"}, {"nodes", "BRW1"}}) {
    const Run_Result r = agent(args);
    expect_one_line_error(r, "the login of " + inst_.user() + " to instance BRW1 failed");
    EXPECT_EQ(std::string::npos, r.err.find("Wrong-999"));
  }
}

TEST_F(AgentBrowse, AMissingHomeIsNamed) {
  start_and_register();
  ASSERT_EQ(0, inst_.admin("stop").status);
  ASSERT_EQ(0, std::rename(inst_.root().c_str(), (tmp_ / "moved").c_str()));
  expect_one_line_error(agent({"browse", "BRW1"}), "the home " + inst_.root() + " of instance BRW1 does not exist");
  expect_one_line_error(agent({"nodes", "BRW1"}), "the home " + inst_.root() + " of instance BRW1 does not exist");
  ASSERT_EQ(0, std::rename((tmp_ / "moved").c_str(), inst_.root().c_str()));
}

TEST_F(AgentBrowse, NodesOfAClusterMarkTheMasterAndThisMachine) {
  start_and_register({"--vip", REMOTE_NODE});
  const nlohmann::json nodes = json_of(agent({"nodes", "BRW1", "--json"}), "nodes");
  ASSERT_TRUE(nodes.is_array() && nodes.size() == 2) << nodes;
  EXPECT_EQ(1, nodes[0]["node_id"]);
  EXPECT_EQ("127.0.0.1", nodes[0]["address"]);
  EXPECT_EQ(true, nodes[0]["master"]);
  EXPECT_EQ(true, nodes[0]["this_machine"]);
  EXPECT_EQ(2, nodes[1]["node_id"]);
  EXPECT_EQ(REMOTE_NODE, nodes[1]["address"]);
  EXPECT_EQ(false, nodes[1]["master"]);
  EXPECT_EQ(false, nodes[1]["this_machine"]);

  Run_Result r = agent({"nodes", "BRW1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("master, this machine")) << r.out;

  // This machine as a slave: the master is elsewhere.
  ASSERT_EQ(0, inst_
                   .admin("set", {"cluster_nodes=[{\"node_id\":3,\"address\":\"" + std::string(REMOTE_NODE) +
                                  "\",\"status\":\"master\"},{\"node_id\":4,\"address\":\"127.0.0.1\","
                                  "\"status\":\"slave\"}]"})
                   .status);
  const nlohmann::json swapped = json_of(agent({"nodes", "BRW1", "--json"}), "nodes");
  ASSERT_EQ(2u, swapped.size()) << swapped;
  EXPECT_EQ(true, swapped[0]["master"]);
  EXPECT_EQ(false, swapped[0]["this_machine"]);
  EXPECT_EQ(false, swapped[1]["master"]);
  EXPECT_EQ(true, swapped[1]["this_machine"]);
}

TEST_F(AgentBrowse, NodesOfAnInstanceWithoutClusterOrWithAFailingQueryFail) {
  start_and_register({"--vip", REMOTE_NODE});
  ASSERT_EQ(0, inst_.admin("set", {"faults.isql=fail=v_sys_ha_slave_info"}).status);
  expect_one_line_error(agent({"nodes", "BRW1"}), "the cluster query of instance BRW1 failed");
  ASSERT_EQ(0, inst_.admin("set", {"faults.isql=", "cluster_nodes=[]"}).status);
  expect_one_line_error(agent({"nodes", "BRW1"}), "instance BRW1 is not clustered (its cluster lists no nodes)");
  ASSERT_TRUE(write_file(inst_.root() + "/admin/BRW1.conf", "port = " + std::to_string(inst_.port()) + "\n"));
  expect_one_line_error(agent({"nodes", "BRW1"}), "instance BRW1 is not clustered (no HA_SERVER_IP_ADDRESS");
}

}  // namespace
