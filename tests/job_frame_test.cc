#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_event_manager.h"
#include "job/default_job_t.h"
#include "job/job_executor_t.h"
#include "oscar/oscar_job_creator.h"
#include "tests/support/module_threads.h"
#include "tests/support/sandbox.h"

namespace {

class Test_Source : public Job_Source {
 public:
  int generate(yajl_gen_t*) const override { return 0; }
};

class Test_Options : public Job_Options {
 public:
  int generate(yajl_gen_t*) override { return 0; }
};

// What the test executors do and what they saw. One per test; the executors
// reach it through a global, since the frame builds them from the job only.
struct Probe {
  bool active = true;
  bool condition = true;
  bool work = true;
  std::atomic<int> condition_calls{0};
  std::atomic<int> work_calls{0};
  std::atomic<int> setup_ondemand_calls{0};
  std::atomic<int> remove_ondemand_calls{0};
  std::atomic<int> remove_calls{0};
  std::atomic<int> update_calls{0};
  std::string update_pre_def_id;
  bool saw_null_options = false;
  std::string option_value;
  std::vector<std::string> order;  // operations in call order

  // execute_i waits until `gate_open` (bounded) when `hold_work` is set.
  bool hold_work = false;
  std::mutex m;
  std::condition_variable cv;
  bool gate_open = false;
  bool work_started = false;

  std::set<ACE_thread_t> rollback_threads;
  int rollbacks_waiting_for = 0;
};

Probe* g_probe = nullptr;

class Test_Executor : public Job_Executor_T<Test_Source, Test_Options, Job_Event_Handler> {
 public:
  explicit Test_Executor(Job& job) : Job_Executor_T(job) {}

  bool is_active(const Action_Options*) override { return g_probe->active; }

  bool check_condition() override {
    ++g_probe->condition_calls;
    return g_probe->condition;
  }

  bool execute_i(const Action_Options* options) override {
    ++g_probe->work_calls;
    {
      std::lock_guard<std::mutex> lock(g_probe->m);
      g_probe->order.push_back("work");
      g_probe->saw_null_options = options == nullptr;
      if (options != nullptr && options->count("k") != 0) g_probe->option_value = options->at("k");
      g_probe->work_started = true;
    }
    g_probe->cv.notify_all();
    if (g_probe->hold_work) {
      std::unique_lock<std::mutex> lock(g_probe->m);
      g_probe->cv.wait_for(lock, std::chrono::seconds(10), [] { return g_probe->gate_open; });
    }
    return g_probe->work;
  }

  bool setup_ondemand() override {
    ++g_probe->setup_ondemand_calls;
    return true;
  }

  bool remove_ondemand() override {
    ++g_probe->remove_ondemand_calls;
    g_probe->order.push_back("remove_ondemand");
    return true;
  }

  bool remove() override {
    ++g_probe->remove_calls;
    g_probe->order.push_back("remove");
    return true;
  }

  bool update(Job_Definition_var pre_def) override {
    ++g_probe->update_calls;
    g_probe->update_pre_def_id = pre_def->id();
    return true;
  }

  bool rollback() override {
    std::unique_lock<std::mutex> lock(g_probe->m);
    g_probe->rollback_threads.insert(ACE_Thread::self());
    g_probe->cv.notify_all();
    // Both rollbacks must be running at the same time to get here twice.
    g_probe->cv.wait_for(lock, std::chrono::seconds(10), [] {
      return static_cast<int>(g_probe->rollback_threads.size()) >= g_probe->rollbacks_waiting_for;
    });
    return true;
  }
};

typedef Default_Job_T<Test_Executor> Test_Job;

const ACE_Time_Value RUN_LIMIT(20);

class JobFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    g_probe = &probe_;
    Job_Event_Manager::instance()->drain();
    def_ = Job_Definition_var(new Job_Definition());
    def_->type(JOB_DEFINITION_BACKUP);
    def_->id("def-1");
    def_->uid("00112233-4455-6677-8899-aabbccddeeff");
    def_->source(Job_Definition::Source_var(new Test_Source()));
  }

  void TearDown() override {
    EXPECT_TRUE(wait_for_module_threads());
    g_probe = nullptr;
  }

  Job_var make_job() { return Job_var(new Test_Job(def_)); }

  // Starts a run and waits for it to complete.
  void run(const Job_var& job, const Action_Options* opts = nullptr) {
    ASSERT_EQ(0, job->start(opts));
    ASSERT_TRUE(job->wait_for_completion(RUN_LIMIT));
  }

  // The states of the Job_State_Events posted so far, in order.
  static std::vector<Job_State> state_events() {
    std::vector<Job_State> states;
    for (const std::unique_ptr<Job_Event>& e : Job_Event_Manager::instance()->drain())
      if (e->kind() == Job_Event::STATE) states.push_back(static_cast<const Job_State_Event&>(*e).state());
    return states;
  }

  std::string marker(const char* name) const { return sandbox_ / name; }
  bool exists(const char* name) const { return ACE_OS::access(marker(name).c_str(), F_OK) == 0; }

  Test_Sandbox sandbox_;
  Probe probe_;
  Job_Definition_var def_;
};

