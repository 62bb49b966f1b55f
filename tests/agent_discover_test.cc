// oscar-agent discover: the instances running on this machine, and
// registering some of them in one step.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "agent/instance_access.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

// Names no other test uses, so that other running instances cannot hide
// these (discovery keys instances by name).
std::string unique_name(const char* prefix) { return prefix + std::to_string(::getpid()); }

class AgentDiscover : public ::testing::Test {
 protected:
  void SetUp() override {
    // a_ is one node of a cluster (its configuration names a virtual address).
    ASSERT_TRUE(a_.start({"--vip", "127.0.0.1"}));
    ASSERT_TRUE(b_.start());
    ASSERT_TRUE(write_private_file(tmp_ / "pw", a_.password() + "\n"));
  }

  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), OSCAR_BUILD_DIR "/agent/oscar-agent");
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 120000);
  }

  // The entries of `discover --json` that are mine, by home.
  nlohmann::json mine(const Run_Result& r, const Sim_Home& inst) {
    const nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false).value("instances", nlohmann::json());
    EXPECT_TRUE(doc.is_array()) << r.out;
    nlohmann::json found = nlohmann::json::array();
    if (!doc.is_array()) return found;
    for (const nlohmann::json& e : doc)
      if (e.value("home", "") == inst.root()) found.push_back(e);
    return found;
  }

  nlohmann::json instances() {
    const nlohmann::json doc = nlohmann::json::parse(read_file(state_ + "/instances.json"), nullptr, false);
    return doc.is_object() && doc.contains("instances") ? doc["instances"] : nlohmann::json::array();
  }

  Temp_Dir tmp_;
  std::string state_ = tmp_ / "state";
  Sim_Instance a_{tmp_ / "ha", unique_name("DSCA")};
  Sim_Instance b_{tmp_ / "hb", unique_name("DSCB")};
};

