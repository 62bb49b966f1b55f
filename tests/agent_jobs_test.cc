// oscar-agent run as a program: the catalogue listing, restore points,
// loading the module and running jobs through it, and (with the physical
// executors in the module) a backup and restore round trip of a simulated
// instance.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/catalog/backup_set.h"
#include "host/catalog/catalog_operator.h"
#include "tests/support/catalogue_records.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

std::string agent_program() { return OSCAR_BUILD_DIR "/agent/oscar-agent"; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class AgentJobs : public ::testing::Test {
 protected:
  Run_Result agent(std::vector<std::string> args, const std::vector<std::string>& env = {}, int timeout_ms = 120000) {
    args.insert(args.begin(), agent_program());
    args.push_back("--state");
    args.push_back(state_);
    return run_program(args, env, timeout_ms);
  }

  // Registers instance DB1 (home `home`) and pool p1; answers the
  // instance's uuid, the resource id of its backups. The login is tested
  // only when the home's server runs (`running`).
  std::string register_instance(const std::string& home, const std::string& password, bool running = false) {
    write_private_file(sandbox_ / "pw", password);
    std::vector<std::string> add = {"instance",        "add",          "DB1", "--home", home, "--user", "sysdba",
                                    "--password-file", sandbox_ / "pw"};
    if (!running) add.push_back("--no-check");
    Run_Result r = agent(add);
    EXPECT_EQ(0, r.status) << r.err;
    r = agent({"pool", "add", "p1", "--url", "file://" + sandbox_.path() + "/pool"});
    EXPECT_EQ(0, r.status) << r.err;
    nlohmann::json inst = nlohmann::json::parse(read_file(state_ + "/instances.json"), nullptr, false);
    nlohmann::json pools = nlohmann::json::parse(read_file(state_ + "/pools.json"), nullptr, false);
    if (!inst.is_object() || !pools.is_object()) return std::string();
    pool_uuid_ = pools["pools"][0]["uuid"];
    return inst["instances"][0]["uuid"];
  }

  // Commits a physical backup set of `resource` straight into the
  // catalogue, as the backup job would.
  void commit_set(const std::string& resource, const std::string& id, const std::string& type, const std::string& last,
                  const std::string& full, std::time_t start) {
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
    set.last_backup_id(last);
    set.last_full_backup_id(full);
    set.full_backup_uuid(full);
    set.start_time(start);
    set.end_time(start + 5);
    set.backup_set_size(4096);
    set.add_storage(Backup_Set_Storage(pool_uuid_, 4096));
    set.add_piece(id + ".bak", 0);
    Catalog_Operator op;
    ASSERT_TRUE(op.commit(set)) << op.error();
  }

  // The agent program and the catalogue writes of the test share one state
  // directory.
  Test_Sandbox sandbox_;
  const std::string state_ = sandbox_.state_dir();
  std::string pool_uuid_;
};

TEST_F(AgentJobs, CatalogListsTheSetsOfOneInstanceWithTheirChain) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  const std::string resource = register_instance(sandbox_ / "home", "pw");
  ASSERT_FALSE(resource.empty());
  Run_Result r = agent({"catalog", "DB1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "ID")) << r.out;
  EXPECT_TRUE(contains(r.out, "CHAIN")) << r.out;

  commit_set(resource, "B100", "full", "B100", "B100", 1700000000);
  commit_set(resource, "B101", "incremental", "B100", "B100", 1700000100);
  commit_set(resource, "B102", "cumulative", "B101", "B100", 1700000200);
  commit_set("7d0c9a2e-6a55-4c1f-8a1e-2b3c4d5e6f70", "X900", "full", "X900", "X900", 1700000300);

  r = agent({"catalog", "DB1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "B100  DB1       full")) << r.out;
  EXPECT_TRUE(contains(r.out, "incremental")) << r.out;
  EXPECT_TRUE(contains(r.out, "on B100")) << r.out;    // an incremental rests on the set before it
  EXPECT_TRUE(contains(r.out, "full B100")) << r.out;  // a differential on its full backup
  EXPECT_TRUE(contains(r.out, "p1")) << r.out;         // the pool by its name
  EXPECT_TRUE(contains(r.out, "4.0 KiB")) << r.out;
  EXPECT_TRUE(contains(agent({"catalog", "DB1", "--bytes"}).out, "  4096  4096  ")) << r.out;
  EXPECT_FALSE(contains(r.out, "X900")) << r.out;     // another resource's set
  EXPECT_LT(r.out.find("B100"), r.out.find("B102"));  // oldest first

  // Every registered instance's sets; with --all also those of X900's
  // instance, which is registered nowhere here.
  for (const bool all : {false, true}) {
    r = agent(all ? std::vector<std::string>{"catalog", "--json", "--all"}
                  : std::vector<std::string>{"catalog", "--json"});
    ASSERT_EQ(0, r.status) << r.err;
    nlohmann::json rows = nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
    ASSERT_TRUE(rows.is_array()) << r.out;
    ASSERT_EQ(all ? 4u : 3u, rows.size());
    EXPECT_EQ("B101", rows[1]["backup_id"]);
    EXPECT_EQ("B100", rows[1]["chain"]);
    EXPECT_EQ("DB1", rows[1]["instance"]);
    if (all) {
      EXPECT_EQ(nullptr, rows[3]["instance"]);  // a set whose instance is not registered
      EXPECT_EQ("7d0c9a2e-6a55-4c1f-8a1e-2b3c4d5e6f70", rows[3]["instance_uuid"]);
    }
  }
}

// status judges an instance by its newest catalogued backup: none (never),
// older than max-age (old; 26 hours unless the configuration says
// otherwise), else ok; the exit status is 1 unless every instance is ok.
TEST_F(AgentJobs, StatusJudgesTheAgeOfTheNewestBackup) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  const std::string resource = register_instance(sandbox_ / "home", "pw");
  ASSERT_FALSE(resource.empty());
  Run_Result r = agent({"status", "DB1"});
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_EQ("DB1: never; no backup\n", r.out);

  commit_set(resource, "B100", "full", "B100", "B100", 1700000000);
  commit_set(resource, "B101", "incremental", "B100", "B100", 1700000100);
  r = agent({"status"});
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("DB1: old; last full ")) << r.out;
  EXPECT_TRUE(contains(r.out, "; last backup incremental ")) << r.out;
  EXPECT_TRUE(contains(r.out, "; chain 1; stored p1 8.0 KiB\n")) << r.out;
  EXPECT_TRUE(contains(agent({"status", "--bytes"}).out, "; stored p1 8192\n"));

  const std::time_t now = std::time(nullptr);
  commit_set(resource, "B102", "cumulative", "B101", "B100", now - 65);
  r = agent({"status", "--json"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  const nlohmann::json status = nlohmann::json::parse(r.out, nullptr, false)["instances"][0];
  EXPECT_EQ("ok", status["verdict"]) << r.out;
  EXPECT_EQ(2, status["chain_length"]) << r.out;
  EXPECT_EQ("B102", status["last_backup"]["backup_id"]) << r.out;
  EXPECT_NEAR(60, status["last_backup"]["age_seconds"].get<double>(), 5) << r.out;
  EXPECT_EQ(26 * 3600, status["max_age_seconds"]) << r.out;
  EXPECT_EQ(nullptr, status["next_run"]) << "no systemd timers here: " << r.out;

  // An instance's own max-age counts before the top level's.
  ASSERT_TRUE(write_file(sandbox_ / "agent.conf", "max-age = \"1d\"\n[instances.DB1]\nmax-age = \"30s\"\n"));
  r = agent({"status", "--config", sandbox_ / "agent.conf"});
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("DB1: old; ")) << r.out;

  r = agent({"status", "DB9"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("oscar-agent: status: unknown instance \"DB9\"\n", r.err);
}

TEST_F(AgentJobs, UnknownInstancePoolOrPointFailsClearly) {
  ASSERT_EQ(0, mkdir((sandbox_ / "home").c_str(), 0755));
  const std::string resource = register_instance(sandbox_ / "home", "pw");
  Run_Result r = agent({"catalog", "NOPE"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "unknown instance \"NOPE\"")) << r.err;

  r = agent({"backup", "NOPE", "--type", "full", "--pool", "p1"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "unknown instance \"NOPE\"")) << r.err;

  r = agent({"backup", "DB1", "--type", "full", "--pool", "p9"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "unknown pool \"p9\"")) << r.err;

  r = agent({"restore", "DB1", "--force"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "holds no backup of this instance")) << r.err;

  // --as starts with the instance: one that names none says what it takes.
  r = agent({"import", "DB1", "--point", "E1", "--as", "SALES/ITEMS3"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "oscar-agent: import: --as SALES/ITEMS3 names no registered instance SALES (--as takes "
      "INSTANCE[/SCHEMA[/TABLE]]; DB1/SALES/ITEMS3 imports into DB1)\n",
      r.err);
  r = agent({"import", "DB1", "--point", "E1", "--as", "DB9/SALES/ITEMS3"});
  EXPECT_EQ(
      "oscar-agent: import: --as DB9/SALES/ITEMS3 names no registered instance DB9 (--as takes "
      "INSTANCE[/SCHEMA[/TABLE]])\n",
      r.err);

  commit_set(resource, "B100", "full", "B100", "B100", 1700000000);
  r = agent({"restore", "DB1", "--force", "--point", "B999"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "holds no backup B999")) << r.err;
}

TEST_F(AgentJobs, ModuleThatCannotBeLoadedFailsBeforeAnyJob) {
  const std::string def = sandbox_ / "def.json";
  write_file(def, R"({"id": "d1", "type": "standby"})");
  Run_Result r = agent({"run", def, "--module", sandbox_ / "missing.so"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "cannot load module")) << r.err;

  r = agent({"run", def}, {"OSCAR_MODULE=" + sandbox_ / "missing.so"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "missing.so")) << r.err;

  // A library that is not the module lacks the factories.
  r = agent({"run", def, "--module", OSCAR_BUILD_DIR "/host/libhost.so"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "does not export _make_Oscar_Job_Creator")) << r.err;
}

TEST_F(AgentJobs, RunReportsDefinitionsTheModuleDoesNotTakeOrCannotParse) {
  const std::string def = sandbox_ / "def.json";
  write_file(def, R"({"id": "d1", "type": "standby"})");
  Run_Result r = agent({"run", def, "--module", OSCAR_MODULE_PATH});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "the module made no job for this standby")) << r.err;

  write_file(def, R"({"id": "d1", "type": "backup", "subtype": "full", "source": {"name": "x"}})");
  r = agent({"run", def, "--module", OSCAR_MODULE_PATH});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "invalid job definition")) << r.err;

  write_file(def, "[1, 2]");
  r = agent({"run", def, "--module", OSCAR_MODULE_PATH});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "is not a job definition")) << r.err;

  r = agent({"run", sandbox_ / "absent.json", "--module", OSCAR_MODULE_PATH});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "cannot read")) << r.err;
}

