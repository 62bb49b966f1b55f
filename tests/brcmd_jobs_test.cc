// Physical backup and restore jobs made by the job creator and run as the
// host runs them, against the simulated database under a throwaway root.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "host/catalog/catalog_operator.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/services/instance_manager.h"
#include "host/storage/pool_info.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/oscar_job_creator.h"
#include "oscar/restore_job_options.h"
#include "oscar/restore_job_source.h"
#include "oscar/utils.h"
#include "tests/support/module_threads.h"
#include "tests/support/sandbox.h"
#include "tests/support/sim_instance.h"
#include "tests/support/test_paths.h"

namespace {

const char SIM[] = OSCAR_BUILD_DIR "/sim/oscar-sim";
const char PASSWORD[] = "Pw4Backups9";

// Every regular file below dir, recursively.
void files_below(const std::string& dir, std::vector<std::string>& out) {
  for (const std::string& n : dir_entries(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) files_below(p, out);
    if (S_ISREG(st.st_mode)) out.push_back(p);
  }
}

// Runs the simulator's administration command; answers its first output
// line (empty on failure).
std::string sim(const std::string& args) {
  const std::string cmd = std::string(SIM) + " " + args + " 2>&1";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return std::string();
  char line[512] = {0};
  std::string out;
  if (std::fgets(line, sizeof line, p) != nullptr) out = line;
  while (std::fgets(line, sizeof line, p) != nullptr) {
  }
  const int rc = ::pclose(p);
  EXPECT_EQ(0, rc) << cmd << ": " << out;
  return out;
}

class BrcmdJobs : public ::testing::Test {
 protected:
  void SetUp() override { setup_home("ARCHIVELOG"); }

  void setup_home(const std::string& archive_mode) {
    state_ = dir_.state_dir();
    home_ = dir_ / "home";
    root_ = dir_.root();
    ASSERT_EQ(0, mkdir_p(root_ + "/etc/init.d"));
    ASSERT_TRUE(sim_.start({"--archive-mode", archive_mode}));
    ASSERT_EQ(0, ::symlink((home_ + "/admin/oscardb_db1d").c_str(), (root_ + "/etc/init.d/oscardb_db1d").c_str()));
    Instance_Manager::instance()->clear();
    Instance inst;
    inst.type = "oscar";
    inst.name = "db1";
    inst.options["oscar_home"] = home_;
    Instance_Manager::instance()->add_instance(inst);
    Instance_Manager::instance()->set_account("oscar", "db1", "", "dba", secure_string(PASSWORD));
    Pool_Info pool;
    pool.uuid = "pool-1";
    pool.url = "file://" + dir_.path() + "/pool";
    ASSERT_TRUE(add_pool(pool));
  }

  void TearDown() override {
    EXPECT_TRUE(wait_for_module_threads());
    ::unsetenv("OSCAR_SIM_BRCMD_FAULT");
    Instance_Manager::instance()->clear();
  }

  // Waits for the next second, so runs get different start-second names.
  static void next_second() {
    const std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now) ::usleep(20000);
  }

  Job_var run(const Job_Definition_var& def) {
    next_second();
    Job_var job = oscar::Oscar_Job_Creator().create(def);
    EXPECT_NE(nullptr, job.get());
    if (job.get() == nullptr) return job;
    EXPECT_EQ(0, job->start());
    EXPECT_TRUE(job->wait_for_completion(ACE_Time_Value(120)));
    const std::string log = read_file(job->log_file_path());
    EXPECT_EQ(std::string::npos, log.find(PASSWORD)) << log;
    logs_ += log;
    return job;
  }

  Job_var backup(Job_Definition_Subtype subtype, const std::string& pool = "pool-1") {
    Job_Definition_var def(new Job_Definition());
    def->type(JOB_DEFINITION_BACKUP);
    def->subtype(subtype);
    def->id("def-backup");
    def->uid("5e0f6f4e-8a33-4f57-9d5c-0c7a1d2b3e4f");
    def->name("nightly");
    def->agent("agent-1");
    def->host_id("host-1");
    oscar::Backup_Job_Source* src = new oscar::Backup_Job_Source();
    src->id("res-1");
    src->entries().push_back("oscar/db1/db1");
    def->source(Job_Definition::Source_var(src));
    def->options(Job_Definition::Options_var(new oscar::Backup_Job_Options()));
    def->target().id(pool);
    return run(def);
  }

