// Export backup jobs made by the job creator and run as the host runs them,
// against the simulated database under a throwaway root: the stored set and
// its record, the run directory's life, and every way a run can fail.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/base/job_mutex.h"
#include "host/catalog/catalog_operator.h"
#include "host/fileset/mtf_restore.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/services/instance_manager.h"
#include "host/services/websocket_options.h"
#include "host/storage/pool_info.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/oscar_job_creator.h"
#include "oscar/utils.h"
#include "tests/support/module_threads.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

const char SPOOL[] = "/var/cache/corvane/vantrel4/oscar/dump";

class ExportJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OSCAR_SIM_HANG_SECONDS", "60", 1);
    ASSERT_TRUE(sim_.start());
    Instance_Manager::instance()->clear();
    Instance inst;
    inst.type = "oscar";
    inst.name = "ORCL";
    inst.options["oscar_home"] = sim_.root();
    Instance_Manager::instance()->add_instance(inst);
    account(sim_.password());
    Pool_Info pool;
    pool.uuid = "pool-1";
    pool.url = "file://" + dir_.path() + "/pool";
    ASSERT_TRUE(add_pool(pool));
    spool_ = dir_.root() + SPOOL;
  }

  void TearDown() override {
    EXPECT_TRUE(wait_for_module_threads());
    ::unsetenv("OSCAR_SIM_OSREXP_FAULT");
    ::unsetenv("OSCAR_SIM_ISQL_FAULT");
    ::unsetenv("OSCAR_SIM_HANG_SECONDS");
    WebSocket_Options::instance()->host(WebSocket_Options::DEFAULT_HOST);
    Instance_Manager::instance()->clear();
  }

  void account(const std::string& password) {
    Instance_Manager::instance()->set_account("oscar", "ORCL", "", sim_.user(), secure_string(password.c_str()));
  }

  Job_Definition_var definition(const std::vector<std::string>& entries, const std::string& id = "def-export",
                                const std::string& pool = "pool-1") {
    Job_Definition_var def(new Job_Definition());
    def->type(JOB_DEFINITION_BACKUP);
    def->subtype(JOB_DEFINITION_SUBTYPE_EXPORT);
    def->id(id);
    def->name("nightly export");
    def->agent("agent-1");
    def->host_id("host-1");
    oscar::Backup_Job_Source* src = new oscar::Backup_Job_Source();
    src->id("res-1");
    src->entries() = entries;
    def->source(Job_Definition::Source_var(src));
    def->target().id(pool);
    return def;
  }

  // Starts the job the creator makes for def; the caller waits for it.
  Job_var start(const Job_Definition_var& def) {
    Job_var job = oscar::Oscar_Job_Creator().create(def);
    EXPECT_NE(nullptr, job.get());
    if (job.get() != nullptr) {
      EXPECT_EQ(0, job->start());
    }
    return job;
  }

  Job_var finish(const Job_var& job) {
    EXPECT_TRUE(job->wait_for_completion(ACE_Time_Value(120)));
    const std::string log = read_file(job->log_file_path());
    EXPECT_EQ(std::string::npos, log.find(sim_.password())) << log;
    logs_ += log;
    return job;
  }

  Job_var run(const Job_Definition_var& def) { return finish(start(def)); }

  nlohmann::json records() {
    nlohmann::json result;
    EXPECT_TRUE(
        Catalog_Operator().get_view("oscar", "catalogs", {{"resource_uuid", "res-1"}, {"with_files", "1"}}, result));
    return result.value("rows", nlohmann::json::array());
  }

  static int last_alert(const Job_var& job) {
    const std::vector<Job_Alert> a = job->alerts();
    return a.empty() ? 0 : a.back().code;
  }

  // A failed run leaves no record, no run directory and no stored file.
  void expect_failed_and_nothing_left(const Job_var& job) {
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << logs_;
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(dir_entries(spool_).empty()) << logs_;
    EXPECT_TRUE(files_under(dir_.path() + "/pool").empty());
  }

  std::string table_checksum(const std::string& table) { return sim_.admin("table-checksum", {table}).out; }

  Test_Sandbox dir_{0.05};
  Sim_Instance sim_{dir_ / "home", "ORCL"};
  std::string spool_;
  std::string logs_;
};

