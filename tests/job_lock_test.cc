// Job_Lock: exclusion of the runs on one resource across the threads of a
// process and across processes.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "host/base/agent_state.h"
#include "host/base/job_cancel.h"
#include "host/base/job_mutex.h"
#include "host/base/sleep.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_paths.h"

namespace {

// A child process that takes the lock of a key and holds it until told to
// let go (or killed); every wait of the parent on it is bounded.
class Holder {
 public:
  Holder(const std::string& key, const std::string& name) {
    if (::pipe(ready_) != 0 || ::pipe(release_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      Job_Lock lock(key, name, ACE_Time_Value(30));
      const char c = lock.locked() ? '1' : '0';
      pollfd p{release_[0], POLLIN, 0};
      if (::write(ready_[1], &c, 1) == 1) ::poll(&p, 1, 60000);
      ::_exit(0);
    }
  }
  ~Holder() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap();
    }
    for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
      if (fd >= 0) ::close(fd);
  }

  pid_t pid() const { return pid_; }
  // Whether the child reported holding the lock, within 30 seconds.
  bool holds() {
    pollfd p{ready_[0], POLLIN, 0};
    char c = 0;
    return pid_ > 0 && ::poll(&p, 1, 30000) == 1 && ::read(ready_[0], &c, 1) == 1 && c == '1';
  }
  bool release() { return ::write(release_[1], "x", 1) == 1; }
  void kill_it() { ::kill(pid_, SIGKILL); }
  // Waits for the child, which ends by itself within 60 seconds.
  void reap() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  int ready_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t pid_ = -1;
};

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class JobLock : public ::testing::Test {
 protected:
  void SetUp() override {
    old_state_ = agent_state_dir();
    set_agent_state_dir(tmp_.path());
    set_host_sleep_scale(1.0);
  }
  void TearDown() override {
    set_host_sleep_observer(nullptr);
    set_agent_state_dir(old_state_);
  }

  Temp_Dir tmp_;
  std::string old_state_;
};

TEST_F(JobLock, WaitsForAHolderInAnotherProcessNamesItOnceThenGetsTheLock) {
  const std::string key = "oscar/DB1";
  Holder other(key, "nightly full of DB1");
  ASSERT_TRUE(other.holds());
  // The holder lets go at this run's first pause, that is after it found
  // the resource taken.
  int pauses = 0;
  set_host_sleep_observer([&](const ACE_Time_Value&) {
    if (pauses++ == 0) {
      EXPECT_TRUE(other.release());
    }
  });
  Log_Capture log;
  {
    Job_Lock lock(key, "second run", ACE_Time_Value(30));
    ASSERT_TRUE(lock.locked()) << lock.error();
    EXPECT_EQ("pid " + std::to_string(::getpid()) + " (second run)\n", read_file(Job_Lock::lock_file_path(key)));
  }
  set_host_sleep_observer(nullptr);
  EXPECT_GE(pauses, 1) << "the lock was free at once: the holder did not hold it";
  const std::string expected = "Job second run waits for the lock of oscar/DB1, held by pid " +
                               std::to_string(other.pid()) + " (nightly full of DB1)";
  EXPECT_EQ(1u, count(log.all(), expected)) << log.all();
  EXPECT_EQ(1u, count(log.all(), "waits for the lock")) << log.all();
  EXPECT_EQ("", read_file(Job_Lock::lock_file_path(key))) << "a released lock names no holder";
  other.reap();
}

TEST_F(JobLock, BoundedWaitFailsNamingTheHolderAndAKilledHolderReleases) {
  const std::string key = "oscar/DB2";
  Holder other(key, "holder job");
  ASSERT_TRUE(other.holds());
  {
    Log_Capture log;
    Job_Lock quick(key, "impatient", ACE_Time_Value(0));
    EXPECT_FALSE(quick.locked());
    EXPECT_NE(std::string::npos, quick.error().find("timed out after 0 seconds waiting for the lock of oscar/DB2, held "
                                                    "by pid " +
                                                    std::to_string(other.pid()) + " (holder job)"))
        << quick.error();
  }
  // Nothing of the failed attempt is left held in this process.
  std::thread([&] {
    ACE_Thread_Mutex& m = Job_Mutex::get(key);
    EXPECT_EQ(0, m.tryacquire());
    m.release();
  }).join();

  other.kill_it();
  other.reap();
  Job_Lock after(key, "after the crash", ACE_Time_Value(30));
  EXPECT_TRUE(after.locked()) << after.error();
}

