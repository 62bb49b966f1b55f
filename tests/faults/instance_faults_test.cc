// Faults around the instance a physical job stops and starts: a pid file
// that names a process that is not the server, a server that will not stop
// when asked, and a backup of an instance without archive logs that fails
// after the instance was shut down.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/faults/fault_fixture.h"

namespace {

// A process that is not the server: a child that sleeps until killed.
class Bystander {
 public:
  Bystander() {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Bystander() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  // Whether it still runs, neither ended nor a zombie.
  bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_;
};

TEST_F(FaultSuite, StalePidFileNamingAnotherProcessIsNotSignalledByTheRestore) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, home_.admin("stop").status);
  Bystander other;
  ASSERT_GT(other.pid(), 0);
  // The server is gone, but its pid file names a live process.
  ASSERT_TRUE(write_file(home_.root() + "/admin/DB1.db", std::to_string(other.pid()) + "\n"));

  const Run_Result r = restore();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(other.alive()) << "the restore signalled a process that is not the server";
  EXPECT_EQ(backed_up, data_checksum());
  // Found stopped, left stopped.
  EXPECT_TRUE(contains(r.out, "DB1 stopped again, as it was before the restore")) << r.out;
  expect_clean(1, false);
}

TEST_F(FaultSuite, ServerThatIgnoresTermIsKilledAndTheRestoreCompletes) {
  ASSERT_EQ(0, backup("full").status);
  const std::string backed_up = data_checksum();
  ASSERT_EQ(0, home_.admin("touch").status);
  ASSERT_EQ(0, home_.admin("set", {"faults.server=ignore-term"}).status);

  const Run_Result r = restore();
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(backed_up, data_checksum());
  expect_clean(1);
}

TEST_F(FaultSuite, FailedBackupWithoutArchiveLogsStartsTheInstanceAgain) {
  ASSERT_EQ(0, home_.admin("set", {"archive_mode=NOARCHIVELOG"}).status);
  const std::string pid_file = home_.root() + "/admin/DB1.db";
  const std::string server_before = read_file(pid_file);
  const Run_Result r = backup("full", {}, {"OSCAR_SIM_BRCMD_FAULT=die-after=100000"});
  EXPECT_EQ(1, r.status) << r.out << r.err;
  // It was shut down for the backup and is a new server now.
  EXPECT_NE(server_before, read_file(pid_file));
  expect_clean(0, true);
}

}  // namespace
