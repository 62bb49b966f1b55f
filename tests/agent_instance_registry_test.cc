// oscar-agent processes changing one state directory's instance registry
// at once: every registration and every removal survives, and the
// accounts file stays private with each instance's own account.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

const int AGENTS = 6;
const int EACH = 4;

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

class AgentInstanceRegistry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::mkdir(home_.c_str(), 0755)); }

  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), agent_program());
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 60000);
  }
  Run_Result add(const std::string& name, const std::string& user, const std::string& password_file) {
    return agent(
        {"instance", "add", name, "--home", home_, "--user", user, "--password-file", password_file, "--no-check"});
  }

  Temp_Dir tmp_;
  std::string state_ = tmp_ / "state";
  std::string home_ = tmp_ / "home";
};

TEST_F(AgentInstanceRegistry, AgentsAddingAndRemovingInstancesAtOnceLoseNoChange) {
  ASSERT_TRUE(write_private_file(tmp_ / "pw-old", "Old-pass-1"));
  for (int i = 0; i < AGENTS; ++i) {
    const Run_Result r = add("OLD" + std::to_string(i), "old", tmp_ / "pw-old");
    ASSERT_EQ(0, r.status) << r.err;
  }

  // Agent i removes OLDi and adds NEWi_0 .. NEWi_3, each with its own user;
  // all run at the same time.
  std::vector<std::vector<Run_Result>> results(AGENTS);
  std::vector<std::thread> agents;
  for (int i = 0; i < AGENTS; ++i) {
    const std::string pw = tmp_ / ("pw-" + std::to_string(i));
    ASSERT_TRUE(write_private_file(pw, "Secret-pass-" + std::to_string(i)));
    agents.emplace_back([this, i, pw, &results] {
      results[i].push_back(agent({"instance", "remove", "OLD" + std::to_string(i)}));
      for (int j = 0; j < EACH; ++j) {
        const std::string id = std::to_string(i) + "_" + std::to_string(j);
        results[i].push_back(add("NEW" + id, "user" + id, pw));
      }
    });
  }
  for (std::thread& t : agents) t.join();
  for (const auto& runs : results)
    for (const Run_Result& r : runs) EXPECT_EQ(0, r.status) << r.out << r.err;

  std::set<std::string> expected;
  for (int i = 0; i < AGENTS; ++i)
    for (int j = 0; j < EACH; ++j) expected.insert("NEW" + std::to_string(i) + "_" + std::to_string(j));

  const json instances = json::parse(read_file(state_ + "/instances.json"), nullptr, false);
  ASSERT_TRUE(instances.is_object());
  std::set<std::string> names, uuids;
  for (const json& inst : instances["instances"]) {
    names.insert(inst["name"].get<std::string>());
    uuids.insert(inst["uuid"].get<std::string>());
  }
  EXPECT_EQ(expected, names);
  EXPECT_EQ(expected.size(), uuids.size());

  struct stat st;
  ASSERT_EQ(0, ::stat((state_ + "/accounts.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  const json accounts = json::parse(read_file(state_ + "/accounts.json"), nullptr, false);
  ASSERT_TRUE(accounts.is_object());
  std::map<std::string, std::string> users;
  for (const json& a : accounts["accounts"]) users[a["instance"].get<std::string>()] = a["user"].get<std::string>();
  EXPECT_EQ(expected.size(), users.size());
  for (const std::string& name : expected) EXPECT_EQ("user" + name.substr(3), users[name]) << name;

  // The registry as an agent lists it, and no password outside the
  // accounts file.
  const Run_Result listed = agent({"instance", "list", "--json"});
  ASSERT_EQ(0, listed.status) << listed.err;
  const json list = json::parse(listed.out, nullptr, false);
  ASSERT_TRUE(list.is_object()) << listed.out;
  EXPECT_EQ(expected.size(), list["instances"].size());
  for (const std::string& f : files_under(state_)) {
    if (f == state_ + "/accounts.json") continue;
    EXPECT_EQ(std::string::npos, read_file(f).find("Secret-pass-")) << f;
  }
  for (const auto& runs : results)
    for (const Run_Result& r : runs) EXPECT_EQ(std::string::npos, (r.out + r.err).find("Secret-pass-"));
}

}  // namespace
