// Instance utilities, discovery and browsing on real simulated instances
// (their servers run as child processes of the simulator and are stopped by
// each test's Sim_Instance).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "host/base/sleep.h"
#include "host/services/instance_manager.h"
#include "oscar/instance_info.h"
#include "oscar/utils.h"
#include "tests/support/log_capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

bool has_record(const Log_Capture& log, ACE_Log_Priority p, const std::string& text) {
  for (const auto& r : log.records()) {
    if (r.priority == p && r.text.find(text) != std::string::npos) return true;
  }
  return false;
}

Instance_ptr make_record(const Sim_Home& h, bool with_version = true) {
  auto inst = std::make_shared<Instance>();
  inst->type = "oscar";
  inst->name = h.instance();
  inst->uuid = "uuid-" + h.instance();
  inst->options["oscar_home"] = h.root();
  if (with_version) inst->options["version"] = "20240315-r4821";
  return inst;
}

class InstanceUtils : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.start({"--vip", "10.9.8.7"})); }
  const char* home() const { return home_.root().c_str(); }
  const char* pw() const { return home_.password().c_str(); }

  Test_Sandbox sandbox_;
  Sim_Instance home_{sandbox_ / "db", "ORCL"};
};

TEST(InstancePort, ConfigurationFileDecidesOrDefaultApplies) {
  Temp_Dir tmp;
  ASSERT_EQ(0, ::mkdir((tmp / "admin").c_str(), 0755));
  uint16_t port = 0;
  {
    Log_Capture log;
    ASSERT_TRUE(get_instance_port(tmp.path().c_str(), "NOCONF", port));
    EXPECT_EQ(2003, port);
    EXPECT_TRUE(has_record(log, LM_INFO, "NOCONF.conf does not exist, use default port 2003\n"));
  }
  ASSERT_TRUE(write_file(tmp / "admin/A.conf", "# settings\nPort = 1\n   port=5555 # main\nport = 6\n"));
  ASSERT_TRUE(get_instance_port(tmp.path().c_str(), "A", port));
  EXPECT_EQ(5555, port);
  ASSERT_TRUE(write_file(tmp / "admin/B.conf", "Port = 1234\nname = B\n"));
  port = 7;
  EXPECT_FALSE(get_instance_port(tmp.path().c_str(), "B", port));
  EXPECT_EQ(7, port);
  Log_Capture log;
  EXPECT_FALSE(get_instance_port(tmp.path().c_str(), "", port));
  EXPECT_TRUE(has_record(log, LM_EMERGENCY, "instance is NULL or \"\""));
}

TEST(InstanceRunning, ReadsThePidFromTheFirstLine) {
  Temp_Dir tmp;
  ASSERT_EQ(0, ::mkdir((tmp / "admin").c_str(), 0755));
  int pid = 0;
  EXPECT_FALSE(instance_running(tmp.path().c_str(), "NONE", pid));
  ASSERT_TRUE(write_file(tmp / "admin/SELF.db", std::to_string(::getpid()) + " started\nmore\n"));
  EXPECT_TRUE(instance_running(tmp.path().c_str(), "SELF", pid));
  EXPECT_EQ(::getpid(), pid);
  ASSERT_TRUE(write_file(tmp / "admin/BAD.db", "x1234\n"));
  Log_Capture log;
  EXPECT_FALSE(instance_running(tmp.path().c_str(), "BAD", pid));
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed to find pid.\n"));
  ASSERT_TRUE(write_file(tmp / "admin/ZERO.db", "0\n"));
  EXPECT_FALSE(instance_running(tmp.path().c_str(), "ZERO", pid));
}

TEST_F(InstanceUtils, StateAndRunningFollowTheServer) {
  std::string state;
  int pid = 0;
  EXPECT_TRUE(get_instance_state(home(), "ORCL", state));
  EXPECT_EQ("online", state);
  EXPECT_TRUE(instance_running(home(), "ORCL", pid));
  EXPECT_GT(pid, 0);
  ASSERT_EQ(0, home_.admin("stop").status);
  EXPECT_FALSE(get_instance_state(home(), "ORCL", state));
  EXPECT_EQ("offline", state);
  EXPECT_FALSE(get_instance_state(nullptr, "ORCL", state));
  EXPECT_EQ("offline", state);
}

TEST_F(InstanceUtils, StartRefusesNamesTheShellWouldRead) {
  for (const char* name : {"a;touch x", "a b", "a'b", "$(id)", "a\"b", "a|b", ""}) {
    Log_Capture log;
    EXPECT_FALSE(start_instance(home(), name)) << name;
    ASSERT_EQ(1u, log.records().size()) << name << log.all();
    EXPECT_EQ(LM_ERROR, log.records()[0].priority);
  }
}