TEST_F(ExportJobs, EachLevelStoresItsDumpsAsOneRecordedSetThatImportsBack) {
  struct Level {
    const char* entry;
    const char* id;
    const char* grade;
    const char* file;  // below the run directory
  };
  const Level levels[] = {
      {"oscar/ORCL/ORCL/HR/EMPLOYEES", "def-table", "table", "ORCL_ORCL/ORCL\\.HR\\.EMPLOYEES_export_"},
      {"oscar/ORCL/ORCL/APP", "def-schema", "schema", "ORCL_ORCL/ORCL\\.APP_export_"},
      {"oscar/ORCL/ORCL", "def-database", "database", "ORCL_ORCL/ORCL_export_"},
  };
  for (const Level& l : levels) {
    SCOPED_TRACE(l.grade);
    Job_var job = run(definition({l.entry}, l.id));
    ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
    EXPECT_TRUE(dir_entries(spool_).empty());

    nlohmann::json rows;
    ASSERT_TRUE(
        Catalog_Operator().get_view("oscar", "catalogs", {{"definition_uuid", l.id}, {"with_files", "1"}}, rows));
    ASSERT_EQ(1u, rows["rows"].size());
    const nlohmann::json& r = rows["rows"][0];
    EXPECT_EQ("oscar_backup_set", r.value("record_type", ""));
    EXPECT_EQ("ORCL", r.value("dbinstance", ""));
    EXPECT_EQ(nlohmann::json::array({"USERS"}), r["tablespaces"]);
    EXPECT_EQ(l.grade, r.value("grade", ""));
    EXPECT_EQ(0u, r.value("seq", 99u));
    EXPECT_EQ("export", r.value("type", ""));
    EXPECT_EQ(std::string(l.id) + "_0_0.mtf", r["pieces"][0].value("name", ""));
    EXPECT_GT(r.value("backup_set_size", 0ull), 0ull);
    ASSERT_EQ(1u, r["backup_files"].size());
    const std::string file = r["backup_files"][0].value("file", "");
    const std::regex name(spool_ + "/" + l.id + "/" + l.file + "\\d{4}(-\\d\\d){5}_0\\.dump");
    EXPECT_TRUE(std::regex_match(file, name)) << file;
    EXPECT_EQ("ORCL", r["backup_files"][0].value("database", ""));
    EXPECT_EQ(job->activity().set_size, r.value("backup_set_size", 0ull));
    EXPECT_EQ(100, job->activity().progress.load());

    // The stored set gives the dump back at its recorded path.
    MTF_Restore reader(nullptr, ACE_Log_Msg_Callback_var());
    reader.pool_uuid("pool-1", true);
    reader.backup_host_uuid("host-1");
    reader.backup_minor_resource_id(l.id);
    ASSERT_TRUE(reader.restore()) << reader.error();
    EXPECT_EQ(0u, read_file(file).find("OSCAR-SIM-DUMP 1")) << file;
    EXPECT_EQ(job->activity().size, reader.size());
    if (std::string(l.grade) == "table") {
      // The dump is a real export: dropped, the table comes back whole.
      const std::string before = table_checksum("HR.EMPLOYEES");
      ASSERT_EQ(0, sim_.admin("drop", {"HR.EMPLOYEES"}).status);
      Restore_Input in;
      in.restore_as_database = "ORCL";
      in.restore_as_schema = "HR";
      in.restore_as_table = "EMPLOYEES";
      in.backup_file = file;
      in.oscar_home = sim_.root();
      in.username = sim_.user();
      in.password = sim_.password().c_str();
      ASSERT_TRUE(restore(&in));
      EXPECT_EQ(before, table_checksum("HR.EMPLOYEES"));
    }
    ASSERT_EQ(0, rm_rf(spool_ + "/" + l.id));
  }
}