  Job_var restore(const std::string& backup_id, const std::string& instance = "db1") {
    Job_Definition_var def(new Job_Definition());
    def->type(JOB_DEFINITION_RESTORE);
    def->subtype(JOB_DEFINITION_SUBTYPE_NONE);
    def->id("def-restore");
    def->uid("9a1b2c3d-4e5f-4a6b-8c7d-0e1f2a3b4c5d");
    oscar::Restore_Job_Source* src = new oscar::Restore_Job_Source();
    src->id("res-1");
    src->catalog_id(backup_id);
    src->get_restore_as().database = instance;
    def->source(Job_Definition::Source_var(src));
    def->options(Job_Definition::Options_var(new oscar::Restore_Job_Options()));
    return run(def);
  }

  // The catalogue rows of the resource, oldest first.
  nlohmann::json records() {
    nlohmann::json result;
    EXPECT_TRUE(Catalog_Operator().get_view("oscar_brcmd", "catalogs", {{"resource_uuid", "res-1"}}, result));
    return result.value("rows", nlohmann::json::array());
  }

  std::string checksum() { return sim("checksum " + home_ + " --instance db1"); }

  static int last_alert(const Job_var& job) {
    const std::vector<Job_Alert> a = job->alerts();
    return a.empty() ? 0 : a.back().code;
  }

  // Nothing of a run may stay behind: no fifo, no temporary storage file.
  void expect_nothing_left() {
    EXPECT_TRUE(dir_entries(root_ + "/var/opt/corvane/vantrel4/agent/oscar").empty());
    std::vector<std::string> files;
    files_below(dir_.path() + "/pool", files);
    for (const std::string& f : files) EXPECT_EQ(std::string::npos, f.find("/.")) << f;
  }

  void expect_no_password_in_tool_logs() {
    std::vector<std::string> files;
    files_below(root_ + "/var/log", files);
    for (const std::string& f : files) EXPECT_EQ(std::string::npos, read_file(f).find(PASSWORD)) << f;
  }

  // Waits shortened twentyfold: a process still gets time to end.
  Test_Sandbox dir_{0.05};
  std::string state_, home_, root_;
  Sim_Instance sim_{dir_ / "home", "db1", "dba", PASSWORD};
  std::string logs_;
};

TEST_F(BrcmdJobs, ChainOfBackupsIsRecordedAndRestoresByteForByte) {
  Job_var full = backup(JOB_DEFINITION_SUBTYPE_FULL);
  ASSERT_EQ(JOB_STATE_COMPLETED, full->activity().state.load()) << logs_;
  sim("touch " + home_ + " --instance db1");
  Job_var incr1 = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  ASSERT_EQ(JOB_STATE_COMPLETED, incr1->activity().state.load()) << logs_;
  sim("touch " + home_ + " --instance db1");
  Job_var incr2 = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  ASSERT_EQ(JOB_STATE_COMPLETED, incr2->activity().state.load()) << logs_;
  const std::string at_incr2 = checksum();
  sim("touch " + home_ + " --instance db1");
  Job_var diff = backup(JOB_DEFINITION_SUBTYPE_CUMULATIVE);
  ASSERT_EQ(JOB_STATE_COMPLETED, diff->activity().state.load()) << logs_;

  const nlohmann::json rows = records();
  ASSERT_EQ(4u, rows.size());
  const nlohmann::json &f = rows[0], &i1 = rows[1], &i2 = rows[2], &d = rows[3];
  EXPECT_EQ("full", f["type"]);
  EXPECT_EQ("incremental", i1["type"]);
  EXPECT_EQ("cumulative", d["type"]);
  EXPECT_EQ(0u, f["backup_file"].get<std::string>().find("db1_full_"));
  EXPECT_EQ(0u, i1["backup_file"].get<std::string>().find("db1_incr_"));
  EXPECT_EQ(0u, d["backup_file"].get<std::string>().find("db1_diff_"));
  // A full backup names itself as its chain; the others the chain before them.
  EXPECT_EQ(f["uuid"], f["backup_id"]);
  EXPECT_EQ(f["backup_id"], f["last_full_backup_id"]);
  EXPECT_EQ(f["backup_id"], f["last_backup_id"]);
  EXPECT_EQ(f["backup_lsn"], f["last_full_backup_lsn"]);
  EXPECT_EQ(f["backup_id"], i1["last_full_backup_id"]);
  EXPECT_EQ(f["backup_id"], i1["last_backup_id"]);
  EXPECT_EQ(f["backup_scn"], i1["last_backup_scn"]);
  EXPECT_EQ(i1["backup_id"], i2["last_backup_id"]);
  EXPECT_EQ(i2["backup_id"], d["last_backup_id"]);
  EXPECT_EQ(f["backup_id"], d["last_full_backup_id"]);
  EXPECT_NE(f["uuid"], i1["uuid"]);
  EXPECT_GT(f["backup_set_size"].get<unsigned long long>(), 256u * 1024);
  EXPECT_EQ(incr1->activity().set_size, i1["backup_set_size"].get<unsigned long long>());

  sim("touch " + home_ + " --instance db1");
  ASSERT_NE(at_incr2, checksum());
  Job_var back = restore(i2["backup_id"].get<std::string>());
  ASSERT_EQ(JOB_STATE_COMPLETED, back->activity().state.load()) << logs_;
  sim("stop " + home_ + " --instance db1");
  EXPECT_EQ(at_incr2, checksum());
  EXPECT_GT(back->activity().set_size, 0u);
  expect_nothing_left();
  expect_no_password_in_tool_logs();
}

