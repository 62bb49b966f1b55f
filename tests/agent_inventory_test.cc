// oscar-agent's listing and removal of registered instances and pools, run
// as a program on catalogued sets with their stored files.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_home.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

const char PASSWORD[] = "Inv-pass-93d1";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

class AgentInventory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(home_.c_str(), 0755));
    ASSERT_TRUE(write_private_file(sandbox_ / "pw", PASSWORD));
    for (const char* name : {"DB1", "DB2"}) {
      const Run_Result r = agent({"instance", "add", name, "--home", home_, "--user", std::string("u_") + name,
                                  "--password-file", sandbox_ / "pw", "--no-check"});
      ASSERT_EQ(0, r.status) << r.err;
    }
    for (const char* name : {"p1", "p2"}) {
      const Run_Result r = agent({"pool", "add", name, "--url", "file://" + (sandbox_ / name)});
      ASSERT_EQ(0, r.status) << r.err;
    }
    const json inst = json::parse(read_file(state_ + "/instances.json"), nullptr, false);
    const json pools = json::parse(read_file(state_ + "/pools.json"), nullptr, false);
    ASSERT_TRUE(inst.is_object() && pools.is_object());
    for (const json& i : inst["instances"]) uuids_[i["name"]] = i["uuid"];
    for (const json& p : pools["pools"]) uuids_[p["name"]] = p["uuid"];
  }

  Run_Result agent(std::vector<std::string> args) {
    args.insert(args.begin(), agent_program());
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, 60000);
  }

  // Commits a physical set of `instance` in `pool` and stores its file.
  void commit_set(const std::string& instance, const std::string& pool, const std::string& id, const std::string& type,
                  const std::string& on, std::time_t start, unsigned long long size) {
    const std::string resource = uuids_[instance];
    Oscar_Brcmd_Backup_Set set;
    set.type(Oscar_Brcmd_Backup_Set::KIND);
    set.uuid(id);
    set.backup_id(id);
    set.definition_uuid("5a1f3b52-0c0e-4b7e-9d55-0d8f4a8c1e01");
    set.host_uuid("0e6a4c1c-2f57-4a55-9a1b-6c0c3a1d9e02");
    set.resource_uuid(resource);
    set.uri(resource);
    set.backup_type(type);
    set.backup_file(id + ".bak");
    set.last_backup_id(type == "full" ? id : on);
    set.last_full_backup_id(type == "full" ? id : on);
    set.full_backup_uuid(type == "full" ? id : on);
    set.start_time(start);
    set.end_time(start + 5);
    set.backup_set_size(size);
    set.add_storage(Backup_Set_Storage(uuids_[pool], size));
    set.add_piece(id + ".bak", 0);
    Catalog_Operator op;
    ASSERT_TRUE(op.commit(set)) << op.error();
    const std::string dir = sandbox_ / (pool + "/" + resource);
    ASSERT_EQ(0, std::system(("mkdir -p '" + dir + "'").c_str()));
    ASSERT_TRUE(write_file(dir + "/" + id + ".bak", std::string(size, 'x')));
  }

  json listing(const char* what) {
    const Run_Result r = agent({what, "list", "--json"});
    EXPECT_EQ(0, r.status) << r.err;
    return json::parse(r.out, nullptr, false);
  }

  std::vector<std::string> catalogued() {
    const Run_Result r = agent({"catalog", "--json"});
    const json rows = json::parse(r.out, nullptr, false);
    std::vector<std::string> out;
    if (rows.is_array())
      for (const json& row : rows) out.push_back(row.value("backup_id", std::string("?")));
    return out;
  }

  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  const std::string home_ = sandbox_ / "home";
  std::map<std::string, std::string> uuids_;
};

