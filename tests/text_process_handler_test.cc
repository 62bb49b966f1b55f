#include "host/process/text_process_handler.h"

#include <ace/Log_Record.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/job_log.h"
#include "host/process/process_env.h"
#include "host/process/subprocess.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_paths.h"

namespace {

using Clock = std::chrono::steady_clock;

const int BOTH = ACE_Process_Ex::CAPTURE_STDOUT | ACE_Process_Ex::CAPTURE_STDERR;

// Keeps every line it is handed, per stream.
class Recording_Handler : public Text_Process_Handler {
 public:
  explicit Recording_Handler(unsigned long max_line = 0) : Text_Process_Handler(max_line) {}
  ~Recording_Handler() override { terminate(100); }

  int handle_stdout_line(const char* line, unsigned long len) override {
    EXPECT_EQ('\0', line[len]);
    std::lock_guard<std::mutex> lock(mutex_);
    out_.emplace_back(line, len);
    return 0;
  }
  int handle_stderr_line(const char* line, unsigned long len) override {
    std::lock_guard<std::mutex> lock(mutex_);
    err_.emplace_back(line, len);
    return 0;
  }
  std::vector<std::string> out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  std::vector<std::string> err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> out_;
  std::vector<std::string> err_;
};

// Collects records handed to it directly, from any thread.
class Collecting_Callback : public ACE_Log_Msg_Callback {
 public:
  void log(ACE_Log_Record& record) override {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::to_string(record.type()) + " " + record.msg_data());
  }
  std::vector<std::string> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> records_;
};

// Options for one shell script written into dir.
class Script {
 public:
  Script(const Temp_Dir& dir, const std::string& body, size_t cmd_buf = 1024, size_t max_args = 128)
      : path_(dir / ("script" + std::to_string(++count_) + ".sh")), options_(true, cmd_buf, 16384, 512, max_args) {
    EXPECT_TRUE(write_file(path_, body));
    options_.command_line("%s", ("/bin/sh " + path_).c_str());
  }
  ACE_Process_Options& options() { return options_; }

 private:
  static int count_;
  std::string path_;
  ACE_Process_Options options_;
};
int Script::count_ = 0;