TEST_F(BrcmdJobs, SetOfAnEarlierSameSecondNameIsNeverReplaced) {
  // Files of the names the next seconds' full backups would take stand for
  // sets stored earlier in the same second.
  const std::string dir = dir_.path() + "/pool/res-1";
  ASSERT_EQ(0, mkdir_p(dir));
  std::vector<std::string> decoys;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t <= now + 3; ++t) {
    char ts[16];
    std::strftime(ts, sizeof ts, "%Y%m%d_%H%M%S", std::localtime(&t));
    decoys.push_back(std::string("db1_full_") + ts);
    ASSERT_TRUE(write_file(dir + "/" + decoys.back(), "an earlier set"));
  }
  const std::string at_full = checksum();
  Job_var full = backup(JOB_DEFINITION_SUBTYPE_FULL);
  ASSERT_EQ(JOB_STATE_COMPLETED, full->activity().state.load()) << logs_;
  for (const std::string& d : decoys) EXPECT_EQ("an earlier set", read_file(dir + "/" + d)) << d;
  const nlohmann::json rows = records();
  ASSERT_EQ(1u, rows.size());
  const std::string name = rows[0]["backup_file"].get<std::string>();
  EXPECT_EQ(name.size() - 2, name.rfind("_2")) << name;
  EXPECT_NE(decoys.end(), std::find(decoys.begin(), decoys.end(), name.substr(0, name.size() - 2))) << name;

  sim("touch " + home_ + " --instance db1");
  Job_var back = restore(rows[0]["backup_id"].get<std::string>());
  ASSERT_EQ(JOB_STATE_COMPLETED, back->activity().state.load()) << logs_;
  sim("stop " + home_ + " --instance db1");
  EXPECT_EQ(at_full, checksum());
}

TEST_F(BrcmdJobs, IncrementalWithoutAChainRunsAsFull) {
  ASSERT_TRUE(write_file(home_ + "/agent/lastlsn.dat", "garbage\ndb1_lastbackupid=\nother_lastbackupscn=7\n"));
  Job_var job = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
  const nlohmann::json rows = records();
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("full", rows[0]["type"]);
  EXPECT_EQ(0u, rows[0]["backup_file"].get<std::string>().find("db1_full_"));
  const std::string msg = "Lack of backup info, run full backup instead.";
  const std::size_t at = logs_.find(msg);
  EXPECT_NE(std::string::npos, at);
  EXPECT_EQ(std::string::npos, logs_.find(msg, at + 1));
  EXPECT_TRUE(job->alerts().empty());
}