TEST_F(AgentInventory, InstanceListShowsNameHomeAndUserButNeverThePassword) {
  Run_Result r = agent({"instance", "list"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "NAME  HOME")) << r.out;
  EXPECT_TRUE(contains(r.out, "DB2   " + home_ + "  u_DB2\n")) << r.out;
  EXPECT_FALSE(contains(r.out + r.err, PASSWORD));

  r = agent({"instance", "list", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(contains(r.out + r.err, PASSWORD));
  const json doc = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(doc.is_object()) << r.out;
  ASSERT_EQ(2u, doc["instances"].size());
  EXPECT_EQ((json{{"name", "DB1"}, {"uuid", uuids_["DB1"]}, {"home", home_}, {"user", "u_DB1"}}), doc["instances"][0]);
  EXPECT_EQ(2, agent({"instance", "list", "extra"}).status);
}

TEST_F(AgentInventory, InstanceRemoveTakesItsAccountAndOnlyALinkedStartScript) {
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A1", "full", "", 1700000100, 10));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A2", "incremental", "A1", 1700000200, 10));
  // The start scripts as instance add links them, and a file of the
  // machine's own that only looks like one.
  ASSERT_EQ(0, mkdir((home_ + "/admin").c_str(), 0755));
  ASSERT_TRUE(write_file(home_ + "/admin/oscardb_DB1d", "#!/bin/sh\n"));
  ASSERT_EQ(0, agent({"instance", "add", "DB1", "--home", home_, "--user", "u_DB1", "--password-file", sandbox_ / "pw",
                      "--no-check"})
                   .status);
  const std::string link1 = state_ + "/root/etc/init.d/oscardb_DB1d";
  const std::string file2 = state_ + "/root/etc/init.d/oscardb_DB2d";
  ASSERT_TRUE(write_file(file2, "#!/bin/sh\n# the machine's own\n"));

  Run_Result r = agent({"instance", "remove", "DB1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "instance DB1 removed")) << r.out;
  EXPECT_TRUE(contains(r.out, "start script link " + link1 + " removed")) << r.out;
  EXPECT_TRUE(contains(r.out, "2 catalogued sets of DB1 remain: expire " + uuids_["DB1"])) << r.out;
  struct stat st;
  EXPECT_NE(0, lstat(link1.c_str(), &st));
  EXPECT_EQ("#!/bin/sh\n", read_file(home_ + "/admin/oscardb_DB1d"));  // the home's script itself stays
  const json left = listing("instance");
  ASSERT_EQ(1u, left["instances"].size());
  EXPECT_EQ("DB2", left["instances"][0]["name"]);
  const json accounts = json::parse(read_file(state_ + "/accounts.json"), nullptr, false);
  ASSERT_EQ(1u, accounts["accounts"].size());
  EXPECT_EQ("DB2", accounts["accounts"][0]["instance"]);
  // Its sets stay, and expire still reaches them by the instance's uuid.
  EXPECT_EQ((std::vector<std::string>{"A1", "A2"}), catalogued());
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A3", "full", "", 1700000300, 10));
  r = agent({"expire", uuids_["DB1"], "--keep-full", "1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(std::vector<std::string>{"A3"}, catalogued());

  r = agent({"instance", "remove", "DB2"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(contains(r.out, "start script")) << r.out;
  EXPECT_FALSE(contains(r.out, "remain")) << r.out;
  EXPECT_TRUE(contains(read_file(file2), "the machine's own"));

  r = agent({"instance", "remove", "DB2"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("oscar-agent: instance remove: unknown instance \"DB2\"\n", r.err);
  EXPECT_TRUE(r.out.empty());
}

TEST_F(AgentInventory, PoolListCountsTheCataloguedSetsAndTheirStoredSize) {
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A1", "full", "", 1700000100, 300));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB2", "p1", "B1", "full", "", 1700000150, 40));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p2", "A2", "incremental", "A1", 1700000200, 5));
  const json doc = listing("pool");
  ASSERT_TRUE(doc.is_object());
  ASSERT_EQ(2u, doc["pools"].size());
  EXPECT_EQ((json{{"name", "p1"},
                  {"uuid", uuids_["p1"]},
                  {"url", "file://" + (sandbox_ / "p1")},
                  {"sets", 2},
                  {"stored_bytes", 340}}),
            doc["pools"][0]);
  EXPECT_EQ(1, doc["pools"][1]["sets"]);
  EXPECT_EQ(5, doc["pools"][1]["stored_bytes"]);
  const Run_Result r = agent({"pool", "list"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "p1    " + uuids_["p1"])) << r.out;
  EXPECT_TRUE(contains(r.out, "  2     340\n")) << r.out;
}

TEST_F(AgentInventory, PoolRemoveIsRefusedWhileItHoldsSetsThenForcedRemovesThemChildrenFirst) {
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A1", "full", "", 1700000100, 30));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A2", "incremental", "A1", 1700000200, 20));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB2", "p1", "B1", "full", "", 1700000150, 40));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB2", "p2", "C1", "full", "", 1700000300, 7));

  Run_Result r = agent({"pool", "remove", "p1"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "oscar-agent: pool remove: pool p1 still holds 3 catalogued sets (--force removes them with their stored "
      "files)\n",
      r.err);
  EXPECT_EQ(4u, catalogued().size());
  EXPECT_EQ(2u, listing("pool")["pools"].size());

  r = agent({"pool", "remove", "p1", "--force"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_LT(r.out.find("removed A2"), r.out.find("removed A1")) << r.out;
  EXPECT_TRUE(contains(r.out, "removed 3 sets, freed 90 bytes\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "pool p1 removed")) << r.out;
  EXPECT_EQ(std::vector<std::string>{"C1"}, catalogued());
  const json pools = listing("pool");
  ASSERT_EQ(1u, pools["pools"].size());
  EXPECT_EQ("p2", pools["pools"][0]["name"]);
  // The pool's directory stays, emptied of the sets; the other pool is
  // untouched.
  struct stat st;
  EXPECT_EQ(0, stat((sandbox_ / "p1").c_str(), &st));
  EXPECT_TRUE(files_under(sandbox_ / "p1").empty());
  EXPECT_EQ(2u, files_under(sandbox_ / "p2").size()) << "its set and the set's manifest";

  r = agent({"pool", "remove", "p1"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("oscar-agent: pool remove: unknown pool \"p1\"\n", r.err);
}

TEST_F(AgentInventory, ForcedPoolRemovalKeepsThePoolWhenASetCannotGo) {
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A1", "full", "", 1700000100, 30));
  // An incremental in p2 rests on p1's full backup: it holds it.
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p2", "A2", "incremental", "A1", 1700000200, 20));
  const Run_Result r = agent({"pool", "remove", "p1", "--force"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "kept A1 (full of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "1 set that is kept rests on it")) << r.out;
  EXPECT_EQ("oscar-agent: pool remove: pool p1 is kept: 1 of its sets remain\n", r.err);
  EXPECT_EQ((std::vector<std::string>{"A1", "A2"}), catalogued());
  EXPECT_EQ(2u, listing("pool")["pools"].size());
  EXPECT_EQ(2u, files_under(sandbox_ / "p1").size()) << "A1 and its manifest";
}

}  // namespace