// Full, incremental and differential backups, then a restore of the newest
// one after a further change: the data files are those of the last backup.
TEST_F(AgentJobs, BackupChainAndRestoreRoundTrip) {
  Sim_Instance home(sandbox_ / "home", "DB1", "sysdba", "Rt-pass-4e2");
  ASSERT_TRUE(home.start());
  const std::string resource = register_instance(home.root(), home.password(), true);
  ASSERT_FALSE(resource.empty());

  std::string printed;  // everything the agent printed
  Run_Result r = agent({"backup", "DB1", "--type", "full", "--pool", "p1", "--timeout", "120"});
  if (r.status != 0 && contains(r.err, "the module made no job"))
    GTEST_SKIP() << "the module has no physical backup job yet";
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "completed")) << r.out;
  printed += r.out + r.err;
  ASSERT_EQ(0, home.admin("touch").status);
  r = agent({"backup", "DB1", "--type", "incr", "--pool", "p1", "--compression", "zstd", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  printed += r.out + r.err;
  ASSERT_EQ(0, home.admin("touch").status);
  r = agent({"backup", "DB1", "--type", "diff", "--pool", "p1", "--compression", "lzop", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  printed += r.out + r.err;
  const std::string at_backup = home.checksum();
  ASSERT_FALSE(at_backup.empty());
  ASSERT_EQ(0, home.admin("touch").status);
  ASSERT_NE(at_backup, home.checksum());

  r = agent({"restore", "DB1", "--force", "--timeout", "120"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "restore of DB1 to backup")) << r.out;
  EXPECT_TRUE(contains(r.out, "restore run ")) << r.out;  // a restore has no subtype to show
  printed += r.out + r.err;
  EXPECT_EQ(at_backup, home.checksum());

  r = agent({"catalog", "DB1", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  nlohmann::json rows = nlohmann::json::parse(r.out, nullptr, false).value("backups", nlohmann::json());
  ASSERT_TRUE(rows.is_array());
  ASSERT_EQ(3u, rows.size());
  EXPECT_EQ("full", rows[0]["level"]);
  EXPECT_EQ("incremental", rows[1]["level"]);
  EXPECT_EQ("cumulative", rows[2]["level"]);
  EXPECT_EQ(rows[0]["backup_id"], rows[1]["chain"]);
  EXPECT_EQ(rows[0]["backup_id"], rows[2]["chain"]);
  for (const auto& row : rows) {
    EXPECT_EQ(resource, row["instance_uuid"]);
    EXPECT_EQ("backup", row["type"]);
    EXPECT_TRUE(row["size_read"].is_number_unsigned() && row["size_stored"].is_number_unsigned()) << row.dump();
  }

  // Neither the agent's output nor the backup job's log holds the password.
  std::string logs;
  for (const std::string& f : files_under(state_ + "/logs"))
    if (f.find("/" + std::string(catalogue_records(state_).at(0)["definition_uuid"]) + ".") != std::string::npos)
      logs += read_file(f);
  EXPECT_TRUE(contains(logs, "brcmd")) << logs;
  EXPECT_FALSE(contains(logs, home.password()));
  EXPECT_FALSE(contains(printed, home.password()));
}

// The login is tested before an account is registered: a wrong password
// registers nothing, --no-check registers it anyway.
TEST_F(AgentJobs, InstanceAddTestsTheLogin) {
  Sim_Instance home(sandbox_ / "home", "DB1", "sysdba", "Login-pass-7c");
  ASSERT_TRUE(home.start());
  write_private_file(sandbox_ / "pw", "wrong-password");
  const std::vector<std::string> add = {
      "instance", "add", "DB1", "--home", home.root(), "--user", "sysdba", "--password-file", sandbox_ / "pw"};
  Run_Result r = agent(add);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "the login of sysdba to instance DB1 failed")) << r.err;
  EXPECT_FALSE(contains(r.out + r.err, "wrong-password"));
  struct stat st;
  EXPECT_NE(0, ::stat((state_ + "/accounts.json").c_str(), &st));

  std::vector<std::string> unchecked = add;
  unchecked.push_back("--no-check");
  EXPECT_EQ(0, agent(unchecked).status);

  // instance set tests the new account the same way before it stores it.
  r = agent({"instance", "set", "DB1", "--password-file", sandbox_ / "pw"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.err, "instance set: the login of sysdba to instance DB1 failed")) << r.err;
  write_private_file(sandbox_ / "pw", home.password());
  r = agent({"instance", "set", "DB1", "--password-file", sandbox_ / "pw"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(contains(r.out, "instance DB1 updated")) << r.out;
}

}  // namespace
