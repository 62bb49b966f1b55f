#include <ace/Log_Msg.h>
#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "host/jobs/job.h"
#include "host/jobs/job_alert.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_thread_helper.h"
#include "job/default_job_t.h"
#include "job/job_executor_t.h"
#include "tests/support/module_threads.h"
#include "tests/support/sandbox.h"
#include "tests/support/test_paths.h"
#include "tollix/thread_helper.h"

namespace {

class Log_Source : public Job_Source {
 public:
  int generate(yajl_gen_t*) const override { return 0; }
};

// Logs from the run thread, from a worker that adopted the job's log and
// from a plain thread that did not.
class Logging_Executor : public Job_Executor_T<Log_Source, Job_Options, Job_Event_Handler> {
 public:
  explicit Logging_Executor(Job& job) : Job_Executor_T(job) {}

  bool execute_i(const Action_Options*) override {
    ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l line from the run thread\n")));
    Job_Thread_Helper worker(job_, THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, ACE_DEFAULT_THREAD_PRIORITY);
    if (worker.spawn(std::function<void()>([] { ACE_DEBUG((LM_INFO, ACE_TEXT("line from the worker\n"))); })) == -1)
      return false;
    worker.join();
    std::thread stray([] { ACE_DEBUG((LM_INFO, ACE_TEXT("line from a stray thread\n"))); });
    stray.join();
    write_job_alert(job_, 7, 12, 0, nlohmann::json());
    ACE_ERROR((LM_ERROR, ACE_TEXT("failure text\n")));
    return true;
  }
};

class JobLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ACE_LOG_MSG->msg_ostream(&stderr_copy_);
    ACE_LOG_MSG->set_flags(ACE_Log_Msg::OSTREAM);
    def_ = Job_Definition_var(new Job_Definition());
    def_->id("job/../7");
    def_->source(Job_Definition::Source_var(new Log_Source()));
  }
  void TearDown() override {
    EXPECT_TRUE(wait_for_module_threads());
    bind_log_callback(ACE_Log_Msg_Callback_var());
    ACE_LOG_MSG->clr_flags(ACE_Log_Msg::OSTREAM);
    ACE_LOG_MSG->msg_ostream(&std::cerr);
  }

  Test_Sandbox sandbox_;
  std::ostringstream stderr_copy_;
  Job_Definition_var def_;
};

