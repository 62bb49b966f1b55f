// oscar-agent's listing and removal of registered instances and pools, run
// as a program on catalogued sets with their stored files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "host/catalog/set_manifest.h"
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

  // Sets a file's modification time `seconds` into the past.
  static void age(const std::string& path, long seconds) {
    const struct timespec when[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), when, 0)) << path;
  }

  // Stores a file of `size` bytes at `rel` below the sandbox, aged `seconds`.
  void leave(const std::string& rel, std::size_t size, long seconds) {
    const std::string path = sandbox_ / rel;
    ASSERT_EQ(0, std::system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str()));
    ASSERT_TRUE(write_file(path, std::string(size, 'o')));
    ASSERT_NO_FATAL_FAILURE(age(path, seconds));
  }

  std::vector<std::string> pool_files(const std::string& pool) {
    std::vector<std::string> files = files_under(sandbox_ / pool);
    std::sort(files.begin(), files.end());
    return files;
  }

  json listing(const char* what) {
    const Run_Result r = agent({what, "list", "--json"});
    EXPECT_EQ(0, r.status) << r.err;
    return json::parse(r.out, nullptr, false);
  }

  // The ids of every catalogued set, those of removed instances included.
  std::vector<std::string> catalogued() {
    const Run_Result r = agent({"catalog", "--all", "--json"});
    const json rows = json::parse(r.out, nullptr, false).value("backups", json());
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
  ASSERT_EQ(0, agent({"instance", "set", "DB1", "--home", home_, "--no-check"}).status);
  const std::string link1 = state_ + "/root/etc/init.d/oscardb_DB1d";
  const std::string file2 = state_ + "/root/etc/init.d/oscardb_DB2d";
  ASSERT_TRUE(write_file(file2, "#!/bin/sh\n# the machine's own\n"));

  Run_Result r = agent({"instance", "remove", "DB1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "instance DB1 removed")) << r.out;
  EXPECT_TRUE(contains(r.out, "start script link " + link1 + " removed")) << r.out;
  const std::string uuid = uuids_["DB1"];
  const std::string advice = "2 catalogued sets of DB1 remain: oscar-agent catalog --all " + uuid + " --state " +
                             state_ + " lists them, oscar-agent expire --instance-uuid " + uuid +
                             " --keep-full 0 --keep-export 0 --state " + state_ + " removes them\n";
  EXPECT_TRUE(contains(r.out, advice)) << r.out;
  struct stat st;
  EXPECT_NE(0, lstat(link1.c_str(), &st));
  EXPECT_EQ("#!/bin/sh\n", read_file(home_ + "/admin/oscardb_DB1d"));  // the home's script itself stays
  const json left = listing("instance");
  ASSERT_EQ(1u, left["instances"].size());
  EXPECT_EQ("DB2", left["instances"][0]["name"]);
  const json accounts = json::parse(read_file(state_ + "/accounts.json"), nullptr, false);
  ASSERT_EQ(1u, accounts["accounts"].size());
  EXPECT_EQ("DB2", accounts["accounts"][0]["instance"]);
  // Its sets stay: listed with --all (by its uuid), reached by expire and
  // catalog remove, and the advice's command removes what is left.
  EXPECT_EQ((std::vector<std::string>{"A1", "A2"}), catalogued());
  EXPECT_TRUE(json::parse(agent({"catalog", "--json"}).out, nullptr, false)["backups"].empty());
  r = agent({"catalog", uuid});
  EXPECT_EQ("oscar-agent: catalog: " + uuid + " is a removed instance; catalog --all " + uuid + " lists its sets\n",
            r.err);
  r = agent({"catalog", "--all", uuid, "--json"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(2u, json::parse(r.out, nullptr, false)["backups"].size()) << r.out;
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A3", "full", "", 1700000300, 10));
  r = agent({"expire", uuid, "--keep-full", "1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(std::vector<std::string>{"A3"}, catalogued());
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A4", "incremental", "A3", 1700000400, 10));
  r = agent({"catalog", "remove", "A3"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out, "kept A3 (full of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "1 set that is kept rests on it")) << r.out;
  EXPECT_EQ("oscar-agent: catalog remove: 1 set was kept (see the lines above)\n", r.err);
  r = agent({"catalog", "remove", "A4", "NOPE"});
  EXPECT_EQ("oscar-agent: catalog remove: the catalogue holds no set NOPE (catalog --all lists them)\n", r.err);
  r = agent({"catalog", "remove", "A4", "--dry-run"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "would remove 1 set, freeing 10 B")) << r.out;
  EXPECT_EQ((std::vector<std::string>{"A3", "A4"}), catalogued());
  EXPECT_EQ(2, agent({"expire", "--instance-uuid", uuid, "DB2", "--keep-full", "1"}).status);
  r = agent({"expire", "--instance-uuid", uuids_["DB2"], "--keep-full", "0"});
  EXPECT_EQ(2, r.status);
  EXPECT_TRUE(contains(r.err, "--keep-full must be at least 1 for a registered instance")) << r.err;
  const std::string command = advice.substr(advice.find(", oscar-agent expire") + 2);
  std::vector<std::string> words = {agent_program()};
  std::istringstream split(command.substr(12, command.find(" removes them") - 12));
  for (std::string w; split >> w;) words.push_back(w);
  r = run_program(words, {}, 60000);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(catalogued().empty());

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
                  {"size_stored", 340}}),
            doc["pools"][0]);
  EXPECT_EQ(1, doc["pools"][1]["sets"]);
  EXPECT_EQ(5, doc["pools"][1]["size_stored"]);
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
  EXPECT_TRUE(contains(r.out, "removed 3 sets, freed 90 B\n")) << r.out;
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

// What a crash or a stopped removal leaves in p1, beside two whole sets
// (A1 with its manifest, L1 catalogued before sets had manifests), all of
// it two days old unless said otherwise.
class AgentPoolClean : public AgentInventory {
 protected:
  void SetUp() override {
    AgentInventory::SetUp();
    if (HasFatalFailure()) return;
    const std::string db1 = "p1/" + uuids_["DB1"] + "/", db2 = "p1/" + uuids_["DB2"] + "/";
    ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A1", "full", "", 1700000100, 30));
    ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "L1", "full", "", 1700000150, 20));
    ASSERT_EQ(0, ::unlink((sandbox_ / (db1 + manifest_name("L1"))).c_str()));
    // B1's removal stopped after its row and its file: only its manifest is left.
    ASSERT_NO_FATAL_FAILURE(commit_set("DB2", "p1", "B1", "full", "", 1700000200, 40));
    Catalog_Operator op;
    ASSERT_EQ(1, op.remove("oscar_brcmd", "B1")) << op.error();
    ASSERT_EQ(0, ::unlink((sandbox_ / (db2 + "B1.bak")).c_str()));
    for (const std::string& f : files_under(sandbox_ / "p1")) ASSERT_NO_FATAL_FAILURE(age(f, 2 * 86400));
    // A file nothing describes (a crash between a set's file and its manifest,
    // or a removal that stopped after the manifest); a dead writer's file.
    ASSERT_NO_FATAL_FAILURE(leave(db1 + "X1.bak", 7, 2 * 86400));
    ASSERT_NO_FATAL_FAILURE(leave(db1 + ".X2.bak.a1B2c3", 5, 2 * 86400));
    // A set being written right now, its manifest not yet stored.
    ASSERT_NO_FATAL_FAILURE(leave(db1 + "Y1.bak", 3, 60));
    // Another host's export folder with an orphan of its own.
    ASSERT_NO_FATAL_FAILURE(leave("p1/" + OTHER_HOST + "/d1/_9_0.mtf", 9, 2 * 86400));
  }

  const std::string OTHER_HOST = "7d1f0c55-8a43-4a3e-b7f2-2b91c0d4e5a6";
};

TEST_F(AgentPoolClean, DryRunNamesExactlyTheOldLeftoversOfThisHostAndChangesNothing) {
  const std::vector<std::string> before = pool_files("p1");
  const Run_Result r = agent({"pool", "clean", "p1", "--dry-run"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const std::string db1 = uuids_["DB1"] + "/", db2 = uuids_["DB2"] + "/";
  struct stat manifest;
  ASSERT_EQ(0, ::stat((sandbox_ / ("p1/" + db2 + manifest_name("B1"))).c_str(), &manifest));
  EXPECT_EQ("would remove p1:" + db1 + ".X2.bak.a1B2c3 (temporary file of a dead writer, 5 bytes)\n" +
                "would remove p1:" + db1 + "X1.bak (orphan set file, 7 bytes)\n" + "would remove p1:" + db2 +
                manifest_name("B1") + " (manifest of a set that is gone, " + std::to_string(manifest.st_size) +
                " bytes)\n" + "clean p1 (dry run): 3 would be removed (" + std::to_string(12 + manifest.st_size) +
                " bytes), 0 failed, 1 younger than 1d left, 0 beside unreadable manifests left\n",
            r.out);
  EXPECT_EQ(before, pool_files("p1"));
  const json doc = json::parse(agent({"pool", "clean", "p1", "--dry-run", "--json"}).out, nullptr, false);
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(3, doc["removed"]);
  EXPECT_EQ(1, doc["young_left"]);
  EXPECT_EQ(true, doc["uploads_listed"]) << "a file pool keeps no uploads apart";
  EXPECT_EQ(before, pool_files("p1"));
  // Under a second name of the same URL, L1's row still names its file.
  ASSERT_EQ(0, agent({"pool", "add", "p1b", "--url", "file://" + (sandbox_ / "p1") + "/"}).status);
  const Run_Result again = agent({"pool", "clean", "p1b", "--dry-run", "--older-than", "0"});
  EXPECT_TRUE(contains(again.out, "clean p1b (dry run): 4 would be removed")) << again.out;
  EXPECT_FALSE(contains(again.out, "L1.bak")) << again.out;
}

TEST_F(AgentPoolClean, RemovesOnlyWhatNoRecordDescribesAndNothingYoung) {
  const std::string p1 = sandbox_ / "p1/", db1 = p1 + uuids_["DB1"] + "/";
  Run_Result r = agent({"pool", "clean", "p1"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "clean p1: 3 removed")) << r.out;
  EXPECT_TRUE(contains(r.out, ", 0 failed, 1 younger than 1d left")) << r.out;
  std::vector<std::string> left = {p1 + OTHER_HOST + "/d1/_9_0.mtf", db1 + "A1.bak", db1 + manifest_name("A1"),
                                   db1 + "L1.bak", db1 + "Y1.bak"};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, pool_files("p1"));
  EXPECT_EQ((std::vector<std::string>{"A1", "L1"}), catalogued());

  r = agent({"pool", "clean", "p1", "--older-than", "2h"});
  EXPECT_TRUE(contains(r.out, "clean p1: 0 removed (0 bytes), 0 failed, 1 younger than 2h left")) << r.out;
  r = agent({"pool", "clean", "p1", "--from-host", OTHER_HOST, "--older-than", "0"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "removed p1:" + OTHER_HOST + "/d1/_9_0.mtf (orphan set file, 9 bytes)\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "clean p1: 2 removed (12 bytes)")) << r.out;
  EXPECT_EQ((std::vector<std::string>{db1 + "A1.bak", db1 + manifest_name("A1"), db1 + "L1.bak"}), pool_files("p1"));
}

TEST_F(AgentPoolClean, RefusesAGraceTimeItCannotRead) {
  for (const char* bad : {"1w", "-1d", "10", "1.5h", "999999999d"}) {
    const Run_Result r = agent({"pool", "clean", "p1", "--older-than", bad});
    EXPECT_EQ(2, r.status) << bad;
    EXPECT_TRUE(contains(r.err, "--older-than takes a time like 30s, 15m, 2h, 1d or 0")) << r.err;
  }
  EXPECT_EQ(8u, pool_files("p1").size());
}

TEST_F(AgentInventory, PoolAddOfAUrlThatHoldsSetsCountsThemByInstanceAndHost) {
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A1", "full", "", 1700000100, 30));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB1", "p1", "A2", "incremental", "A1", 1700000200, 20));
  ASSERT_NO_FATAL_FAILURE(commit_set("DB2", "p1", "B1", "full", "", 1700000150, 40));
  char host[256] = {};
  ASSERT_EQ(0, ::gethostname(host, sizeof host - 1));
  Run_Result r = agent({"pool", "add", "p3", "--url", "file://" + (sandbox_ / "p1")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "pool p3 holds 2 sets of DB1 (host " + std::string(host) + "), 1 set of DB2 (host " +
                                  host + "): catalog rebuild adopts them (those of other hosts with --from-host)\n"))
      << r.out;
  r = agent({"pool", "add", "p4", "--url", "file://" + (sandbox_ / "p2")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(contains(r.out, "holds")) << r.out;
}

}  // namespace
