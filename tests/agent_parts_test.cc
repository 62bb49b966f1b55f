// The parts of oscar-agent in process: the catalogue table, the restore
// definition, the check of a stored set and following a job to its end.

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <string>

#include "agent/catalog_listing.h"
#include "agent/job_documents.h"
#include "agent/job_runner.h"
#include "agent/set_verify.h"
#include "host/jobs/job_alert.h"
#include "host/jobs/job_event_manager.h"
#include "host/storage/client_io_ex.h"
#include "host/storage/pool_info.h"
#include "tests/support/backup_sets.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(AgentCatalogTable, RecordsNameTheirInstanceAndPoolAndTheTableAlignsWithHumanSizes) {
  Listing_Names names;
  names.pools = {{"u-1", "pool-one"}};
  names.instances = {{"r-1", "DB1"}};
  const nlohmann::json full = catalog_record({{"backup_id", "B1"},
                                              {"type", "full"},
                                              {"resource_uuid", "r-1"},
                                              {"backup_set_size", 3u << 20},
                                              {"backup_set_storage_size", 1536u},
                                              {"pool_uuid", "u-1"},
                                              {"uri", "r-1"},
                                              {"pieces", {{{"name", "B1.bak"}, {"size", 0}}}},
                                              {"backup_start_time", 1700000000},
                                              {"backup_end_time", 1700000005}},
                                             names);
  EXPECT_EQ((nlohmann::json{{"backup_id", "B1"},
                            {"instance", "DB1"},
                            {"instance_uuid", "r-1"},
                            {"type", "backup"},
                            {"level", "full"},
                            {"pool", "pool-one"},
                            {"pool_uuid", "u-1"},
                            {"started", "2023-11-14T22:13:20Z"},
                            {"ended", "2023-11-14T22:13:25Z"},
                            {"size_read", 3u << 20},
                            {"size_stored", 1536u},
                            {"chain", nullptr},
                            {"host", nullptr},
                            {"files", {"r-1/B1.bak"}}}),
            full);
  // A removed instance and an unknown pool show their uuids; what a row
  // lacks is null in the record and "?" in the table.
  const nlohmann::json incr = catalog_record(
      {{"backup_id", "B22222"}, {"type", "incremental"}, {"last_backup_id", "B1"}, {"pool_uuid", "u-2"}}, names);
  EXPECT_EQ("B1", incr.at("chain"));
  EXPECT_TRUE(incr.at("instance").is_null() && incr.at("started").is_null() && incr.at("size_read").is_null());

  const std::string table = format_catalog_table(nlohmann::json::array({full, incr}), 1700000000 + 3 * 3600, false);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = table.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(table.substr(start, nl - start));
  ASSERT_EQ(3u, lines.size()) << table;
  EXPECT_EQ(0u, lines[0].find("ID      INSTANCE  TYPE         TIME")) << table;
  for (const char* shown : {"DB1", "3h", "3.0 MiB", "1.5 KiB", "pool-one", "  -"})
    EXPECT_TRUE(contains(lines[1], shown)) << shown << ": " << lines[1];
  EXPECT_TRUE(contains(lines[2], "u-2")) << lines[2];
  EXPECT_TRUE(contains(lines[2], "on B1")) << lines[2];
  EXPECT_TRUE(contains(lines[2], "  ?  ")) << lines[2];
  EXPECT_EQ(lines[1].find("full"), lines[2].find("incremental"));
  EXPECT_TRUE(contains(format_catalog_table(nlohmann::json::array({full}), 1700000000, true), "  3145728  1536  "))
      << "--bytes";
}

TEST(AgentRestoreDefinition, NoVerifyTurnsTheCheckOffInTheOptions) {
  Instance inst;
  inst.type = "oscar";
  inst.name = "DB1";
  inst.uuid = "3f1c2b4a-0000-4000-8000-000000000001";
  const nlohmann::json row = {{"host_uuid", "h"}, {"definition_uuid", "d"}, {"pool_uuid", "p"}, {"backup_id", "B1"}};
  nlohmann::json def;
  std::string err;
  ASSERT_TRUE(restore_definition(inst, "h", row, def, err)) << err;
  EXPECT_EQ(nlohmann::json::object(), def.at("options"));
  ASSERT_TRUE(restore_definition(inst, "h", row, def, err, false)) << err;
  EXPECT_EQ(nlohmann::json({{"verify", false}}), def.at("options"));
  EXPECT_EQ("B1", def.at("source").at("catalog_id"));
}

