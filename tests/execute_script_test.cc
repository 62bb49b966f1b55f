// execute_script: a shell script run by the host, its output lines handed
// to a callback, its descriptors and its time limit.

#include "host/process/execute_script.h"

#include <ace/Log_Record.h>
#include <ace/OS_NS_sys_time.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/fs_util.h"
#include "tests/support/test_paths.h"

namespace {

// Collects the records a script's output produced.
class Line_Collector : public ACE_Log_Msg_Callback {
 public:
  void log(ACE_Log_Record& record) override {
    std::lock_guard<std::mutex> lock(m_);
    lines_.push_back(record.msg_data());
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(m_);
    return lines_;
  }

 private:
  std::mutex m_;
  std::vector<std::string> lines_;
};

TEST(ExecuteScript, EmptyTextSucceedsAndExitStatusDecides) {
  EXPECT_TRUE(execute_script("", false, ACE_Log_Msg_Callback_var()));
  EXPECT_TRUE(execute_script("true", false, ACE_Log_Msg_Callback_var()));
  EXPECT_FALSE(execute_script("exit 3", false, ACE_Log_Msg_Callback_var()));
  EXPECT_FALSE(execute_script("kill -9 $$", false, ACE_Log_Msg_Callback_var()));
  EXPECT_FALSE(execute_script("/no/such/program", false, ACE_Log_Msg_Callback_var()));
}

TEST(ExecuteScript, OutputLinesOfBothStreamsReachTheCallback) {
  auto collector = std::make_shared<Line_Collector>();
  EXPECT_TRUE(execute_script("echo first; echo second >&2; printf last", false, collector));
  EXPECT_EQ(std::vector<std::string>({"first\n", "second\n", "last\n"}), collector->lines());
}

TEST(ExecuteScript, ScriptTextIsLoggedOnlyWhenAsked) {
  auto quiet = std::make_shared<Line_Collector>();
  EXPECT_TRUE(execute_script("true # secret", false, quiet));
  EXPECT_TRUE(quiet->lines().empty());
  auto loud = std::make_shared<Line_Collector>();
  EXPECT_TRUE(execute_script("true # secret", true, loud));
  ASSERT_EQ(1u, loud->lines().size());
  EXPECT_NE(std::string::npos, loud->lines()[0].find("true # secret"));
}

TEST(ExecuteScript, ScriptRunsWithoutTheCallersDescriptorsAndStdin) {
  Temp_Dir tmp;
  const int fd = open_cloexec((tmp / "held").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  const int inheritable = dup(fd);  // without close-on-exec
  auto collector = std::make_shared<Line_Collector>();
  EXPECT_TRUE(execute_script("ls /proc/self/fd | wc -l; cat", false, collector));
  close(inheritable);
  close(fd);
  // stdin, stdout, stderr and the descriptor ls itself opens.
  ASSERT_EQ(1u, collector->lines().size());
  EXPECT_EQ("4\n", collector->lines()[0]);
}

TEST(ExecuteScript, ScriptOverTheTimeLimitIsKilledWithItsChildren) {
  const ACE_Time_Value saved = script_time_limit();
  set_script_time_limit(ACE_Time_Value(0, 300000));
  const ACE_Time_Value start = ACE_OS::gettimeofday();
  EXPECT_FALSE(execute_script("sleep 30 & sleep 30", false, ACE_Log_Msg_Callback_var()));
  EXPECT_FALSE(execute_script("exec >&- 2>&-; sleep 30", false, ACE_Log_Msg_Callback_var()));
  const ACE_Time_Value took = ACE_OS::gettimeofday() - start;
  set_script_time_limit(saved);
  EXPECT_LT(took.sec(), 10);
}

}  // namespace
