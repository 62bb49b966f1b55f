// Every run of a job logs to a file of its own, also when runs of one
// definition happen at once in one process or in several.
#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "host/base/agent_state.h"
#include "host/jobs/job_alert.h"
#include "tests/support/plain_job.h"
#include "tests/support/test_paths.h"

namespace {

class JobLogName : public ::testing::Test {
 protected:
  void SetUp() override {
    set_agent_state_dir(tmp_.path());
    def_ = Job_Definition_var(new Job_Definition());
    def_->id("job/../7");
  }
  void TearDown() override {
    bind_log_callback(ACE_Log_Msg_Callback_var());
    set_agent_state_dir("");
  }

  // Logs one line into the job's current log from this thread.
  static void log_line(Job& job, const char* text) {
    job.set_job_thread();
    ACE_DEBUG((LM_INFO, ACE_TEXT("%C\n"), text));
    bind_log_callback(ACE_Log_Msg_Callback_var());
  }

  bool well_formed(const std::string& path) const {
    const std::string prefix = tmp_.path() + "/logs/job_.._7.";
    return path.compare(0, prefix.size(), prefix) == 0 && path.size() > prefix.size() + 4 &&
           path.compare(path.size() - 4, 4, ".log") == 0 && path.find('/', prefix.size()) == std::string::npos;
  }

  Temp_Dir tmp_;
  Job_Definition_var def_;
};

TEST_F(JobLogName, ConcurrentRunsOfOneDefinitionWriteSeparateFiles) {
  Job_var a(new Plain_Job(def_));
  Job_var b(new Plain_Job(def_));
  EXPECT_TRUE(well_formed(a->log_file_path())) << a->log_file_path();
  EXPECT_TRUE(well_formed(b->log_file_path())) << b->log_file_path();
  ASSERT_NE(a->log_file_path(), b->log_file_path());
  ASSERT_EQ(0, a->start());
  ASSERT_EQ(0, b->start());
  log_line(*a, "line of run a");
  log_line(*b, "line of run b");
  a->complete();
  b->complete();
  const std::string log_a = read_file(a->log_file_path());
  const std::string log_b = read_file(b->log_file_path());
  EXPECT_NE(std::string::npos, log_a.find("line of run a")) << log_a;
  EXPECT_EQ(std::string::npos, log_a.find("line of run b")) << log_a;
  EXPECT_NE(std::string::npos, log_b.find("line of run b")) << log_b;
  EXPECT_EQ(std::string::npos, log_b.find("line of run a")) << log_b;
}

TEST_F(JobLogName, EachRunGetsANewFileAndTheFirstKeepsThePathTakenBeforeStart) {
  Job_var job(new Plain_Job(def_));
  const std::string before = job->log_file_path();
  ASSERT_EQ(0, job->start());
  EXPECT_EQ(before, job->log_file_path()) << "a caller may read the first run's path before starting it";
  log_line(*job, "first run");
  job->complete();

  ASSERT_EQ(0, job->start());
  const std::string second = job->log_file_path();
  EXPECT_TRUE(well_formed(second)) << second;
  EXPECT_NE(before, second);
  log_line(*job, "second run");
  ASSERT_EQ(0, write_job_alert(*job, 3, 5, 0, nlohmann::json()));
  job->complete();

  EXPECT_EQ(std::string::npos, read_file(before).find("second run"));
  EXPECT_NE(std::string::npos, read_file(second).find("second run"));
  // The run's alerts sit beside its log.
  const std::string alerts = job_alert_file_path(*job);
  EXPECT_EQ(second.substr(0, second.size() - 4) + ".alerts", alerts);
  EXPECT_NE(std::string::npos, read_file(alerts).find("\"code\":5")) << read_file(alerts);
}

TEST_F(JobLogName, AnotherProcessNamesAnotherFile) {
  Job_var here(new Plain_Job(def_));
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Job_var there(new Plain_Job(def_));
    const std::string path = there->log_file_path();
    const bool ok = ::write(fds[1], path.data(), path.size()) == static_cast<ssize_t>(path.size());
    ::_exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  std::string theirs;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) theirs.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(well_formed(theirs)) << theirs;
  EXPECT_NE(here->log_file_path(), theirs);
  EXPECT_NE(std::string::npos, theirs.find("." + std::to_string(pid) + ".")) << theirs;
}

}  // namespace
