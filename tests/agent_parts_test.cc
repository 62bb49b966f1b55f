// The parts of oscar-agent in process: command-line splitting, the
// catalogue table, the progress display and following a job to its end.

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "agent/arguments.h"
#include "agent/catalog_listing.h"
#include "agent/job_runner.h"
#include "agent/progress_display.h"
#include "host/jobs/job_alert.h"
#include "host/jobs/job_event_manager.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(AgentCommandLine, FlagsTakeNoValueAndOptionsTakeTheNextWord) {
  const char* argv[] = {"catalog", "DB1", "--json", "--state", "--odd", "--module", "m.so"};
  Command_Line line;
  std::string err;
  ASSERT_TRUE(split_command_line(7, argv, line, err)) << err;
  EXPECT_EQ((std::vector<std::string>{"catalog", "DB1"}), line.words);
  EXPECT_EQ(1u, line.flags.count("json"));
  EXPECT_EQ("--odd", option_value(line, "state"));  // a value may look like an option
  EXPECT_EQ("m.so", option_value(line, "module"));

  const Command_Form form{0, 1, {"state"}, {"state"}, {"json"}};
  EXPECT_FALSE(check_command_line(line, 1, form, err));
  EXPECT_EQ("unknown option --module", err);
  line.options.erase("module");
  EXPECT_TRUE(check_command_line(line, 1, form, err)) << err;
  line.words.push_back("DB2");
  EXPECT_FALSE(check_command_line(line, 1, form, err));
  EXPECT_EQ("unexpected argument \"DB2\"", err);
}

TEST(AgentCommandLine, TrailingOptionAndEmptyOptionAreRejected) {
  Command_Line line;
  std::string err;
  const char* trailing[] = {"backup", "--pool"};
  EXPECT_FALSE(split_command_line(2, trailing, line, err));
  EXPECT_EQ("option --pool needs a value", err);
  const char* empty[] = {"backup", "--"};
  EXPECT_FALSE(split_command_line(2, empty, line, err));
}

TEST(AgentCatalogTable, ColumnsAlignAndMissingFieldsShowAQuestionMark) {
  nlohmann::json rows = nlohmann::json::array();
  rows.push_back(
      {{"backup_id", "B1"}, {"type", "full"}, {"backup_set_size", 10}, {"pool_uuid", "u-1"}, {"backup_start_time", 0}});
  rows.push_back({{"backup_id", "B22222"}, {"type", "incremental"}, {"last_backup_id", "B1"}, {"pool_uuid", "u-2"}});
  const std::string table = format_catalog_table(rows, {{"u-1", "pool-one"}});
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = table.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(table.substr(start, nl - start));
  ASSERT_EQ(3u, lines.size()) << table;
  EXPECT_EQ(0u, lines[0].find("ID      TYPE         TIME"));
  EXPECT_TRUE(contains(lines[1], "pool-one")) << lines[1];
  EXPECT_TRUE(contains(lines[1], "  -")) << lines[1];  // a full backup rests on nothing
  EXPECT_TRUE(contains(lines[2], "u-2")) << lines[2];  // an unknown pool shows its uuid
  EXPECT_TRUE(contains(lines[2], "on B1")) << lines[2];
  EXPECT_TRUE(contains(lines[2], "  ?  ")) << lines[2];  // no time, no size
  EXPECT_EQ(lines[1].find("full"), lines[2].find("incremental"));
}

std::string run_display(bool terminal, const std::vector<int>& steps) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return std::string();
  {
    Progress_Display d(f, terminal);
    for (int p : steps) d.update(p);
    d.finish();
  }
  std::string text;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

TEST(AgentProgressDisplay, PlainLinesOnlyOnChangeAndClamped) {
  EXPECT_EQ("progress: 0%\nprogress: 5%\nprogress: 100%\n", run_display(false, {-3, 0, 5, 5, 140, 100}));
}

TEST(AgentProgressDisplay, TerminalBarRedrawsInPlaceAndEndsItsLine) {
  const std::string text = run_display(true, {50});
  EXPECT_EQ("\r[" + std::string(20, '#') + std::string(20, '.') + "]  50%\n", text);
  EXPECT_EQ("", run_display(true, {}));
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
  EXPECT_TRUE(contains(out_, "backup (full) job def-runner-1 started")) << out_;
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
  EXPECT_TRUE(contains(err_, "alert 13: storage connection failed")) << err_;
  EXPECT_TRUE(contains(err_, "the backup (full) job ended failed (code 13)")) << err_;
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