TEST_F(AgentDiscover, ListsRunningInstancesWithPortStateAndVersion) {
  Run_Result r = agent({"discover", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  const std::string version = a_.tool("isql", {"--version"}).out;
  for (const Sim_Instance* inst : {&a_, &b_}) {
    const nlohmann::json found = mine(r, *inst);
    ASSERT_EQ(1u, found.size()) << inst->root() << "\n" << r.out;
    EXPECT_EQ(inst->instance(), found[0]["name"]);
    EXPECT_EQ(inst->port(), found[0]["port"]);
    EXPECT_EQ("online", found[0]["state"]);
    EXPECT_EQ(false, found[0]["registered"]);
    const std::string v = found[0]["version"];
    EXPECT_FALSE(v.empty());
    EXPECT_NE(std::string::npos, version.find(v)) << version;
  }

  r = agent({"discover"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("NAME")) << r.out;
  for (const Sim_Instance* inst : {&a_, &b_}) {
    const std::string::size_type at = r.out.find(inst->root());
    ASSERT_NE(std::string::npos, at) << r.out;
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    // Columns widen with what other running instances show.
    EXPECT_TRUE(std::regex_search(line, std::regex(std::to_string(inst->port()) + " +online +not registered"))) << line;
  }
}

TEST_F(AgentDiscover, StoppedInstancesAreNotListed) {
  ASSERT_EQ(0, b_.admin("stop").status);
  Run_Result r = agent({"discover", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(1u, mine(r, a_).size());
  EXPECT_EQ(0u, mine(r, b_).size());
}

// With a coordinator, the instance whose configuration names a virtual
// address becomes a clustered one; the other is registered as it is.
TEST_F(AgentDiscover, RegisterAddsEveryNamedInstanceWithItsVersion) {
  ASSERT_TRUE(write_private_file(tmp_ / "token", "t0ken\n"));
  Run_Result r =
      agent({"discover", "--register", a_.instance(), b_.instance(), "--user", a_.user(), "--password-file",
             tmp_ / "pw", "--coordinator", "http://127.0.0.1:7443", "--coordinator-token-file", tmp_ / "token"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("instance " + a_.instance() + " added")) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("cluster " + a_.instance() + "@127.0.0.1, coordinator http://127.0.0.1:7443\n"))
      << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("cluster " + b_.instance())) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(a_.password()));
  const nlohmann::json reg = instances();
  ASSERT_EQ(2u, reg.size());
  for (const nlohmann::json& i : reg) {
    const Sim_Instance& inst = i["name"] == a_.instance() ? a_ : b_;
    EXPECT_EQ(inst.root(), i["options"]["oscar_home"]);
    EXPECT_FALSE(i["options"].value("version", "").empty());
    EXPECT_EQ(&inst == &a_, i["options"].value("cluster_coordinator", "") == "http://127.0.0.1:7443") << i.dump();
  }
  EXPECT_NE(std::string::npos, read_file(state_ + "/accounts.json").find(a_.user()));

  r = agent({"discover", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(1u, mine(r, a_).size());
  EXPECT_EQ(true, mine(r, a_)[0]["registered"]);
  EXPECT_EQ(true, mine(r, b_)[0]["registered"]);
}

TEST_F(AgentDiscover, ANameRegisteredWithAnotherHomeIsToldApart) {
  ASSERT_TRUE(write_private_file(tmp_ / "other-pw", "x"));
  Run_Result r =
      run_program({OSCAR_BUILD_DIR "/agent/oscar-agent", "instance", "add", a_.instance(), "--home", tmp_.path(),
                   "--user", "u", "--password-file", tmp_ / "other-pw", "--no-check", "--state", state_});
  ASSERT_EQ(0, r.status) << r.err;
  r = agent({"discover", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  const nlohmann::json found = mine(r, a_);
  ASSERT_EQ(1u, found.size());
  EXPECT_EQ(false, found[0]["registered"]);
  EXPECT_EQ(tmp_.path(), found[0]["registered_home"]);
  r = agent({"discover"});
  EXPECT_NE(std::string::npos, r.out.find("registered (other home " + tmp_.path() + ")")) << r.out;
}

TEST_F(AgentDiscover, RegisterRegistersNoneWhenOneLoginOrNameFails) {
  ASSERT_EQ(0, b_.admin("set", {"account.password=Other-456"}).status);
  Run_Result r = agent(
      {"discover", "--register", a_.instance(), b_.instance(), "--user", a_.user(), "--password-file", tmp_ / "pw"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("the login of " + a_.user() + " to instance " + b_.instance() + " failed"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("nothing registered"));
  EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find(a_.password()));
  EXPECT_EQ(0u, instances().size());

  r = agent({"discover", "--register", a_.instance(), "NOSUCH" + a_.instance(), "--user", a_.user(), "--password-file",
             tmp_ / "pw"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("no running instance NOSUCH")) << r.err;
  EXPECT_EQ(0u, instances().size());
}

TEST_F(AgentDiscover, RegisterRefusesAPasswordTheAccountRuleRefuses) {
  ASSERT_TRUE(write_file(tmp_ / "pw", "Open Sesame1 TailSecret\n"));
  const Run_Result r =
      agent({"discover", "--register", a_.instance(), "--user", a_.user(), "--password-file", tmp_ / "pw"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("discover: the password holds a blank (user names and passwords may"))
      << r.err;
  EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("Sesame1"));
  EXPECT_EQ(0u, instances().size());
}

TEST_F(AgentDiscover, RegisterNeedsNamesAndAnAccount) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"discover", "--register", "--user", "u", "--password-file", "f"}, "needs the names"},
      {{"discover", "--register", "DB1"}, "needs --user and --password-file"},
      {{"discover", "DB1"}, "unexpected argument \"DB1\""},
      {{"discover", "--user", "u"}, "go with --register"},
      {{"discover", "--coordinator", "http://127.0.0.1:1"}, "go with --register"},
  };
  for (const Case& c : cases) {
    Run_Result r = agent(c.args);
    EXPECT_EQ(2, r.status) << c.message;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
}

TEST(ProcHidesProcesses, ReadsTheHidepidOptionOfTheProcMountInEffect) {
  EXPECT_FALSE(proc_hides_processes("proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"));
  EXPECT_TRUE(proc_hides_processes("proc /proc proc rw,nosuid,relatime,hidepid=2 0 0\n"));
  EXPECT_TRUE(proc_hides_processes("proc /proc proc rw,relatime,hidepid=invisible,gid=4 0 0\n"));
  EXPECT_FALSE(proc_hides_processes("proc /proc proc rw,hidepid=0 0 0\n"));
  EXPECT_FALSE(proc_hides_processes("proc /proc proc rw,hidepid=off 0 0\n"));
  // Only the proc file system on /proc counts, and the last mount there.
  EXPECT_FALSE(proc_hides_processes("proc /mnt/proc proc rw,hidepid=2 0 0\n"));
  EXPECT_FALSE(proc_hides_processes("proc /proc proc rw,hidepid=2 0 0\nproc /proc proc rw 0 0\n"));
  EXPECT_FALSE(proc_hides_processes(""));
}

}  // namespace