// A stored set in a registered pool and its catalogue row.
class AgentSetVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    Pool_Info pool;
    pool.uuid = "pool-1";
    pool.name = "p1";
    pool.url = "file://" + sandbox_.path() + "/pool";
    ASSERT_TRUE(add_pool(pool));
    Client_IO_Ex io;
    Client_IO_Base::Options opts;
    opts.compression_method = COMPR_ZSTD;
    ASSERT_TRUE(io.connect(pool.url + "/res", opts)) << io.error();
    ASSERT_TRUE(io.open("B1.zst", Client_IO_Ex::MODE_WRITE)) << io.error();
    const std::string data(300000, 'x');
    ASSERT_EQ(static_cast<ssize_t>(data.size()), io.write(data.data(), data.size()));
    ASSERT_TRUE(io.close()) << io.error();
    Oscar_Brcmd_Backup_Set set =
        full_backup_set("B1", Backup_Set_Storage("pool-1", io.storage_size(), io.stored_digest()));
    set.uri("res");
    std::string missing;
    ASSERT_TRUE(set.to_row(row_, missing)) << missing;
    path_ = sandbox_.path() + "/pool/res/B1.zst";
  }

  Test_Sandbox sandbox_;
  nlohmann::json row_;
  std::string path_;
};

TEST_F(AgentSetVerify, IntactSetIsOkAndAnAlteredOneAMismatch) {
  std::string line;
  EXPECT_EQ(SET_OK, check_stored_set(row_, line));
  EXPECT_EQ("B1 B1.zst ok", line);
  std::string bytes = read_file(path_);
  bytes[bytes.size() / 2] ^= 1;
  ASSERT_TRUE(write_file(path_, bytes));
  EXPECT_EQ(SET_MISMATCH, check_stored_set(row_, line));
  EXPECT_TRUE(contains(line, "B1 B1.zst MISMATCH: ") && contains(line, "digest mismatch")) << line;
  // Sizes alone do not see a changed byte; a changed size they do.
  EXPECT_EQ(SET_OK, check_stored_set(row_, line, Set_Check_Depth::sizes));
  ASSERT_TRUE(write_file(path_, bytes + "x"));
  for (Set_Check_Depth depth : {Set_Check_Depth::sizes, Set_Check_Depth::digests}) {
    EXPECT_EQ(SET_MISMATCH, check_stored_set(row_, line, depth));
    EXPECT_TRUE(contains(line, "B1 B1.zst MISMATCH: stored size " + std::to_string(bytes.size() + 1) + ", recorded"))
        << line;
  }
}

TEST_F(AgentSetVerify, MissingFileIsMissingNotAMismatch) {
  ASSERT_EQ(0, ::unlink(path_.c_str()));
  std::string line;
  for (Set_Check_Depth depth : {Set_Check_Depth::sizes, Set_Check_Depth::digests}) {
    EXPECT_EQ(SET_MISSING, check_stored_set(row_, line, depth));
    EXPECT_EQ("B1 B1.zst MISSING: pool p1 holds no such file (file://" + sandbox_.path() + "/pool/res/B1.zst)", line);
  }
}

TEST_F(AgentSetVerify, RowWithoutADigestIsNotVerifiedAndABadRowIsUnchecked) {
  std::string line;
  nlohmann::json old = row_;
  old["storages"][0].erase("digest");
  EXPECT_EQ(SET_NOT_VERIFIED, check_stored_set(old, line));
  EXPECT_EQ("B1 B1.zst not verified: no digest recorded", line);
  EXPECT_EQ(SET_OK, check_stored_set(old, line, Set_Check_Depth::sizes));

  nlohmann::json other_pool = row_;
  other_pool["pool_uuid"] = "pool-9";
  EXPECT_EQ(SET_UNCHECKED, check_stored_set(other_pool, line));
  EXPECT_TRUE(contains(line, "cannot check: pool pool-9 is not registered")) << line;
  nlohmann::json no_storage = row_;
  no_storage.erase("storages");
  EXPECT_EQ(SET_UNCHECKED, check_stored_set(no_storage, line));
  nlohmann::json bad_digest = row_;
  bad_digest["storages"][0]["digest"] = "nope";
  EXPECT_EQ(SET_UNCHECKED, check_stored_set(bad_digest, line));
  EXPECT_TRUE(contains(line, "malformed")) << line;
}

// A job that runs a fixed script on a detached thread of its own: log
// lines, two progress events, then success, or an alert and failure.
class Scripted_Job : public Job {
 public:
  Scripted_Job(const Job_Definition_var& def, bool succeed) : Job(def), succeed_(succeed) {}

 protected:
  int start_i(const Action_Options*) override {
    std::unique_ptr<Job_var> self(new Job_var(this));
    if (ACE_Thread_Manager::instance()->spawn(run, self.get(), THR_NEW_LWP | THR_DETACHED) == -1) return -1;
    self.release();
    return 0;
  }
  int stop_i(const Action_Options*) override { return -1; }
  int resume_i(const Action_Options*) override { return -1; }
  int abort_i(const Action_Options*) override { return -1; }
  int remove_i(int, const Action_Options*) override { return -1; }
  int update_i(const Job_Definition_var&) override { return -1; }
  int rollback_i() override { return -1; }
  void* run_i(const Action_Options*) override { return nullptr; }