bool gone_or_zombie(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  const std::string::size_type close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool eventually_gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    if (gone_or_zombie(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TextProcessHandler : public ::testing::Test {
 protected:
  Temp_Dir tmp_;
};

TEST_F(TextProcessHandler, CallHandsLinesOfBothStreamsWithoutLineEnds) {
  Script s(tmp_, "printf 'one\\ntwo\\r\\n\\nlast'\nprintf 'e1\\ne2\\n' >&2\nexit 0\n");
  Recording_Handler h;
  EXPECT_EQ(0, h.call(BOTH, s.options()));
  EXPECT_EQ((std::vector<std::string>{"one", "two", "", "last"}), h.out());
  EXPECT_EQ((std::vector<std::string>{"e1", "e2"}), h.err());
  EXPECT_FALSE(h.running());
}

TEST_F(TextProcessHandler, ResultCarriesExitStatusAndTerminatingSignal) {
  Script exit7(tmp_, "exit 7\n");
  Script killed(tmp_, "kill -9 $$\n");
  Recording_Handler h;
  EXPECT_EQ(7, h.call(BOTH, exit7.options()));
  EXPECT_EQ(128 + SIGKILL, h.call(BOTH, killed.options()));
}

TEST_F(TextProcessHandler, ChildFillingStderrWhileStdoutIdlesDoesNotDeadlock) {
  // 4 MiB on stderr before a single stdout line: far beyond any pipe buffer.
  Script s(tmp_,
           "i=0\nwhile [ $i -lt 4096 ]; do\n"
           "  printf '%01023d\\n' $i >&2\n  i=$((i+1))\ndone\necho done\n");
  Recording_Handler h;
  EXPECT_EQ(0, h.call(BOTH, s.options()));
  ASSERT_EQ(4096u, h.err().size());
  EXPECT_EQ(1023u, h.err().back().size());
  EXPECT_EQ((std::vector<std::string>{"done"}), h.out());
}

TEST_F(TextProcessHandler, ChildInheritsNoDescriptorAndReadsDevNull) {
  const int leaked = ::open("/etc/hostname", O_RDONLY);  // inheritable on purpose
  ASSERT_GE(leaked, 3);
  Script s(tmp_, "ls /proc/$$/fd\ncat\necho end\n");
  Recording_Handler h;
  EXPECT_EQ(0, h.call(BOTH, s.options()));
  ::close(leaked);
  std::vector<std::string> out = h.out();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ("end", out.back());
  out.pop_back();
  // The shell keeps its script open on a descriptor of 10 or above.
  for (const std::string& fd : out) {
    const int n = std::atoi(fd.c_str());
    EXPECT_TRUE(n <= 2 || (n >= 10 && n != leaked)) << fd;
  }
}

TEST_F(TextProcessHandler, PercentSignsAndQuotedArgumentsReachTheChild) {
  ACE_Process_Options o(true, 1024, 16384, 512, 128);
  o.command_line("%s", "\"/bin/echo\" 100% \"a  b\" %s%d -c \"shutdown immediate\"");
  Recording_Handler h;
  EXPECT_EQ(0, h.call(BOTH, o));
  EXPECT_EQ((std::vector<std::string>{"100% a  b %s%d -c shutdown immediate"}), h.out());
}

TEST_F(TextProcessHandler, RefusesCommandLineThatFillsItsBuffer) {
  const std::string marker = tmp_ / "ran";
  const std::string cmd = "/bin/touch " + marker;
  std::string padded = cmd + " " + std::string(100, 'x');
  ACE_Process_Options cut(true, 64, 16384, 512, 128);
  cut.command_line("%s", padded.c_str());
  Log_Capture log;
  Recording_Handler h;
  EXPECT_EQ(-1, h.call(BOTH, cut));
  EXPECT_NE(std::string::npos, log.all().find("may have been cut")) << log.all();
  EXPECT_EQ(std::string::npos, log.all().find("/bin/touch"));
  struct stat st;
  EXPECT_NE(0, ::stat(marker.c_str(), &st));

  ACE_Process_Options fits(true, cmd.size() + 2, 16384, 512, 128);
  fits.command_line("%s", cmd.c_str());
  EXPECT_EQ(0, h.call(BOTH, fits));
  EXPECT_EQ(0, ::stat(marker.c_str(), &st));
}

TEST_F(TextProcessHandler, RefusesCommandLineWithArgumentsBeyondTheTable) {
  Log_Capture log;
  Recording_Handler h;
  ACE_Process_Options too_many(true, 1024, 16384, 512, 4);
  too_many.command_line("%s", "/bin/echo a 'b c' d e");
  EXPECT_EQ(-1, h.call(BOTH, too_many));
  EXPECT_NE(std::string::npos, log.all().find("argument table")) << log.all();
  EXPECT_TRUE(h.out().empty());

  ACE_Process_Options enough(true, 1024, 16384, 512, 4);
  enough.command_line("%s", "/bin/echo 'b c' \"d\"  ");
  EXPECT_EQ(0, h.call(BOTH, enough));
  EXPECT_EQ((std::vector<std::string>{"b c d"}), h.out());
}

TEST_F(TextProcessHandler, MissingProgramIsNotStarted) {
  Log_Capture log;
  Recording_Handler h;
  ACE_Process_Options o(true, 1024, 16384, 512, 128);
  o.command_line("%s", (tmp_ / "no-such-tool -x").c_str());
  EXPECT_EQ(-1, h.call(BOTH, o));
  ACE_Process_Options bare(true, 1024, 16384, 512, 128);
  bare.command_line("%s", "no-such-tool-on-path");
  ACE_Process_Ex p(BOTH, nullptr, nullptr);
  EXPECT_EQ(-1, h.spawn(p, bare, nullptr));
  EXPECT_NE(std::string::npos, log.all().find("Cannot run no-such-tool-on-path")) << log.all();
  EXPECT_EQ(-1, h.wait());
}

TEST_F(TextProcessHandler, OverlongLinesArriveInPiecesOfMaxLine) {
  Script s(tmp_, "printf '%025d\\nshort\\n' 0\n");
  Recording_Handler h(10);
  EXPECT_EQ(0, h.call(BOTH, s.options()));
  EXPECT_EQ((std::vector<std::string>{"0000000000", "0000000000", "00000", "short"}), h.out());
}

TEST_F(TextProcessHandler, SpawnReturnsAtOnceAndWaitHonoursItsTimeout) {
  Script s(tmp_, "sleep 2\necho finished\nexit 3\n");
  Recording_Handler h;
  ACE_Process_Ex p(BOTH, "sleeper", nullptr);
  const int pid = h.spawn(p, s.options(), nullptr);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(pid, h.pid());
  // spawn came back while the child still sleeps.
  EXPECT_TRUE(h.running());
  EXPECT_EQ(-1, h.wait(ACE_Time_Value(0, 50000)));
  EXPECT_EQ(ETIME, errno);
  EXPECT_EQ(3, h.wait());
  EXPECT_EQ(3, h.wait());
  EXPECT_EQ((std::vector<std::string>{"finished"}), h.out());
  EXPECT_FALSE(h.running());
}

TEST_F(TextProcessHandler, SecondChildWhileOneRunsIsRefused) {
  Script slow(tmp_, "sleep 5\n");
  Script quick(tmp_, "exit 0\n");
  Recording_Handler h;
  ACE_Process_Ex p(BOTH, nullptr, nullptr);
  ASSERT_GT(h.spawn(p, slow.options(), nullptr), 0);
  Log_Capture log;
  EXPECT_EQ(-1, h.call(BOTH, quick.options()));
  EXPECT_NE(std::string::npos, log.all().find("still running"));
  EXPECT_EQ(0, h.terminate(100));
}

TEST_F(TextProcessHandler, TerminateKillsChildThatIgnoresSigterm) {
  Script s(tmp_, "trap '' TERM\necho ready\nexec sleep 60\n");
  Recording_Handler h;
  ACE_Process_Ex p(BOTH, nullptr, nullptr);
  const int pid = h.spawn(p, s.options(), nullptr);
  ASSERT_GT(pid, 0);
  while (h.out().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0, h.terminate(200));
  EXPECT_GE(ms_since(start), 200);
  EXPECT_LT(ms_since(start), 15000);
  EXPECT_FALSE(h.running());
  EXPECT_EQ(128 + SIGKILL, h.wait());
  EXPECT_TRUE(gone_or_zombie(pid));
}

TEST_F(TextProcessHandler, TerminateOfCooperativeChildNeedsNoKill) {
  Script s(tmp_, "echo ready\nexec sleep 60\n");
  Recording_Handler h;
  ACE_Process_Ex p(BOTH, nullptr, nullptr);
  ASSERT_GT(h.spawn(p, s.options(), nullptr), 0);
  while (h.out().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(0, h.terminate(5000));
  EXPECT_EQ(128 + SIGTERM, h.wait());
  EXPECT_EQ(0, h.terminate(5000));
}

TEST_F(TextProcessHandler, TerminateEndsTheProcessGroupOfAGroupLeader) {
  Script s(tmp_, "sleep 60 &\necho $!\nwait\n");
  s.options().setgroup(0);
  Recording_Handler h;
  ACE_Process_Ex p(BOTH, nullptr, nullptr);
  ASSERT_GT(h.spawn(p, s.options(), nullptr), 0);
  while (h.out().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const pid_t grandchild = std::atoi(h.out().front().c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_EQ(0, h.terminate(2000));
  EXPECT_TRUE(eventually_gone(grandchild));
}

TEST_F(TextProcessHandler, TerminateFromAnotherThreadEndsABlockingCall) {
  Script s(tmp_, "echo ready\nexec sleep 60\n");
  Recording_Handler h;
  std::thread stopper([&h] {
    while (h.out().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, h.terminate(1000));
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(128 + SIGTERM, h.call(BOTH, s.options()));
  stopper.join();
  EXPECT_LT(ms_since(start), 5000);
}

TEST_F(TextProcessHandler, DescendantHoldingThePipesDoesNotKeepCallWaiting) {
  Script s(tmp_, "sleep 30 &\necho $!\n");
  Recording_Handler h;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(0, h.call(BOTH, s.options()));
  // Far below the descendant's 30 seconds, with room for a loaded machine.
  EXPECT_LT(ms_since(start), static_cast<long>(Text_Process_Handler::LINGER_MS) + 8000);
  ASSERT_EQ(1u, h.out().size());
  ::kill(std::atoi(h.out().front().c_str()), SIGKILL);
}

TEST_F(TextProcessHandler, DestroyingAHandlerEndsItsRunningChild) {
  Script s(tmp_, "exec sleep 60\n");
  pid_t pid;
  {
    Text_Process_Handler h;
    ACE_Process_Ex p(BOTH, nullptr, nullptr);
    pid = h.spawn(p, s.options(), nullptr);
    ASSERT_GT(pid, 0);
  }
  EXPECT_TRUE(gone_or_zombie(pid));
}

TEST_F(TextProcessHandler, ExitHandlerHearsOfTheEndOnce) {
  struct Exit_Counter : ACE_Event_Handler {
    int calls = 0;
    int handle_exit(ACE_Process* p) override {
      EXPECT_EQ(nullptr, p);
      return ++calls;
    }
  } counter;
  Script s(tmp_, "exit 0\n");
  Recording_Handler h;
  ACE_Process_Ex p(BOTH, nullptr, nullptr);
  ASSERT_GT(h.spawn(p, s.options(), &counter), 0);
  EXPECT_EQ(0, h.wait());
  EXPECT_EQ(1, counter.calls);
}

TEST_F(TextProcessHandler, DefaultLinesGoToTheProcessLogCallback) {
  auto cb = std::make_shared<Collecting_Callback>();
  Script s(tmp_, "echo out-line\necho err-line >&2\n");
  Text_Process_Handler h;
  ACE_Process_Ex p(BOTH, nullptr, cb);
  ASSERT_GT(h.spawn(p, s.options(), nullptr), 0);
  EXPECT_EQ(0, h.wait());
  const std::vector<std::string> records = cb->records();
  EXPECT_EQ(1, std::count(records.begin(), records.end(), std::to_string(LM_DEBUG) + " out-line\n"));
  EXPECT_EQ(1, std::count(records.begin(), records.end(), std::to_string(LM_ERROR) + " err-line\n"));
}

TEST_F(TextProcessHandler, SpawnedReaderLogsIntoTheSpawningThreadsJobCallback) {
  // A worker thread binds a job callback, spawns and ends at once; the
  // child's lines must still reach the job's log afterwards.
  auto cb = std::make_shared<Collecting_Callback>();
  Script s(tmp_, "sleep 0.2\necho late-line >&2\n");
  Text_Process_Handler h;
  std::thread worker([&] {
    bind_log_callback(cb);
    ACE_Process_Ex p(BOTH, nullptr, nullptr);
    EXPECT_GT(h.spawn(p, s.options(), nullptr), 0);
  });
  worker.join();
  EXPECT_EQ(0, h.wait());
  const std::vector<std::string> records = cb->records();
  EXPECT_EQ(1, std::count(records.begin(), records.end(), std::to_string(LM_ERROR) + " late-line\n"));
}

TEST_F(TextProcessHandler, SubprocessCallLogsStdoutAsInfoAndStderrAsError) {
  auto cb = std::make_shared<Collecting_Callback>();
  Script s(tmp_, "echo started\necho warn >&2\nexit 2\n");
  EXPECT_EQ(2, subprocess::call(s.options(), cb));
  EXPECT_EQ((std::vector<std::string>{std::to_string(LM_INFO) + " started\n", std::to_string(LM_ERROR) + " warn\n"}),
            cb->records());
}

TEST_F(TextProcessHandler, AppendedSearchPathFollowsTheInheritedOne) {
  const char* saved = std::getenv("OSCAR_TEST_PATH");
  ::setenv("OSCAR_TEST_PATH", "/a:/b", 1);
  Script s(tmp_, "echo \"$OSCAR_TEST_PATH\"\n");
  EXPECT_EQ(0, append_process_options_env(s.options(), "OSCAR_TEST_PATH", "/home/db/bin"));
  Script again(tmp_, "echo \"$OSCAR_TEST_PATH\"\n");
  EXPECT_EQ(0, append_process_options_env(again.options(), "OSCAR_TEST_PATH", "/b"));
  ::unsetenv("OSCAR_TEST_PATH");
  Script fresh(tmp_, "echo \"$OSCAR_TEST_PATH\"\n");
  EXPECT_EQ(0, append_process_options_env(fresh.options(), "OSCAR_TEST_PATH", "/home/db/bin"));
  EXPECT_EQ(-1, append_process_options_env(fresh.options(), "OSCAR_TEST_PATH", ""));
  if (saved != nullptr) ::setenv("OSCAR_TEST_PATH", saved, 1);

  Recording_Handler h;
  EXPECT_EQ(0, h.call(BOTH, s.options()));
  EXPECT_EQ(0, h.call(BOTH, again.options()));
  EXPECT_EQ(0, h.call(BOTH, fresh.options()));
  EXPECT_EQ((std::vector<std::string>{"/a:/b:/home/db/bin", "/a:/b", "/home/db/bin"}), h.out());
}

}  // namespace