TEST_F(JobFrame, InactiveExecutorIsSkippedWithoutEventsOrScripts) {
  probe_.active = false;
  def_->precondition("touch " + marker("pre-condition"));
  def_->pre_action("touch " + marker("pre"));
  def_->post_action("touch " + marker("post"));
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(JOB_STATE_SKIPPED, job->activity().state.load());
  EXPECT_NE(0, job->activity().last_run_time);
  EXPECT_EQ(0, probe_.condition_calls.load());
  EXPECT_EQ(0, probe_.work_calls.load());
  EXPECT_FALSE(exists("pre-condition"));
  EXPECT_FALSE(exists("pre"));
  EXPECT_FALSE(exists("post"));
  EXPECT_TRUE(state_events().empty());
}

TEST_F(JobFrame, FailingPreconditionLeavesIdleWithoutConsultingCondition) {
  def_->precondition("exit 1");
  Job_var job = make_job();
  job->activity().state = JOB_STATE_COMPLETED;
  run(job);
  EXPECT_EQ(JOB_STATE_IDLE, job->activity().state.load());
  EXPECT_EQ(0, probe_.condition_calls.load());
  EXPECT_EQ(0, probe_.work_calls.load());
  EXPECT_TRUE(state_events().empty());
}

TEST_F(JobFrame, FailingConditionLeavesIdleAfterPreconditionRan) {
  probe_.condition = false;
  def_->precondition("touch " + marker("pre-condition"));
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(JOB_STATE_IDLE, job->activity().state.load());
  EXPECT_TRUE(exists("pre-condition"));
  EXPECT_EQ(1, probe_.condition_calls.load());
  EXPECT_EQ(0, probe_.work_calls.load());
}

TEST_F(JobFrame, FailingPreActionSkipsWorkAndPostAction) {
  def_->pre_action("exit 3");
  def_->post_action("touch " + marker("post"));
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(0, probe_.work_calls.load());
  EXPECT_FALSE(exists("post"));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
  EXPECT_EQ(-1, job->activity().code);
  EXPECT_EQ(std::vector<Job_State>({JOB_STATE_RUNNING, JOB_STATE_ERROR}), state_events());
}

TEST_F(JobFrame, FailingPreActionRunsPostActionWhenAlwaysAsked) {
  def_->pre_action("exit 3");
  def_->post_action("touch " + marker("post"));
  def_->run_post_action_always(true);
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(0, probe_.work_calls.load());
  EXPECT_TRUE(exists("post"));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
  EXPECT_EQ(-1, job->activity().code);
}

TEST_F(JobFrame, IgnoredPreActionFailureLetsTheRunSucceed) {
  def_->pre_action("exit 3");
  def_->ignore_pre_action_failure(true);
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(1, probe_.work_calls.load());
  EXPECT_EQ(JOB_STATE_COMPLETED, job->activity().state.load());
}

