// Retention: which sets a rule lets go (by their recorded chains), and
// oscar-agent expire run as a program over real backups of a simulated
// instance and over catalogued sets with damaged storage.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "agent/retention.h"
#include "host/base/job_mutex.h"
#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "host/catalog/set_manifest.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

using json = nlohmann::json;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A physical row as the catalogue lists it.
json phys(const std::string& id, const std::string& type, const std::string& on, long long start,
          const std::string& pool = "P1") {
  const std::string full = type == "full" ? id : on;
  return {{"backup_id", id},
          {"uuid", id},
          {"type", type},
          {"last_backup_id", type == "full" ? id : on},
          {"full_backup_uuid", full},
          {"last_full_backup_id", full},
          {"backup_start_time", start},
          {"pool_uuid", pool},
          {"resource_uuid", "R"}};
}

json exported(const std::string& id, long long start, const std::string& pool = "P1") {
  return {{"uuid", id}, {"backup_id", id}, {"type", "export"}, {"backup_start_time", start}, {"pool_uuid", pool}};
}

std::vector<std::string> ids_of(const std::vector<Catalogued_Set>& sets) {
  std::vector<std::string> out;
  for (const Catalogued_Set& s : sets) out.push_back(s.view + ":" + set_id(s));
  return out;
}

// Three chains: F1 with incrementals and a differential (resting on F1
// although recorded after I1b), F2 with one incremental, F3 with a
// differential.
json three_chains() {
  return json::array({phys("F1", "full", "", 100), phys("I1a", "incremental", "F1", 110),
                      phys("I1b", "incremental", "I1a", 120), phys("D1", "cumulative", "F1", 130),
                      phys("F2", "full", "", 200), phys("I2", "incremental", "F2", 210), phys("F3", "full", "", 300),
                      phys("D3", "cumulative", "F3", 310)});
}

TEST(RetentionRule, KeepsTheNewestFullsWithEverySetRestingOnThem) {
  Retention_Rule rule;
  rule.keep_full = 2;
  EXPECT_EQ((std::vector<std::string>{"oscar_brcmd:F1", "oscar_brcmd:I1a", "oscar_brcmd:I1b", "oscar_brcmd:D1"}),
            ids_of(expired_sets(three_chains(), json::array(), rule)));
  rule.keep_full = 1;
  EXPECT_EQ(6u, expired_sets(three_chains(), json::array(), rule).size());
  rule.keep_full = 3;
  EXPECT_TRUE(expired_sets(three_chains(), json::array(), rule).empty());
  rule.keep_full = 7;
  EXPECT_TRUE(expired_sets(three_chains(), json::array(), rule).empty());
}

TEST(RetentionRule, ChainsAreFollowedByTheirLinksNotByTime) {
  json rows = three_chains();
  // Recorded before F2 by a skewed clock, yet resting on F2: it stays with
  // F2's chain.
  rows.push_back(phys("I2x", "incremental", "I2", 150));
  // Resting on a set the catalogue no longer holds: no rule can place it.
  rows.push_back(phys("Iorphan", "incremental", "F0", 50));
  // On F1's chain but started after F2: a backup made on an old chain
  // while the rule runs is never taken.
  rows.push_back(phys("I1late", "incremental", "I1b", 250));
  Retention_Rule rule;
  rule.keep_full = 2;
  EXPECT_EQ((std::vector<std::string>{"oscar_brcmd:F1", "oscar_brcmd:I1a", "oscar_brcmd:I1b", "oscar_brcmd:D1"}),
            ids_of(expired_sets(rows, json::array(), rule)));
  rule.keep_full = 1;
  const std::vector<std::string> one = ids_of(expired_sets(rows, json::array(), rule));
  EXPECT_EQ(8u, one.size());
  EXPECT_NE(one.end(), std::find(one.begin(), one.end(), "oscar_brcmd:I2x"));
  EXPECT_NE(one.end(), std::find(one.begin(), one.end(), "oscar_brcmd:I1late"));
  EXPECT_EQ(one.end(), std::find(one.begin(), one.end(), "oscar_brcmd:Iorphan"));
}