 private:
  static ACE_THR_FUNC_RETURN run(void* arg) {
    std::unique_ptr<Job_var> self(static_cast<Job_var*>(arg));
    static_cast<Scripted_Job*>(self->get())->script();
    return 0;
  }
  void script() {
    set_job_thread();
    state(JOB_STATE_RUNNING);
    ACE_ERROR((LM_ERROR, ACE_TEXT("first step of this run\n")));
    for (int p : {30, 60}) Job_Event_Manager::instance()->putq(new Job_Progress_Event(definition(), p, 0, 0, 0, 0));
    if (succeed_) {
      activity().set_size = 4096;
      activity().set_storage_size = 1024;
      state(JOB_STATE_COMPLETED);
    } else {
      write_job_alert(*this, 7, 13, 0, nlohmann::json());
      ACE_ERROR((LM_ERROR, ACE_TEXT("storage refused the file\n")));
      activity().code = 13;
      state(JOB_STATE_ERROR);
    }
    complete();
  }
  bool succeed_;
};

class Scripted_Creator : public Job_Creator {
 public:
  enum Mode { NO_JOB, SUCCEED, FAIL };
  explicit Scripted_Creator(Mode mode) : mode_(mode) {}
  Job_var create(Job_Definition_var def) override {
    if (mode_ == NO_JOB) return Job_var();
    return Job_var(new Scripted_Job(def, mode_ == SUCCEED));
  }

 private:
  Mode mode_;
};

class AgentJobRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    def_ = Job_Definition_var(new Job_Definition());
    def_->id("def-runner-1");
    def_->type(JOB_DEFINITION_BACKUP);
    def_->subtype(JOB_DEFINITION_SUBTYPE_FULL);
  }
  void TearDown() override {
    ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(10);
    ACE_Thread_Manager::instance()->wait(&deadline);
  }
  bool run(Scripted_Creator::Mode mode, Run_Outcome& outcome) {
    Scripted_Creator creator(mode);
    Run_Settings settings;
    settings.timeout_seconds = 30;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = run_job(creator, def_, settings, outcome);
    out_ = testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
    return ok;
  }
  Test_Sandbox sandbox_;
  Job_Definition_var def_;
  std::string out_, err_;
};

TEST_F(AgentJobRunner, CompletedJobShowsProgressAndAnswersTrue) {
  Run_Outcome outcome;
  EXPECT_TRUE(run(Scripted_Creator::SUCCEED, outcome)) << err_;
  EXPECT_EQ(JOB_STATE_COMPLETED, outcome.state);
  EXPECT_EQ(4096u, outcome.set_size);
  EXPECT_EQ(1024u, outcome.set_storage_size);
  // The run is named as its job log is, apart from the definition.
  EXPECT_TRUE(std::regex_match(outcome.run, std::regex("[0-9]{8}-[0-9]{6}\\.[0-9]+\\.[0-9]+"))) << outcome.run;
  EXPECT_NE(std::string::npos, outcome.log.find(outcome.run + ".log")) << outcome.log;
  EXPECT_TRUE(contains(out_, "backup (full) run " + outcome.run + " started (job def-runner-1)")) << out_;
  EXPECT_TRUE(contains(out_, "progress: 30%\nprogress: 60%\n")) << out_;
  EXPECT_FALSE(contains(err_, "alert")) << err_;
  EXPECT_FALSE(contains(err_, "last lines of the job log")) << err_;
}

TEST_F(AgentJobRunner, FailedJobShowsItsAlertsAndOnlyThisRunsLogLines) {
  ASSERT_TRUE(write_file(sandbox_.state_file("logs/def-runner-1.log"),
                         "2026-01-01 00:00:00.000 ERROR line of an earlier run\n") ||
              (mkdir(sandbox_.state_file("logs").c_str(), 0700) == 0 &&
               write_file(sandbox_.state_file("logs/def-runner-1.log"),
                          "2026-01-01 00:00:00.000 ERROR line of an earlier run\n")));
  Run_Outcome outcome;
  EXPECT_FALSE(run(Scripted_Creator::FAIL, outcome));
  EXPECT_EQ(JOB_STATE_ERROR, outcome.state);
  // The headline names this run's first error, the alert after it.
  EXPECT_TRUE(
      contains(err_, "the backup (full) job failed: first step of this run (alert 13: storage connection failed)\n"))
      << err_;
  EXPECT_TRUE(contains(err_, "last lines of the job log")) << err_;
  EXPECT_TRUE(contains(err_, "first step of this run")) << err_;
  EXPECT_TRUE(contains(err_, "storage refused the file")) << err_;
  EXPECT_FALSE(contains(err_, "earlier run")) << err_;
}

TEST_F(AgentJobRunner, DefinitionWithoutAJobIsReportedAsFailure) {
  Run_Outcome outcome;
  EXPECT_FALSE(run(Scripted_Creator::NO_JOB, outcome));
  EXPECT_TRUE(contains(err_, "the module made no job for this backup (full) definition")) << err_;
  EXPECT_EQ("", out_);
}

}  // namespace