TEST_F(JobFrame, CancellationDuringPreActionEndsCanceled) {
  def_->pre_action("touch " + marker("pre-started") + "; sleep 1");
  Job_var job = make_job();
  ASSERT_EQ(0, job->start());
  for (int i = 0; i < 500 && !exists("pre-started"); ++i) ACE_OS::sleep(ACE_Time_Value(0, 10000));
  ASSERT_TRUE(exists("pre-started"));
  EXPECT_EQ(0, job->abort());
  ASSERT_TRUE(job->wait_for_completion(RUN_LIMIT));
  EXPECT_EQ(0, probe_.work_calls.load());
  EXPECT_EQ(JOB_STATE_CANCELED, job->activity().state.load());
  EXPECT_EQ(std::vector<Job_State>({JOB_STATE_RUNNING, JOB_STATE_CANCELED}), state_events());
}

TEST_F(JobFrame, AbortWithoutARunIsRefused) {
  Job_var job = make_job();
  EXPECT_EQ(-1, job->abort());
  EXPECT_EQ(JOB_STATE_IDLE, job->activity().state.load());
}

TEST_F(JobFrame, EmptyPostActionSucceedsWithoutCompletingState) {
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(1, probe_.work_calls.load());
  EXPECT_EQ(JOB_STATE_COMPLETED, job->activity().state.load());
  EXPECT_EQ(std::vector<Job_State>({JOB_STATE_RUNNING, JOB_STATE_COMPLETED}), state_events());
  const unsigned char expected[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                      0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(0, memcmp(expected, job->activity().uid, 16));
}

TEST_F(JobFrame, NonEmptyPostActionMovesToCompletingFirst) {
  def_->post_action("touch " + marker("post"));
  Job_var job = make_job();
  run(job);
  EXPECT_TRUE(exists("post"));
  EXPECT_EQ(JOB_STATE_COMPLETED, job->activity().state.load());
  EXPECT_EQ(std::vector<Job_State>({JOB_STATE_RUNNING, JOB_STATE_COMPLETING, JOB_STATE_COMPLETED}), state_events());
}

TEST_F(JobFrame, FailingPostActionFailsTheRunUnlessIgnored) {
  def_->post_action("exit 2");
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());

  def_->ignore_post_action_failure(true);
  run(job);
  EXPECT_EQ(JOB_STATE_COMPLETED, job->activity().state.load());
}

TEST_F(JobFrame, FailedWorkStillRunsPostActionWhenAlwaysAskedAndFails) {
  probe_.work = false;
  def_->post_action("touch " + marker("post"));
  def_->run_post_action_always(true);
  Job_var job = make_job();
  run(job);
  EXPECT_TRUE(exists("post"));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
}

TEST_F(JobFrame, FailedWorkSkipsPostActionByDefault) {
  probe_.work = false;
  def_->post_action("touch " + marker("post"));
  Job_var job = make_job();
  run(job);
  EXPECT_FALSE(exists("post"));
  EXPECT_EQ(JOB_STATE_ERROR, job->activity().state.load());
}

TEST_F(JobFrame, NullSourceEndsTheRunWithoutStateChangeOrRunEvents) {
  def_->source(Job_Definition::Source_var());
  Job_var job = make_job();
  run(job);
  EXPECT_EQ(0, probe_.work_calls.load());
  EXPECT_EQ(JOB_STATE_IDLE, job->activity().state.load());
  EXPECT_EQ(1u, job->completed_runs());
  EXPECT_TRUE(state_events().empty());
}

TEST_F(JobFrame, RunOptionsReachTheExecutorAndEmptyOnesArriveAsNull) {
  Job_var job = make_job();
  run(job, nullptr);
  EXPECT_TRUE(probe_.saw_null_options);

  const Action_Options empty;
  run(job, &empty);
  EXPECT_TRUE(probe_.saw_null_options);

  const Action_Options opts = {{"k", "v"}};
  run(job, &opts);
  EXPECT_FALSE(probe_.saw_null_options);
  EXPECT_EQ("v", probe_.option_value);
}

TEST_F(JobFrame, StartWhileRunningIsRefused) {
  probe_.hold_work = true;
  Job_var job = make_job();
  ASSERT_EQ(0, job->start());
  {
    std::unique_lock<std::mutex> lock(probe_.m);
    ASSERT_TRUE(probe_.cv.wait_for(lock, std::chrono::seconds(10), [this] { return probe_.work_started; }));
  }
  EXPECT_EQ(-1, job->start());
  EXPECT_EQ(EBUSY, errno);
  {
    std::lock_guard<std::mutex> lock(probe_.m);
    probe_.gate_open = true;
  }
  probe_.cv.notify_all();
  ASSERT_TRUE(job->wait_for_completion(RUN_LIMIT));
  EXPECT_EQ(1, probe_.work_calls.load());
}