TEST(RetentionRule, PoolNarrowsWhatCountsAndWhatGoes) {
  json rows = three_chains();
  rows[4] = phys("F2", "full", "", 200, "P2");  // F2 in the other pool, its incremental in P1
  Retention_Rule rule;
  rule.keep_full = 1;
  rule.pool_uuid = "P1";
  // Fulls of P1: F1 and F3; F2's chain is not the rule's to expire.
  EXPECT_EQ((std::vector<std::string>{"oscar_brcmd:F1", "oscar_brcmd:I1a", "oscar_brcmd:I1b", "oscar_brcmd:D1"}),
            ids_of(expired_sets(rows, json::array(), rule)));
  rule.pool_uuid = "P2";
  EXPECT_TRUE(expired_sets(rows, json::array(), rule).empty());
}

TEST(RetentionRule, ExportsGoOnlyWhenAskedNewestKept) {
  const json exports = json::array({exported("E1", 100), exported("E2", 200, "P2"), exported("E3", 300)});
  Retention_Rule rule;
  rule.keep_full = 1;
  EXPECT_TRUE(expired_sets(json::array(), exports, rule).empty());
  rule.expire_exports = true;
  rule.keep_export = 1;
  EXPECT_EQ((std::vector<std::string>{"oscar:E1", "oscar:E2"}), ids_of(expired_sets(json::array(), exports, rule)));
  rule.pool_uuid = "P1";
  EXPECT_EQ(std::vector<std::string>{"oscar:E1"}, ids_of(expired_sets(json::array(), exports, rule)));
  rule.keep_export = 3;
  EXPECT_EQ(6u, expired_sets(three_chains(), exports, rule).size());  // physical sets still go
  rule.keep_full = 3;
  EXPECT_TRUE(expired_sets(three_chains(), exports, rule).empty());
}

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

class AgentExpire : public ::testing::Test {
 protected:
  Run_Result agent(std::vector<std::string> args, int timeout_ms = 120000) {
    args.insert(args.begin(), agent_program());
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, {}, timeout_ms);
  }

  // Registers DB1 (home `home`) and pool p1; remembers the instance's
  // uuid and the pool's.
  void register_instance(const std::string& home, const std::string& password, bool running) {
    write_private_file(sandbox_ / "pw", password);
    std::vector<std::string> add = {"instance",        "add",          "DB1", "--home", home, "--user", "sysdba",
                                    "--password-file", sandbox_ / "pw"};
    if (!running) add.push_back("--no-check");
    Run_Result r = agent(add);
    ASSERT_EQ(0, r.status) << r.err;
    r = agent({"pool", "add", "p1", "--url", "file://" + pool_dir_});
    ASSERT_EQ(0, r.status) << r.err;
    const json inst = json::parse(read_file(state_ + "/instances.json"), nullptr, false);
    const json pools = json::parse(read_file(state_ + "/pools.json"), nullptr, false);
    ASSERT_TRUE(inst.is_object() && pools.is_object());
    resource_ = inst["instances"][0]["uuid"];
    pool_uuid_ = pools["pools"][0]["uuid"];
  }

  // Commits a physical set of DB1 and stores a file for it, as a backup
  // would leave them.
  void commit_set(const std::string& id, const std::string& type, const std::string& on, std::time_t start) {
    Oscar_Brcmd_Backup_Set set;
    set.type(Oscar_Brcmd_Backup_Set::KIND);
    set.uuid(id);
    set.backup_id(id);
    set.definition_uuid("5a1f3b52-0c0e-4b7e-9d55-0d8f4a8c1e01");
    set.host_uuid("0e6a4c1c-2f57-4a55-9a1b-6c0c3a1d9e02");
    set.resource_uuid(resource_);
    set.uri(resource_);
    set.backup_type(type);
    set.backup_file(id + ".bak");
    set.last_backup_id(type == "full" ? id : on);
    set.last_full_backup_id(type == "full" ? id : on);
    set.full_backup_uuid(type == "full" ? id : on);
    set.start_time(start);
    set.end_time(start + 5);
    set.backup_set_size(100);
    set.add_storage(Backup_Set_Storage(pool_uuid_, 100));
    set.add_piece(id + ".bak", 0);
    Catalog_Operator op;
    ASSERT_TRUE(op.commit(set)) << op.error();
    ASSERT_EQ(0, mkdir_all(pool_dir_ + "/" + resource_));
    ASSERT_TRUE(write_file(stored(id), std::string(100, 'x')));
  }

  static int mkdir_all(const std::string& dir) {
    const std::string cmd = "mkdir -p '" + dir + "'";
    return std::system(cmd.c_str());
  }

  std::string stored(const std::string& id) const { return pool_dir_ + "/" + resource_ + "/" + id + ".bak"; }

  // The ids of DB1's catalogued sets, oldest first.
  std::vector<std::string> catalogued() {
    const Run_Result r = agent({"catalog", "DB1", "--json"});
    const json rows = json::parse(r.out, nullptr, false).value("backups", json());
    std::vector<std::string> out;
    if (!rows.is_array()) return out;
    for (const json& row : rows) out.push_back(row.value("backup_id", std::string("?")));
    return out;
  }

  // Every stored file under the pool but the manifests, as paths relative
  // to it, sorted; `manifests` picks the manifests instead.
  std::set<std::string> pool_files(bool manifests = false) const {
    std::set<std::string> out;
    for (const std::string& f : files_under(pool_dir_))
      if (is_manifest_name(f) == manifests) out.insert(f.substr(pool_dir_.size() + 1));
    return out;
  }

  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  const std::string pool_dir_ = sandbox_ / "pool";
  std::string resource_, pool_uuid_;
};