TEST_F(ExportJobs, RunsOfOneDefinitionAreSeparateSetsWithTheirOwnUuids) {
  ASSERT_EQ(JOB_STATE_COMPLETED, run(definition({"oscar/ORCL/ORCL/APP"}))->activity().state.load()) << logs_;
  ASSERT_EQ(JOB_STATE_COMPLETED, run(definition({"oscar/ORCL/ORCL/HR"}))->activity().state.load()) << logs_;
  const nlohmann::json rows = records();
  ASSERT_EQ(2u, rows.size());
  EXPECT_NE(rows[0].value("uuid", ""), rows[1].value("uuid", ""));
  EXPECT_EQ(32u, rows[0].value("uuid", "").size());
  std::vector<unsigned> seqs = {rows[0].value("seq", 99u), rows[1].value("seq", 99u)};
  std::sort(seqs.begin(), seqs.end());
  EXPECT_EQ((std::vector<unsigned>{0, 1}), seqs);
  // Two files and a manifest per set.
  EXPECT_EQ(6u, files_under(dir_.path() + "/pool").size());
}

TEST_F(ExportJobs, MixedLevelsAreAllExportedAndTheLastSourceNamesTheLevel) {
  Job_var job = run(definition({"oscar/ORCL/ORCL/HR/EMPLOYEES", "oscar/ORCL/ORCL/APP"}));
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
  const nlohmann::json rows = records();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("schema", rows[0].value("grade", ""));
  ASSERT_EQ(2u, rows[0]["backup_files"].size()) << rows[0].dump();
  EXPECT_EQ("EMPLOYEES", rows[0]["backup_files"][0].value("table", ""));
  EXPECT_EQ("APP", rows[0]["backup_files"][1].value("schema", ""));
}

TEST_F(ExportJobs, IdsThatAreNotOnePathComponentAreRefusedWithNothingRemoved) {
  const std::string outside = dir_.root() + "/var/cache/corvane/vantrel4/oscar/x/keep";
  const std::string inside = spool_ + "/keep";
  ASSERT_EQ(0, mkdir_p(dir_.root() + "/var/cache/corvane/vantrel4/oscar/x"));
  ASSERT_EQ(0, mkdir_p(spool_));
  ASSERT_TRUE(write_file(outside, "kept"));
  ASSERT_TRUE(write_file(inside, "kept"));
  for (const char* id : {"../x", "", "a/b", ".."}) {
    SCOPED_TRACE(id);
    Job_var job = run(definition({"oscar/ORCL/ORCL/APP"}, id));
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
    EXPECT_NE(std::string::npos, logs_.find("job definition id")) << logs_;
    EXPECT_EQ("kept", read_file(outside));
    EXPECT_EQ("kept", read_file(inside));
    EXPECT_EQ(std::string::npos, logs_.find("osrexp")) << logs_;
  }
  EXPECT_TRUE(records().empty());
}

TEST_F(ExportJobs, FailingExportToolFailsTheJobWithoutRecordOrLeftovers) {
  for (const char* fault : {"fail", "fail-keep", "die-mid-file", "refuse", "no-file"}) {
    SCOPED_TRACE(fault);
    ::setenv("OSCAR_SIM_OSREXP_FAULT", fault, 1);
    Job_var job = run(definition({"oscar/ORCL/ORCL/HR"}));
    expect_failed_and_nothing_left(job);
    EXPECT_NE(std::string::npos, logs_.find("File-set backup failed")) << logs_;
  }
}

TEST_F(ExportJobs, WrongPasswordFailsAtTheExportAndNeverReachesTheLog) {
  account("Not-The-Password-77");
  Job_var job = run(definition({"oscar/ORCL/ORCL/HR"}));
  expect_failed_and_nothing_left(job);
  EXPECT_EQ(std::string::npos, logs_.find("Not-The-Password-77")) << logs_;
  EXPECT_NE(std::string::npos, logs_.find("password authentication failed")) << logs_;
}