TEST_F(BrcmdJobs, FullBackupInAnotherPoolBreaksTheChain) {
  Pool_Info other;
  other.uuid = "pool-2";
  other.url = "file://" + dir_.path() + "/pool2";
  ASSERT_TRUE(add_pool(other));
  ASSERT_EQ(JOB_STATE_COMPLETED, backup(JOB_DEFINITION_SUBTYPE_FULL, "pool-2")->activity().state.load());
  Job_var job = backup(JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
  EXPECT_EQ("full", records().back()["type"]);
}

TEST_F(BrcmdJobs, BrokenBrcmdRunsFailWithoutRecordOrLeftovers) {
  struct Case {
    const char* fault;
    int alert;        // 0: none expected
    const char* log;  // a fragment of the job log
  };
  const Case cases[] = {
      {"fail-after-stream", 28, "exit status 1"},  {"die-after=100000", 0, "exit status"},
      {"no-open", 15, "Failed to open fifo"},      {"no-lastlsn", 18, "Failed to get backup info."},
      {"head-512", 16, "Invalid backup set size"}, {"head-short", 0, ""},
      {"never-exit", 28, "did not exit"},
  };
  for (const Case& c : cases) {
    ::setenv("OSCAR_SIM_BRCMD_FAULT", c.fault, 1);
    logs_.clear();
    Job_var job = backup(JOB_DEFINITION_SUBTYPE_FULL);
    EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << c.fault << "\n" << logs_;
    if (c.alert != 0) {
      EXPECT_EQ(c.alert, last_alert(job)) << c.fault;
    }
    EXPECT_NE(std::string::npos, logs_.find(c.log)) << c.fault << "\n" << logs_;
    EXPECT_TRUE(records().empty()) << c.fault;
    expect_nothing_left();
  }
}

TEST_F(BrcmdJobs, BackupThatRecordsNoNewChainStateIsNotCommitted) {
  ASSERT_EQ(JOB_STATE_COMPLETED, backup(JOB_DEFINITION_SUBTYPE_FULL)->activity().state.load()) << logs_;
  ::setenv("OSCAR_SIM_BRCMD_FAULT", "no-lastlsn", 1);
  Job_var job = backup(JOB_DEFINITION_SUBTYPE_FULL);
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
  EXPECT_EQ(18, last_alert(job));
  EXPECT_NE(std::string::npos, logs_.find("recorded no new backup"));
  EXPECT_EQ(1u, records().size());
  expect_nothing_left();
}

TEST_F(BrcmdJobs, UnknownInstanceAndUnregisteredPoolFailWithTheirAlerts) {
  Job_var no_pool = backup(JOB_DEFINITION_SUBTYPE_FULL, "no-such-pool");
  EXPECT_EQ(JOB_STATE_ERROR, no_pool->activity().state.load());
  EXPECT_EQ(11, last_alert(no_pool));
  Job_var no_inst = restore("whatever", "nosuch");
  EXPECT_EQ(JOB_STATE_ERROR, no_inst->activity().state.load());
  EXPECT_EQ(3, last_alert(no_inst));
  Job_var no_point = restore("no-such-backup");
  EXPECT_EQ(JOB_STATE_ERROR, no_point->activity().state.load());
  EXPECT_EQ(18, last_alert(no_point));
  EXPECT_TRUE(records().empty());
  expect_nothing_left();
}

TEST_F(BrcmdJobs, RestoreFeedsInfoLargerThanItsBufferAndRejectsCorruptFiles) {
  ::setenv("OSCAR_SIM_BRCMD_FAULT", "info-large", 1);
  ASSERT_EQ(JOB_STATE_COMPLETED, backup(JOB_DEFINITION_SUBTYPE_FULL)->activity().state.load()) << logs_;
  ::unsetenv("OSCAR_SIM_BRCMD_FAULT");
  const nlohmann::json rows = records();
  ASSERT_EQ(1u, rows.size());
  // Info data above the 8192-byte buffer, as the backup accepted it.
  Job_var big = restore(rows[0]["backup_id"].get<std::string>());
  EXPECT_EQ(JOB_STATE_COMPLETED, big->activity().state.load()) << logs_;
  EXPECT_EQ(0, last_alert(big));
  EXPECT_EQ(std::string::npos, logs_.find("Invalid backup info size"));

  ASSERT_EQ(JOB_STATE_COMPLETED, backup(JOB_DEFINITION_SUBTYPE_FULL)->activity().state.load()) << logs_;
  const nlohmann::json latest = records().back();
  const std::string stored = dir_.path() + "/pool/res-1/" + latest["backup_file"].get<std::string>();
  const std::string bytes = read_file(stored);
  ASSERT_GT(bytes.size(), 20000u);
  ASSERT_TRUE(write_file(stored, bytes.substr(0, bytes.size() / 2)));
  // Found before the instance is touched: it keeps running.
  Job_var cut = restore(latest["backup_id"].get<std::string>());
  EXPECT_EQ(JOB_STATE_ERROR, cut->activity().state.load());
  EXPECT_EQ(16, last_alert(cut));
  EXPECT_NE(std::string::npos, logs_.find("in storage, its record " + std::to_string(bytes.size()))) << logs_;
  int pid = 0;
  EXPECT_TRUE(instance_running(home_.c_str(), "db1", pid));
  ASSERT_EQ(0, ::unlink(stored.c_str()));
  Job_var gone = restore(latest["backup_id"].get<std::string>());
  EXPECT_EQ(JOB_STATE_ERROR, gone->activity().state.load());
  EXPECT_EQ(14, last_alert(gone));
  EXPECT_TRUE(instance_running(home_.c_str(), "db1", pid));
  expect_nothing_left();
}

TEST_F(BrcmdJobs, RestoreBrcmdThatNeverOpensItsFifoDoesNotHang) {
  ASSERT_EQ(JOB_STATE_COMPLETED, backup(JOB_DEFINITION_SUBTYPE_FULL)->activity().state.load()) << logs_;
  ::setenv("OSCAR_SIM_BRCMD_FAULT", "no-open", 1);
  Job_var job = restore(records()[0]["backup_id"].get<std::string>());
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
  EXPECT_EQ(15, last_alert(job));
  expect_nothing_left();
}

TEST_F(BrcmdJobs, RestoreLeavesAProcessOfAStalePidFileAlone) {
  ASSERT_EQ(JOB_STATE_COMPLETED, backup(JOB_DEFINITION_SUBTYPE_FULL)->activity().state.load()) << logs_;
  const pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  sim("stop " + home_ + " --instance db1");
  ASSERT_TRUE(write_file(home_ + "/admin/db1.db", std::to_string(other) + "\n"));
  Job_var job = restore(records()[0]["backup_id"].get<std::string>());
  EXPECT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
  int status = 0;
  EXPECT_EQ(0, ::waitpid(other, &status, WNOHANG));
  ::kill(other, SIGKILL);
  ::waitpid(other, &status, 0);
}

class BrcmdJobsWithoutArchivedLogs : public BrcmdJobs {
 protected:
  void SetUp() override { setup_home("NOARCHIVELOG"); }
};

TEST_F(BrcmdJobsWithoutArchivedLogs, InstanceIsStoppedForTheBackupAndStartedAfterIt) {
  const std::string pid_before = read_file(home_ + "/admin/db1.db");
  ASSERT_FALSE(pid_before.empty());
  Job_var job = backup(JOB_DEFINITION_SUBTYPE_FULL);
  ASSERT_EQ(JOB_STATE_COMPLETED, job->activity().state.load()) << logs_;
  const std::string pid_after = read_file(home_ + "/admin/db1.db");
  EXPECT_FALSE(pid_after.empty());
  EXPECT_NE(pid_before, pid_after);
  EXPECT_NE(std::string::npos, logs_.find("shutdown immediate"));
  EXPECT_EQ(1u, records().size());
}

TEST_F(BrcmdJobsWithoutArchivedLogs, ServerThatDoesNotStopFailsTheBackupBeforeBrcmdRuns) {
  // The shutdown statement fails (isql exits 1): the server keeps running.
  sim("set " + home_ + " --instance db1 faults.isql=fail=shutdown");
  const std::string pid_before = read_file(home_ + "/admin/db1.db");
  ASSERT_FALSE(pid_before.empty());
  Job_var job = backup(JOB_DEFINITION_SUBTYPE_FULL);
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << logs_;
  EXPECT_EQ(19, last_alert(job));
  EXPECT_NE(std::string::npos, logs_.find("did not end after it was asked to stop")) << logs_;
  EXPECT_EQ(std::string::npos, logs_.find("-O backup")) << logs_;
  EXPECT_EQ(pid_before, read_file(home_ + "/admin/db1.db"));
  EXPECT_TRUE(records().empty());
  expect_nothing_left();
}

TEST_F(BrcmdJobsWithoutArchivedLogs, StoppedInstanceIsStartedAgainAfterAFailedBackup) {
  const std::string pid_before = read_file(home_ + "/admin/db1.db");
  ASSERT_FALSE(pid_before.empty());
  ::setenv("OSCAR_SIM_BRCMD_FAULT", "no-open", 1);
  Job_var job = backup(JOB_DEFINITION_SUBTYPE_FULL);
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load()) << logs_;
  EXPECT_EQ(15, last_alert(job));
  EXPECT_NE(std::string::npos, logs_.find("shutdown immediate"));
  const std::string pid_after = read_file(home_ + "/admin/db1.db");
  EXPECT_FALSE(pid_after.empty());
  EXPECT_NE(pid_before, pid_after);
  int pid = 0;
  EXPECT_TRUE(instance_running(home_.c_str(), "db1", pid));
  EXPECT_TRUE(records().empty());
  expect_nothing_left();
}

}  // namespace