TEST_F(InstanceUtils, StartReportsAFailedStartCommand) {
  ASSERT_EQ(0, home_.admin("stop").status);
  sandbox_.sleep_scale(0);
  // No init script for this name and no service manager unit: the start
  // command fails and so does the start, without waiting for an instance
  // that nothing is starting.
  int waits = 0;
  set_host_sleep_observer([&waits](const ACE_Time_Value&) { ++waits; });
  EXPECT_FALSE(start_instance(home(), "NOSUCHINST"));
  set_host_sleep_observer(nullptr);
  EXPECT_EQ(0, waits);
}

TEST_F(InstanceUtils, LoginTestReportsTheDatabaseRefusal) {
  std::string error;
  EXPECT_TRUE(test_login_instance(home(), "ORCL", "SYSDBA", pw(), &error));
  EXPECT_TRUE(error.empty());
  Log_Capture log;
  EXPECT_FALSE(test_login_instance(home(), "ORCL", "SYSDBA", "Not-It-42", &error));
  EXPECT_EQ("Error, password authentication failed for user \"SYSDBA\".", error);
  EXPECT_EQ(std::string::npos, log.all().find("Not-It-42"));
  EXPECT_FALSE(test_login_instance(home(), "ORCL", "SYSDBA", "", &error));
  EXPECT_TRUE(has_record(log, LM_EMERGENCY, "password is NULL or \"\""));
}

TEST(InstanceOptions, EmptyRecordIsLoggedMissingKeyIsNot) {
  std::string value;
  Log_Capture log;
  EXPECT_FALSE(get_from_instance_options(Instance_ptr(), "oscar_home", value));
  EXPECT_TRUE(has_record(log, LM_ERROR, "can't find instance.\n"));
  auto inst = std::make_shared<Instance>();
  inst->options["oscar_home"] = "/opt/db";
  EXPECT_FALSE(get_from_instance_options(inst, "version", value));
  EXPECT_EQ(1u, log.records().size());
  ASSERT_TRUE(get_from_instance_options(inst, "oscar_home", value));
  EXPECT_EQ("/opt/db", value);
}

TEST_F(InstanceUtils, DatabaseInfoOpenUnopenedAndWithoutVersion) {
  nlohmann::json value;
  ASSERT_TRUE(get_database_info(make_record(home_), "ORCL", "SYSDBA", pw(), value));
  EXPECT_EQ(
      nlohmann::json::parse(R"([{"database":"ORCL","status":"open","archivelog":true,"version":"20240315-r4821"}])"),
      value);
  ASSERT_TRUE(get_database_info(make_record(home_), "ORCL", "SYSDBA", "wrong", value));
  EXPECT_EQ(nlohmann::json::parse(R"([{"database":"ORCL","status":"unopened"}])"), value);
  Log_Capture log;
  EXPECT_FALSE(get_database_info(make_record(home_, false), "ORCL", "SYSDBA", pw(), value));
  EXPECT_EQ(nlohmann::json::parse(R"([{"database":"ORCL","status":"open","archivelog":true}])"), value);
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed to get version, instance ORCL.\n"));
  EXPECT_FALSE(get_database_info(Instance_ptr(), "ORCL", "SYSDBA", pw(), value));
}

TEST_F(InstanceUtils, BrowseDatabaseSchemasAndTables) {
  Instance_ptr inst = make_record(home_);
  nlohmann::json db, schemas, tables, none;
  ASSERT_TRUE(get_database_info(inst, "ORCL", "SYSDBA", pw(), db));
  ASSERT_TRUE(get_schemas_info(inst, "ORCL", "orcl", "SYSDBA", pw(), schemas));
  ASSERT_TRUE(get_tables_info(inst, "ORCL", "orcl", "hr", "SYSDBA", pw(), tables));
  EXPECT_EQ("open", db[0]["status"]);
  EXPECT_EQ(nlohmann::json::parse(R"(["APP","HR"])"), schemas);
  EXPECT_EQ(nlohmann::json::parse(R"(["EMPLOYEES","DEPARTMENTS"])"), tables);
  ASSERT_EQ(0, home_.admin("set", {"schemas={\"SYSDBA\":[],\"PUBLIC\":[]}"}).status);
  ASSERT_TRUE(get_schemas_info(inst, "ORCL", "orcl", "SYSDBA", pw(), none));
  EXPECT_EQ(nlohmann::json::array(), none);
  Log_Capture log;
  EXPECT_FALSE(get_tables_info(inst, "ORCL", "orcl", "HR", "SYSDBA", "wrong", tables));
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed to get tables of database: orcl, schema: HR.\n"));
}