TEST_F(JobFrame, StopAndResumeAreDeclined) {
  Job_var job = make_job();
  EXPECT_EQ(-1, job->stop());
  EXPECT_EQ(-1, job->resume());
  EXPECT_EQ(0, job->handle_exception(ACE_INVALID_HANDLE));
}

TEST_F(JobFrame, OnDemandJobSetsUpAtConstructionAndRemovesBoth) {
  def_->schedule(Job_Schedule::TYPE_ONDEMAND);
  Job_var job = make_job();
  EXPECT_EQ(1, probe_.setup_ondemand_calls.load());
  EXPECT_EQ(0, job->remove(0));
  EXPECT_EQ(std::vector<std::string>({"remove_ondemand", "remove"}), probe_.order);
}

TEST_F(JobFrame, ScheduledJobRemovesWithoutOnDemandStep) {
  Job_var job = make_job();
  EXPECT_EQ(0, probe_.setup_ondemand_calls.load());
  EXPECT_EQ(0, job->remove(0));
  EXPECT_EQ(std::vector<std::string>({"remove"}), probe_.order);
}

TEST_F(JobFrame, UpdateHandsTheReplacedDefinitionToTheExecutor) {
  Job_var job = make_job();
  Job_Definition_var next(new Job_Definition());
  next->id("def-2");
  EXPECT_EQ(0, job->update(next));
  EXPECT_EQ(1, probe_.update_calls.load());
  EXPECT_EQ("def-1", probe_.update_pre_def_id);
  EXPECT_EQ("def-2", job->definition().id());
}

TEST_F(JobFrame, TwoRollbacksRunOnTwoSeparateThreads) {
  probe_.rollbacks_waiting_for = 2;
  const long unused = def_.count();
  Job_var job = make_job();
  ASSERT_EQ(0, job->rollback());
  ASSERT_EQ(0, job->rollback());
  std::unique_lock<std::mutex> lock(probe_.m);
  ASSERT_TRUE(
      probe_.cv.wait_for(lock, std::chrono::seconds(10), [this] { return probe_.rollback_threads.size() == 2; }));
  EXPECT_EQ(0u, probe_.rollback_threads.count(ACE_Thread::self()));
  lock.unlock();
  // The rollback threads hold the job: once the test lets go too, the last
  // of them destroys it.
  job = Job_var();
  for (int i = 0; i < 1000 && def_.count() > unused; ++i) ACE_OS::sleep(ACE_Time_Value(0, 10000));
  EXPECT_EQ(unused, def_.count());
}

TEST_F(JobFrame, ReleasingTheJobDuringARunLetsTheRunFinish) {
  probe_.hold_work = true;
  def_->post_action("touch " + marker("post"));
  const long unused = def_.count();
  Job_var job = make_job();
  ASSERT_EQ(0, job->start());
  {
    std::unique_lock<std::mutex> lock(probe_.m);
    ASSERT_TRUE(probe_.cv.wait_for(lock, std::chrono::seconds(10), [this] { return probe_.work_started; }));
  }
  // The host lets go of the job while the run is in progress.
  job = Job_var();
  {
    std::lock_guard<std::mutex> lock(probe_.m);
    probe_.gate_open = true;
  }
  probe_.cv.notify_all();
  // The job holds a reference to the definition until it is destroyed,
  // which the run thread does once it has completed the run.
  for (int i = 0; i < 2000 && def_.count() > unused; ++i) ACE_OS::sleep(ACE_Time_Value(0, 10000));
  EXPECT_EQ(unused, def_.count());
  EXPECT_TRUE(exists("post"));
  const std::vector<Job_State> states = state_events();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(JOB_STATE_COMPLETED, states.back());
}

TEST_F(JobFrame, MakeDefaultJobWrapsTheExecutor) {
  Job_var job = oscar::make_default_job<Test_Executor>(def_);
  ASSERT_TRUE(job.get() != nullptr);
  run(job);
  EXPECT_EQ(1, probe_.work_calls.load());
}

}  // namespace