TEST_F(JobLog, RunThreadAndAdoptingWorkerWriteTheJobLogAndStrayThreadsDoNot) {
  Job_var job(new Default_Job_T<Logging_Executor>(def_));
  ASSERT_EQ(0, job->start());
  ASSERT_TRUE(job->wait_for_completion(ACE_Time_Value(20)));
  EXPECT_EQ(JOB_STATE_COMPLETED, job->activity().state.load());

  // The id cannot lead the file out of the log directory.
  EXPECT_EQ(0u, job->log_file_path().rfind(sandbox_.state_file("logs/job_.._7."), 0)) << job->log_file_path();
  const std::string log = read_file(job->log_file_path());
  EXPECT_NE(std::string::npos, log.find("job_log_test.cc")) << log;
  EXPECT_NE(std::string::npos, log.find("INFO ")) << log;
  EXPECT_NE(std::string::npos, log.find("line from the run thread\n")) << log;
  EXPECT_NE(std::string::npos, log.find("line from the worker\n")) << log;
  EXPECT_NE(std::string::npos, log.find("ERROR failure text\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("stray")) << log;
}

TEST_F(JobLog, AlertsAreKeptWithTheJobAndWrittenAsJsonLines) {
  Job_var job(new Default_Job_T<Logging_Executor>(def_));
  ASSERT_EQ(0, job->start());
  ASSERT_TRUE(job->wait_for_completion(ACE_Time_Value(20)));
  ASSERT_EQ(0, write_job_alert(*job, 7, 3, 0, nlohmann::json({{"k", "v"}})));

  const std::vector<Job_Alert> alerts = job->alerts();
  ASSERT_EQ(2u, alerts.size());
  EXPECT_EQ(12, alerts[0].code);
  EXPECT_EQ(7, alerts[0].severity);
  EXPECT_EQ("null", alerts[0].detail);
  EXPECT_EQ(3, alerts[1].code);

  std::istringstream lines(read_file(job_alert_file_path(*job)));
  std::string line;
  std::vector<nlohmann::json> parsed;
  while (std::getline(lines, line)) parsed.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(2u, parsed.size());
  EXPECT_EQ(12, parsed[0]["code"]);
  EXPECT_EQ("job/../7", parsed[0]["definition_id"]);
  EXPECT_EQ("v", parsed[1]["detail"]["k"]);
}

TEST_F(JobLog, FailureMessageIsRecordedAndLoggedOnce) {
  Job_var job(new Default_Job_T<Logging_Executor>(def_));
  Job_Event_Handler handler(*job);
  handler.handle_failure(23, "Failed to create tablespace %s.", "TS1");
  EXPECT_EQ(23, job->activity().code);
  EXPECT_EQ("Failed to create tablespace TS1.", job->activity().message);
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
  const std::string out = stderr_copy_.str();
  const std::string text = "Failed to create tablespace TS1.";
  ASSERT_NE(std::string::npos, out.find(text));
  EXPECT_EQ(std::string::npos, out.find(text, out.find(text) + 1));
}

TEST(ThreadHelper, JoinableThreadRunsExistsUntilJoinedAndRefusesASecondSpawn) {
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  Thread_Helper helper(THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, ACE_DEFAULT_THREAD_PRIORITY);
  EXPECT_FALSE(helper.exists());
  ASSERT_NE(-1, helper.spawn(std::function<void()>([&] {
    ++runs;
    for (int i = 0; i < 1000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  })));
  EXPECT_TRUE(helper.exists());
  EXPECT_TRUE(helper.running());
  EXPECT_EQ(-1, helper.spawn(std::function<void()>([&] { ++runs; })));
  release = true;
  EXPECT_EQ(0, helper.join());
  EXPECT_FALSE(helper.exists());
  EXPECT_FALSE(helper.running());
  EXPECT_EQ(1, runs.load());
  EXPECT_EQ(0, helper.join());
}

class Counter {
 public:
  void* bump() {
    ++count;
    thread = ACE_Thread::self();
    return nullptr;
  }
  std::atomic<int> count{0};
  ACE_thread_t thread{};
};

TEST(ThreadHelper, MemberFunctionRunsOnANewThreadAndDestructorJoins) {
  Counter counter;
  {
    Thread_Helper helper(THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, ACE_DEFAULT_THREAD_PRIORITY);
    ASSERT_NE(-1, helper.spawn(&Counter::bump, &counter));
  }
  EXPECT_EQ(1, counter.count.load());
  EXPECT_FALSE(ACE_OS::thr_equal(counter.thread, ACE_Thread::self()));
}

TEST(ThreadHelper, DetachedThreadOutlivesItsHelper) {
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  {
    Thread_Helper helper(THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED, ACE_DEFAULT_THREAD_PRIORITY);
    ASSERT_NE(-1, helper.spawn(std::function<void()>([&] {
      for (int i = 0; i < 1000 && !go; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      done = true;
    })));
    EXPECT_FALSE(helper.exists());
  }
  go = true;
  for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(done.load());
}

class Starting_Probe : public Thread_Helper {
 public:
  Starting_Probe() : Thread_Helper(THR_NEW_LWP | THR_JOINABLE, ACE_DEFAULT_THREAD_PRIORITY) {}
  ~Starting_Probe() override { join(); }
  std::atomic<int> order{0};
  int starting_at = -1;
  int function_at = -1;

 protected:
  void handle_starting() override { starting_at = order++; }
};

TEST(ThreadHelper, StartingHookRunsOnTheNewThreadBeforeTheFunction) {
  Starting_Probe probe;
  ASSERT_NE(-1, probe.spawn(std::function<void()>([&probe] { probe.function_at = probe.order++; })));
  probe.join();
  EXPECT_EQ(0, probe.starting_at);
  EXPECT_EQ(1, probe.function_at);
}

}  // namespace