TEST_F(ExportJobs, NamesOutsideTheRuleAreRefusedBeforeAnyToolRuns) {
  const struct {
    const char* entry;
    const char* message;
  } cases[] = {
      {"oscar/ORCL/ORCL/bad-schema", "Invalid schema name \"bad-schema\""},
      {"oscar/ORCL/ORCL/HR/EMP;drop", "Invalid table name \"EMP;drop\""},
      {"oscar/ORCL/..", "Invalid database name \"..\""},
      {"oscar/ORCL", "Invalid database name \"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    logs_.clear();
    Job_var job = run(definition({c.entry}));
    expect_failed_and_nothing_left(job);
    EXPECT_EQ(1, last_alert(job));
    EXPECT_NE(std::string::npos, logs_.find(c.message)) << logs_;
    EXPECT_EQ(std::string::npos, logs_.find("osrexp")) << logs_;
  }
}

TEST_F(ExportJobs, MissingSetupFailsWithTheStepsAlert) {
  // No database entry at all: the run is not started.
  Job_var none = run(definition({"mysql/ORCL/ORCL"}));
  EXPECT_EQ(JOB_STATE_SKIPPED, none->activity().state.load());
  EXPECT_EQ(1, last_alert(none));
  EXPECT_NE(std::string::npos, logs_.find("No oscar database to backup.")) << logs_;

  Job_var unknown = run(definition({"oscar/NOPE/NOPE"}));
  expect_failed_and_nothing_left(unknown);
  EXPECT_EQ(3, last_alert(unknown));
  EXPECT_NE(std::string::npos, logs_.find("Fail to get oscar login info.")) << logs_;

  // An account alone is not an instance: without its registration the
  // database home is unknown, and the dump directories made are removed.
  Instance_Manager::instance()->set_account("oscar", "OTHER", "", sim_.user(), secure_string(sim_.password().c_str()));
  Job_var unregistered = run(definition({"oscar/OTHER/OTHER"}));
  expect_failed_and_nothing_left(unregistered);
  EXPECT_EQ(6, last_alert(unregistered));
  EXPECT_NE(std::string::npos, logs_.find("Failed to get oscar_home.")) << logs_;
  EXPECT_EQ(std::string::npos, logs_.find("osrexp")) << logs_;

  Job_var no_pool = run(definition({"oscar/ORCL/ORCL/HR"}, "def-export", "pool-unknown"));
  expect_failed_and_nothing_left(no_pool);
  EXPECT_EQ(11, last_alert(no_pool));
  EXPECT_NE(std::string::npos, logs_.find("Failed to get pool info.")) << logs_;

  account("");
  Job_var empty = run(definition({"oscar/ORCL/ORCL/HR"}));
  expect_failed_and_nothing_left(empty);
  EXPECT_EQ(4, last_alert(empty));
  EXPECT_NE(std::string::npos, logs_.find("The username or password of oscar is empty.")) << logs_;
  EXPECT_EQ(std::string::npos, logs_.find("osrexp")) << logs_;
}

TEST_F(ExportJobs, NoSessionToTheServerFailsAndClearsAnEarlierRunsLeftovers) {
  ASSERT_EQ(0, mkdir_p(spool_ + "/def-export/ORCL_ORCL"));
  ASSERT_TRUE(write_file(spool_ + "/def-export/ORCL_ORCL/stale.dump", "old"));
  WebSocket_Options::instance()->host("");
  Job_var job = run(definition({"oscar/ORCL/ORCL/HR"}));
  expect_failed_and_nothing_left(job);
  EXPECT_EQ(10, last_alert(job));
  EXPECT_NE(std::string::npos, logs_.find("Failed to create session, host: '', port: 443")) << logs_;
}

TEST_F(ExportJobs, SetStoredButNotRecordableIsRemovedAgain) {
  // The tablespaces are read through isql once the set is stored.
  ::setenv("OSCAR_SIM_ISQL_FAULT", "fail", 1);
  Job_var job = run(definition({"oscar/ORCL/ORCL/HR"}));
  expect_failed_and_nothing_left(job);
  EXPECT_EQ(22, last_alert(job));
  EXPECT_NE(std::string::npos, logs_.find("exported schema level of ORCL")) << logs_;
}

TEST_F(ExportJobs, UnusableCatalogueFailsBeforeAnyToolRuns) {
  ASSERT_TRUE(write_file(Catalog_Operator::database_path(), std::string(4096, 'x')));
  Job_var job = run(definition({"oscar/ORCL/ORCL/HR"}));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
  EXPECT_EQ(9, last_alert(job));
  EXPECT_NE(std::string::npos, logs_.find("is not usable")) << logs_;
  EXPECT_EQ(std::string::npos, logs_.find("osrexp")) << logs_;
  EXPECT_TRUE(dir_entries(spool_).empty());
  EXPECT_TRUE(files_under(dir_.path() + "/pool").empty());
}

TEST_F(ExportJobs, CompressedSetRestoresTheSameDump) {
  Job_Definition_var def = definition({"oscar/ORCL/ORCL/APP"});
  oscar::Backup_Job_Options* opts = new oscar::Backup_Job_Options();
  opts->compression(COMPR_ZSTD);
  opts->compression_level(3);
  def->options(Job_Definition::Options_var(opts));
  Job_var job = run(def);
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
  // Rows of a simulated table repeat their seed: zstd shrinks them.
  EXPECT_LT(job->activity().set_storage_size, job->activity().set_size);
  const nlohmann::json rows = records();
  ASSERT_EQ(1u, rows.size());
  const std::string file = rows[0]["backup_files"][0].value("file", "");
  MTF_Restore reader(nullptr, ACE_Log_Msg_Callback_var());
  reader.pool_uuid("pool-1", true);
  reader.backup_host_uuid("host-1");
  reader.backup_minor_resource_id("def-export");
  ASSERT_TRUE(reader.restore()) << reader.error();
  EXPECT_EQ(job->activity().size, read_file(file).size());
  EXPECT_EQ(0u, read_file(file).find("OSCAR-SIM-DUMP 1"));
}

TEST_F(ExportJobs, AbortEndsTheExportToolAndTheRunLeavesNothing) {
  ::setenv("OSCAR_SIM_OSREXP_FAULT", "hang", 1);
  Job_var job = start(definition({"oscar/ORCL/ORCL/HR"}));
  // Bounded wait until the export tool runs, then the abort.
  bool exporting = false;
  for (int i = 0; i < 3000 && !exporting; ++i) {
    exporting = read_file(job->log_file_path()).find("osrexp\" -U") != std::string::npos;
    if (!exporting) ::usleep(10000);
  }
  ASSERT_TRUE(exporting) << read_file(job->log_file_path());
  EXPECT_EQ(0, job->abort());
  finish(job);
  EXPECT_EQ(JOB_STATE_CANCELED, job->activity().state.load()) << logs_;
  EXPECT_TRUE(records().empty());
  EXPECT_TRUE(dir_entries(spool_).empty()) << logs_;
  EXPECT_TRUE(files_under(dir_.path() + "/pool").empty());
}

TEST_F(ExportJobs, RunWaitsForTheResourceLockAndAnAbortEndsTheWait) {
  Job_Lock held("res-1", "another job");
  ASSERT_TRUE(held.locked());
  Job_var job = start(definition({"oscar/ORCL/ORCL/HR"}));
  bool waiting = false;
  for (int i = 0; i < 3000 && !waiting; ++i) {
    waiting = read_file(job->log_file_path()).find("waits for the lock of res-1") != std::string::npos;
    if (!waiting) ::usleep(10000);
  }
  ASSERT_TRUE(waiting) << read_file(job->log_file_path());
  EXPECT_EQ(0, job->abort());
  finish(job);
  EXPECT_EQ(JOB_STATE_CANCELED, job->activity().state.load()) << logs_;
  EXPECT_NE(std::string::npos, logs_.find("cancelled while waiting for the lock of res-1")) << logs_;
  EXPECT_EQ(std::string::npos, logs_.find("osrexp")) << logs_;
  EXPECT_TRUE(records().empty());
}

}  // namespace