TEST(Discovery, FindsTwoInstancesWithHomesAndVersions) {
  // Names of this process only: other tests may run servers at the same time.
  const std::string a = "DA" + std::to_string(::getpid());
  const std::string b = "DB" + std::to_string(::getpid());
  Temp_Dir tmp;
  Sim_Instance first(tmp / "db1", a);
  Sim_Instance second(tmp / "db2", b);
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());
  Oscar_Instance_Infos infos;
  ASSERT_TRUE(get_instance_info(infos, nullptr));
  ASSERT_EQ(1u, infos.count(a));
  ASSERT_EQ(1u, infos.count(b));
  nlohmann::json found = nlohmann::json::object();
  for (const std::string& name : {a, b}) {
    const Oscar_Instance_Info& i = infos[name];
    found[name] = {{"instance", i.instance}, {"oscar_home", i.oscar_home}, {"version", i.version}};
  }
  EXPECT_EQ(nlohmann::json({{a, {{"instance", a}, {"oscar_home", first.root()}, {"version", "20240315-r4821"}}},
                            {b, {{"instance", b}, {"oscar_home", second.root()}, {"version", "20240315-r4821"}}}}),
            found);
  ASSERT_EQ(0, second.admin("stop").status);
  infos.clear();
  ASSERT_TRUE(get_instance_info(infos, nullptr));
  EXPECT_EQ(1u, infos.count(a));
  EXPECT_EQ(0u, infos.count(b));
}

TEST_F(InstanceUtils, ClusterNodesThroughGivenOrConfiguredAddress) {
  std::vector<Oscar_Node_Info> nodes;
  ASSERT_TRUE(get_cluster_nodes(home(), "ORCL", "SYSDBA", pw(), "10.9.8.7", nodes));
  ASSERT_EQ(2u, nodes.size());
  nodes.clear();
  // An address that does not answer falls back to the configured one.
  ASSERT_TRUE(get_cluster_nodes(home(), "ORCL", "SYSDBA", pw(), "10.1.2.3", nodes));
  ASSERT_EQ(2u, nodes.size());
  EXPECT_EQ(1, nodes[0].node_id);
  EXPECT_EQ("master", nodes[0].status);
  EXPECT_EQ("10.9.8.7", nodes[1].host);
}

TEST(VirtualAddress, ConfigurationLineForms) {
  Temp_Dir tmp;
  ASSERT_EQ(0, ::mkdir((tmp / "admin").c_str(), 0755));
  ASSERT_TRUE(write_file(tmp / "admin/A.conf",
                         "port = 1\n  ha_server_ip_address = ''10.0.0.9'' \nHA_SERVER_IP_ADDRESS=1.1.1.1\n"));
  ASSERT_TRUE(write_file(tmp / "admin/B.conf", "HA_SERVER_IP_ADDRESS = 'db.example.com'\n"));
  std::string vip;
  ASSERT_TRUE(get_vip_from_conf(tmp.path().c_str(), "A", vip));
  EXPECT_EQ("10.0.0.9", vip);
  vip.clear();
  EXPECT_FALSE(get_vip_from_conf(tmp.path().c_str(), "B", vip));
  Log_Capture log;
  EXPECT_FALSE(get_vip_from_conf(tmp.path().c_str(), "C", vip));
  EXPECT_TRUE(has_record(log, LM_ERROR, "C.conf does not exist.\n"));
}

TEST_F(InstanceUtils, UpdateAttrsFindTheLocalNodeAndTheMaster) {
  Instance_Manager* mgr = Instance_Manager::instance();
  mgr->add_instance(*make_record(home_));
  std::map<std::string, nlohmann::json> attrs;
  ASSERT_TRUE(get_update_attrs(home(), "ORCL", "SYSDBA", pw(), attrs));
  EXPECT_EQ(1, attrs["master_id"]);
  EXPECT_EQ(1, attrs["node_id"]);
  EXPECT_EQ("ORCL", attrs["instance"]);
  Instance_ptr rec = mgr->find("oscar", "ORCL");
  ASSERT_TRUE(rec);
  EXPECT_EQ("1", rec->options.at("node_id"));
  EXPECT_EQ("1", rec->options.at("master_id"));

  ASSERT_EQ(0, home_
                   .admin("set", {"cluster_nodes=[{\"node_id\":4,\"address\":\"10.0.0.4\",\"status\":\"master\"},"
                                  "{\"node_id\":5,\"address\":\"10.0.0.5\",\"status\":\"slave\"}]"})
                   .status);
  attrs.clear();
  Log_Capture log;
  EXPECT_FALSE(get_update_attrs(home(), "ORCL", "SYSDBA", pw(), attrs));
  EXPECT_TRUE(has_record(log, LM_ERROR, "Failed to get oscar(ORCL) update attrs.\n"));
  EXPECT_EQ(4, attrs["master_id"]);
  EXPECT_EQ(0u, attrs.count("node_id"));
  mgr->clear();
}

}  // namespace