// The stored files a listing's rows name, relative to the pool.
std::set<std::string> files_named(const json& rows) {
  std::set<std::string> out;
  for (const json& row : rows)
    for (const json& file : row["files"]) out.insert(file.get<std::string>());
  return out;
}

// Real backups: three chains (full with incremental and differential,
// full with two incrementals, full with a differential) and three export
// sets. A dry run changes nothing; expire then removes exactly the oldest
// chain and the older exports, files and rows, children first; the newest
// point and a point of the older kept chain still restore.
TEST_F(AgentExpire, RemovesWholeOlderChainsOfRealBackupsAndKeepsTheRestRestorable) {
  Sim_Instance home(sandbox_ / "home", "DB1", "sysdba", "Ret-pass-51a");
  ASSERT_TRUE(home.start());
  ASSERT_NO_FATAL_FAILURE(register_instance(home.root(), home.password(), true));
  ASSERT_EQ(0, home.admin("create-table", {"SALES.ITEMS", "--rows", "40"}).status);

  std::vector<std::string> checksums;  // the data at each physical backup
  auto backup = [&](const char* type) {
    ASSERT_EQ(0, home.admin("touch").status);
    const Run_Result r = agent({"backup", "DB1", "--type", type, "--pool", "p1", "--timeout", "120"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    checksums.push_back(home.checksum());
  };
  auto export_items = [&]() {
    const Run_Result r = agent({"export", "DB1", "--entries", "DB1/SALES/ITEMS", "--pool", "p1", "--timeout", "120"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
  };
  for (const char* type : {"full", "incr", "diff"}) ASSERT_NO_FATAL_FAILURE(backup(type));
  ASSERT_NO_FATAL_FAILURE(export_items());
  for (const char* type : {"full", "incr", "incr"}) ASSERT_NO_FATAL_FAILURE(backup(type));
  ASSERT_NO_FATAL_FAILURE(export_items());
  for (const char* type : {"full", "diff"}) ASSERT_NO_FATAL_FAILURE(backup(type));
  ASSERT_NO_FATAL_FAILURE(export_items());

  Run_Result r = agent({"catalog", "DB1", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  const json before = json::parse(r.out, nullptr, false).value("backups", json());
  ASSERT_TRUE(before.is_array());
  ASSERT_EQ(11u, before.size());
  json physical = json::array(), exports = json::array();
  for (const json& row : before) (row["type"] == "export" ? exports : physical).push_back(row);
  ASSERT_EQ(8u, physical.size());
  ASSERT_EQ(3u, exports.size());
  const std::set<std::string> files_before = pool_files();
  ASSERT_EQ(files_named(before), files_before);
  const std::string catalogue_before = r.out;
  auto id = [&](std::size_t i) { return physical[i]["backup_id"].get<std::string>(); };

  r = agent({"expire", "DB1", "--keep-full", "2", "--keep-export", "1", "--dry-run"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "would remove " + id(0) + " (full of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "would remove 5 sets, freeing ")) << r.out;
  EXPECT_FALSE(contains(r.out, "removed ")) << r.out;
  EXPECT_EQ(catalogue_before, agent({"catalog", "DB1", "--json"}).out);
  EXPECT_EQ(files_before, pool_files());

  r = agent({"expire", "DB1", "--keep-full", "2", "--keep-export", "1", "--json"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const json report = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(report.is_object()) << r.out;
  EXPECT_EQ(5u, report["removed"]);
  EXPECT_EQ(false, report["dry_run"]);
  std::vector<std::string> removed;
  unsigned long long freed = 0;
  for (const json& s : report["sets"]) {
    EXPECT_EQ("removed", s["status"]) << s.dump();
    removed.push_back(s["backup_id"]);
    freed += s["freed_bytes"].get<unsigned long long>();
  }
  EXPECT_EQ(freed, report["freed_bytes"]);
  EXPECT_GT(freed, 0u);
  EXPECT_EQ((std::set<std::string>{id(0), id(1), id(2), exports[0]["backup_id"], exports[1]["backup_id"]}),
            std::set<std::string>(removed.begin(), removed.end()));
  // Children before their full backup.
  auto at = [&](const std::string& x) { return std::find(removed.begin(), removed.end(), x) - removed.begin(); };
  EXPECT_LT(at(id(1)), at(id(0))) << r.out;
  EXPECT_LT(at(id(2)), at(id(0))) << r.out;

  r = agent({"catalog", "DB1", "--json"});
  const json after = json::parse(r.out, nullptr, false).value("backups", json());
  ASSERT_TRUE(after.is_array()) << r.out;
  std::vector<std::string> left;
  for (const json& row : after) left.push_back(row["backup_id"]);
  EXPECT_EQ((std::vector<std::string>{id(3), id(4), id(5), id(6), id(7), exports[2]["backup_id"]}), left);
  EXPECT_EQ(files_named(after), pool_files());
  EXPECT_EQ(after.size(), pool_files(true).size()) << "a manifest per kept set, none of a removed one";

  // The newest point, then a point of the older kept chain.
  ASSERT_EQ(0, home.admin("touch").status);
  r = agent({"restore", "DB1", "--force", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(checksums[7], home.checksum());
  r = agent({"restore", "DB1", "--force", "--point", id(5), "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(checksums[5], home.checksum());

  // Nothing more to do at the same rule.
  r = agent({"expire", "DB1", "--keep-full", "2", "--keep-export", "1"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("removed 0 sets, freed 0 B\n", r.out);
}

TEST_F(AgentExpire, MissingFileDoesNotHoldItsRowAndAnUnremovableOneKeepsItsChain) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  ASSERT_NO_FATAL_FAILURE(register_instance(sandbox_ / "home", "pw", false));
  ASSERT_NO_FATAL_FAILURE(commit_set("F1", "full", "", 1700000100));
  ASSERT_NO_FATAL_FAILURE(commit_set("I1", "incremental", "F1", 1700000110));
  ASSERT_NO_FATAL_FAILURE(commit_set("I1b", "incremental", "I1", 1700000120));
  ASSERT_NO_FATAL_FAILURE(commit_set("F2", "full", "", 1700000200));
  ASSERT_NO_FATAL_FAILURE(commit_set("I2", "incremental", "F2", 1700000210));
  ASSERT_NO_FATAL_FAILURE(commit_set("F3", "full", "", 1700000300));
  ASSERT_EQ(0, ::unlink(stored("I1").c_str()));
  // A directory where F2's file was: no one, root included, unlinks it.
  ASSERT_EQ(0, ::unlink(stored("F2").c_str()));
  ASSERT_EQ(0, ::mkdir(stored("F2").c_str(), 0700));

  Run_Result r = agent({"expire", "DB1", "--keep-full", "1"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_EQ("oscar-agent: expire: 1 set could not be removed\n", r.err);
  EXPECT_TRUE(contains(r.out, "removed I1 (incremental of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "its stored file " + stored("I1") + " was already missing")) << r.out;
  EXPECT_TRUE(contains(r.out, "kept F2 (full of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "cannot remove storage file " + stored("F2") + ": it is a directory")) << r.out;
  EXPECT_TRUE(contains(r.out, "kept I2 (incremental of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "it rests on F2, which is kept")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nremoved 3 sets, freed 200 B\n")) << r.out;
  EXPECT_LT(r.out.find("removed I1b"), r.out.find("removed I1 "));
  EXPECT_LT(r.out.find("removed I1 "), r.out.find("removed F1"));
  EXPECT_EQ((std::vector<std::string>{"F2", "I2", "F3"}), catalogued());
  EXPECT_EQ((std::set<std::string>{resource_ + "/I2.bak", resource_ + "/F3.bak"}), pool_files());

  // Once the file can go, the rest of that chain goes too, children first.
  ASSERT_EQ(0, ::rmdir(stored("F2").c_str()));
  ASSERT_TRUE(write_file(stored("F2"), "x"));
  r = agent({"expire", "DB1", "--keep-full", "1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_LT(r.out.find("removed I2"), r.out.find("removed F2"));
  EXPECT_EQ(std::vector<std::string>{"F3"}, catalogued());
  EXPECT_EQ(std::set<std::string>{resource_ + "/F3.bak"}, pool_files());
}

TEST_F(AgentExpire, SetNewerThanTheKeptFullsHoldsItsChain) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  ASSERT_NO_FATAL_FAILURE(register_instance(sandbox_ / "home", "pw", false));
  ASSERT_NO_FATAL_FAILURE(commit_set("F1", "full", "", 1700000100));
  ASSERT_NO_FATAL_FAILURE(commit_set("I1", "incremental", "F1", 1700000110));
  ASSERT_NO_FATAL_FAILURE(commit_set("F2", "full", "", 1700000200));
  // Made on F1's chain after F2: a backup that ran while the catalogue
  // moved on. It and what it rests on stay.
  ASSERT_NO_FATAL_FAILURE(commit_set("I1late", "incremental", "I1", 1700000300));
  const Run_Result r = agent({"expire", "DB1", "--keep-full", "1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "kept I1 (incremental of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "1 set that is kept rests on it")) << r.out;
  EXPECT_TRUE(contains(r.out, "kept F1 (full of ")) << r.out;
  EXPECT_TRUE(contains(r.out, "removed 0 sets")) << r.out;
  EXPECT_EQ((std::vector<std::string>{"F1", "I1", "F2", "I1late"}), catalogued());
  EXPECT_EQ(4u, pool_files().size());
}

TEST_F(AgentExpire, WaitsForTheInstancesJobsAndRemovesNothingWhenTheyDoNotEnd) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  ASSERT_NO_FATAL_FAILURE(register_instance(sandbox_ / "home", "pw", false));
  ASSERT_NO_FATAL_FAILURE(commit_set("F1", "full", "", 1700000100));
  ASSERT_NO_FATAL_FAILURE(commit_set("F2", "full", "", 1700000200));
  {
    // Held as a backup of the instance holds it.
    const Job_Lock job(resource_, "backup of DB1", ACE_Time_Value(5));
    ASSERT_TRUE(job.locked()) << job.error();
    const Run_Result r = agent({"expire", "DB1", "--keep-full", "1", "--timeout", "1"});
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "oscar-agent: expire: a job is using the backups of " + resource_)) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ((std::vector<std::string>{"F1", "F2"}), catalogued());
  }
  const Run_Result r = agent({"expire", "DB1", "--keep-full", "1", "--timeout", "1"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(std::vector<std::string>{"F2"}, catalogued());
}

TEST_F(AgentExpire, RefusesKeepingNoFullBackupAndOtherBadArguments) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  ASSERT_NO_FATAL_FAILURE(register_instance(sandbox_ / "home", "pw", false));
  ASSERT_NO_FATAL_FAILURE(commit_set("F1", "full", "", 1700000100));
  ASSERT_NO_FATAL_FAILURE(commit_set("F2", "full", "", 1700000200));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"expire", "DB1", "--keep-full", "0"}, 2, "--keep-full must be at least 1 for a registered instance"},
      {{"expire", "DB1", "--keep-full", "-1"}, 2, "--keep-full must be a count"},
      {{"expire", "DB1", "--keep-full", "2x"}, 2, "--keep-full must be a count"},
      {{"expire", "DB1"}, 2, "--keep-full is required"},
      {{"expire", "DB1", "--keep-full", "1", "--keep-export", "0"}, 2, "--keep-export must be at least 1"},
      {{"expire", "--keep-full", "1"}, 2, "expire: name either an instance or --instance-uuid UUID"},
      {{"expire", "--instance-uuid", "0e6a4c1c", "--keep-full", "1"},
       1,
       "the catalogue holds no sets of instance uuid"},
      {{"expire", "DB1", "--keep-full", "1", "--timeout", "0"}, 2, "--timeout must be"},
      {{"expire", "NOPE", "--keep-full", "1"}, 1, "expire: unknown instance \"NOPE\""},
      {{"expire", "DB1", "--keep-full", "1", "--pool", "p9"}, 1, "unknown pool \"p9\""},
  };
  for (const Case& c : cases) {
    const Run_Result r = agent(c.args);
    EXPECT_EQ(c.status, r.status) << c.message << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  }
  EXPECT_EQ((std::vector<std::string>{"F1", "F2"}), catalogued());
  EXPECT_EQ(2u, pool_files().size());
}

}  // namespace