TEST_F(JobLock, CancelEndsTheWaitWithNothingHeld) {
  const std::string key = "oscar/DB4";
  Holder other(key, "long backup");
  ASSERT_TRUE(other.holds());
  Job_Cancel cancel;
  // The job is aborted while its run waits: at its second pause.
  int pauses = 0;
  set_host_sleep_observer([&](const ACE_Time_Value&) {
    if (++pauses == 2) cancel.request();
  });
  {
    Job_Lock lock(key, "aborted run", ACE_Time_Value(3600), &cancel);
    set_host_sleep_observer(nullptr);
    EXPECT_FALSE(lock.locked());
    EXPECT_EQ(2, pauses) << "the wait went on after the cancel";
    EXPECT_NE(std::string::npos, lock.error().find("cancelled while waiting for the lock of oscar/DB4, held by pid " +
                                                   std::to_string(other.pid()) + " (long backup)"))
        << lock.error();
  }
  std::thread([&] {
    ACE_Thread_Mutex& m = Job_Mutex::get(key);
    EXPECT_EQ(0, m.tryacquire()) << "a cancelled wait keeps the process mutex";
    m.release();
  }).join();
  // Within the process the same holds: a second thread cancelled while the
  // first one holds the resource.
  Job_Lock first(key + "-local", "first", ACE_Time_Value(5));
  ASSERT_TRUE(first.locked()) << first.error();
  std::thread([&] {
    Job_Cancel cancelled;
    cancelled.request();
    Job_Lock second(key + "-local", "second", ACE_Time_Value(3600), &cancelled);
    EXPECT_FALSE(second.locked());
    EXPECT_NE(std::string::npos, second.error().find("cancelled while waiting")) << second.error();
  }).join();
  other.release();
  other.reap();
}

TEST_F(JobLock, HoldsTheProcessMutexAndExcludesOtherThreads) {
  const std::string key = "oscar/DB3";
  Job_Lock first(key, "first", ACE_Time_Value(5));
  ASSERT_TRUE(first.locked()) << first.error();
  std::thread([&] {
    EXPECT_NE(0, Job_Mutex::get(key).tryacquire()) << "existing users of Job_Mutex::get are excluded too";
    Job_Lock second(key, "second", ACE_Time_Value(0));
    EXPECT_FALSE(second.locked());
    EXPECT_NE(std::string::npos, second.error().find("pid " + std::to_string(::getpid()) + " (first)"))
        << second.error();
    Job_Lock other(key + "-other", "other resource", ACE_Time_Value(0));
    EXPECT_TRUE(other.locked()) << "other keys are independent: " << other.error();
  }).join();
}

TEST_F(JobLock, LockFilesAreSafeNamesWithPrivateMode) {
  const std::string odd = "../../etc/passwd\n" + std::string(300, 'x');
  {
    Job_Lock lock(odd, "odd", ACE_Time_Value(5));
    ASSERT_TRUE(lock.locked()) << lock.error();
  }
  const std::string path = Job_Lock::lock_file_path(odd);
  EXPECT_EQ(tmp_.path() + "/locks/", path.substr(0, tmp_.path().size() + 7));
  EXPECT_EQ(32u + 5u, path.size() - tmp_.path().size() - 7) << path;
  EXPECT_NE(path, Job_Lock::lock_file_path(odd + "y"));
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  set_agent_state_dir("");
  EXPECT_EQ("", Job_Lock::lock_file_path("k"));
  Job_Lock in_process("k", "no state", ACE_Time_Value(5));
  EXPECT_TRUE(in_process.locked()) << in_process.error();
}

}  // namespace
