#include "host/base/job_cancel.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/process/text_process_handler.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_paths.h"

namespace {

using Clock = std::chrono::steady_clock;

// Binds a fresh cancel state to the test's thread and unbinds it after.
class JobCancelTest : public ::testing::Test {
 protected:
  void SetUp() override { bind_job_cancel(cancel_); }
  void TearDown() override { bind_job_cancel(nullptr); }

  // Starts `command` through `handler` in the background.
  static int spawn(Text_Process_Handler& handler, const char* command) {
    ACE_Process_Options options;
    options.command_line("%s", command);
    ACE_Process_Ex process(ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR, nullptr, nullptr);
    return handler.spawn(process, options, nullptr);
  }

  std::shared_ptr<Job_Cancel> cancel_ = std::make_shared<Job_Cancel>();
};

TEST_F(JobCancelTest, RequestEndsARunningChildAndItsWaiterReturns) {
  Text_Process_Handler handler;
  const int pid = spawn(handler, "/bin/sleep 60");
  ASSERT_GT(pid, 0);
  // The child's owner waits on another thread, as a run waits for its tool.
  int result = 0;
  std::thread owner([&] { result = handler.wait(); });
  const Clock::time_point t0 = Clock::now();
  cancel_->request();
  owner.join();
  EXPECT_EQ(128 + SIGTERM, result);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
  EXPECT_NE(0, ::kill(pid, 0));
}

TEST_F(JobCancelTest, ChildThatIgnoresTermIsKilled) {
  // The child says when it ignores TERM: on a busy machine a fixed pause
  // may end before the shell has run its trap.
  Temp_Dir tmp;
  const std::string ready = tmp / "ready";
  Text_Process_Handler handler;
  const std::string command = "/bin/sh -c \"trap '' TERM; : > " + ready + "; sleep 60 & wait; sleep 60\"";
  const int pid = spawn(handler, command.c_str());
  ASSERT_GT(pid, 0);
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(60);
  while (::access(ready.c_str(), F_OK) != 0 && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(0, ::access(ready.c_str(), F_OK));
  cancel_->request();
  EXPECT_EQ(128 + SIGKILL, handler.wait());
}

TEST_F(JobCancelTest, NothingStartsOnceCancelled) {
  cancel_->request();
  Log_Capture log;
  Text_Process_Handler handler;
  EXPECT_EQ(-1, spawn(handler, "/bin/true"));
  EXPECT_NE(std::string::npos, log.all().find("the job is being cancelled"));
  cancel_->reset();
  EXPECT_GT(spawn(handler, "/bin/true"), 0);
  EXPECT_EQ(0, handler.wait());
}

TEST_F(JobCancelTest, ChildrenOfThreadsWithoutAJobAreNotTouched) {
  Text_Process_Handler handler;
  int pid = 0;
  std::thread other([&] { pid = spawn(handler, "/bin/sleep 60"); });
  other.join();
  ASSERT_GT(pid, 0);
  cancel_->request();
  EXPECT_EQ(0, ::kill(pid, 0));
  EXPECT_EQ(0, handler.terminate(100));
}

TEST_F(JobCancelTest, CleanupStepStartsInACancelledJobAndOutlivesTheAbort) {
  cancel_->request();
  Text_Process_Handler handler;
  {
    const Cleanup_Scope cleanup(std::chrono::seconds(60));
    ASSERT_GT(spawn(handler, "/bin/sh -c \"sleep 1; exit 7\""), 0);
  }
  // An abort coming again meanwhile leaves the step alone.
  cancel_->reset();
  cancel_->request();
  EXPECT_EQ(7, handler.wait());
  // Outside the scope the job's cancel holds again.
  EXPECT_EQ(-1, spawn(handler, "/bin/true"));
}

TEST_F(JobCancelTest, CleanupStepIsEndedAtItsOwnLimit) {
  Log_Capture log;
  Text_Process_Handler handler;
  ACE_Process_Options options;
  options.command_line("%s", "/bin/sleep 60");
  const Clock::time_point t0 = Clock::now();
  {
    const Cleanup_Scope outer(std::chrono::seconds(60));
    const Cleanup_Scope inner(std::chrono::milliseconds(300));
    EXPECT_EQ(128 + SIGTERM, handler.call(ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR, options));
  }
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
  EXPECT_NE(std::string::npos, log.all().find("ran longer than its limit of 300 ms as a clean-up step")) << log.all();
  EXPECT_EQ(nullptr, Cleanup_Scope::current());
}

}  // namespace
