#include <ace/Log_Record.h>
#include <ace/OS_NS_sys_time.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/agent_state.h"
#include "host/base/fs_util.h"
#include "host/base/get_env_r.h"
#include "host/base/sleep.h"
#include "host/jobs/job_def_names.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_event_manager.h"
#include "host/jobs/job_mutex.h"
#include "host/process/execute_script.h"
#include "host/services/host_manager.h"
#include "host/services/path_conf.h"
#include "tests/support/sandbox.h"
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

TEST(JobMutex, EqualKeysShareOneMutexAndOthersDoNot) {
  ACE_Thread_Mutex& a = Job_Mutex::get("oscar/DB1");
  EXPECT_EQ(&a, &Job_Mutex::get(std::string("oscar/") + "DB1"));
  EXPECT_NE(&a, &Job_Mutex::get("oscar/DB2"));

  std::atomic<ACE_Thread_Mutex*> seen{nullptr};
  std::thread other([&seen] { seen = &Job_Mutex::get("oscar/DB1"); });
  other.join();
  EXPECT_EQ(&a, seen.load());
}

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

TEST(GetEnvR, CopiesValuesAndReportsUnsetAndTooSmall) {
  ASSERT_EQ(0, set_env_r("OSCAR_TEST_VAR", "value"));
  char buf[16];
  EXPECT_EQ(5, get_env_r("OSCAR_TEST_VAR", buf, sizeof buf));
  EXPECT_STREQ("value", buf);
  char tiny[5];
  EXPECT_EQ(-1, get_env_r("OSCAR_TEST_VAR", tiny, sizeof tiny));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_STREQ("", tiny);
  std::string out = "old";
  EXPECT_TRUE(get_env_r("OSCAR_TEST_VAR", out));
  EXPECT_EQ("value", out);
  unsetenv("OSCAR_TEST_VAR");
  EXPECT_FALSE(get_env_r("OSCAR_TEST_VAR", out));
  EXPECT_EQ("", out);
  EXPECT_EQ(-1, get_env_r("OSCAR_TEST_VAR", buf, sizeof buf));
}

TEST(PathConf, ResolvesComponentUnderTheRootPrefixAndCreatesTheDirectory) {
  Test_Sandbox sandbox;
  set_host_component_name("agentx");
  const Path_Conf fifo("/var/opt/corvane/vantrel4/$COMPONENT/oscar", true, "20260101_093000_fifo", 0750);
  EXPECT_TRUE(fifo.ok());
  EXPECT_EQ(sandbox.root() + "/var/opt/corvane/vantrel4/agentx/oscar/20260101_093000_fifo", fifo.str());
  struct stat st;
  ASSERT_EQ(0, stat(fifo.dir().c_str(), &st));
  EXPECT_EQ(0750u, st.st_mode & 0777);

  const Path_Conf log("/var/log/vantrel4", "brcmd", false, "backup_x.log", 0750);
  EXPECT_EQ(sandbox.root() + "/var/log/vantrel4/brcmd/backup_x.log", log.str());
  EXPECT_NE(0, stat(log.dir().c_str(), &st));

  ASSERT_TRUE(write_file(sandbox.root() + "/plain", "x"));
  const Path_Conf blocked("/plain", "sub", true, "f", 0750);
  EXPECT_FALSE(blocked.ok());
  set_host_root_prefix("");
  set_host_component_name("agent");
  EXPECT_EQ("/var/log/vantrel4/brcmd/f", Path_Conf("/var/log/vantrel4", "brcmd", false, "f", 0750).str());
}

TEST(HostSleep, ScaleShortensWaitsAndZeroSkipsThem) {
  Test_Sandbox sandbox;  // puts back the scale found
  set_host_sleep_scale(0.01);
  ACE_Time_Value start = ACE_OS::gettimeofday();
  EXPECT_EQ(0, host_sleep(ACE_Time_Value(3)));
  ACE_Time_Value took = ACE_OS::gettimeofday() - start;
  EXPECT_GE(took.msec(), 25);
  EXPECT_LT(took.msec(), 2000);
  set_host_sleep_scale(0);
  start = ACE_OS::gettimeofday();
  EXPECT_EQ(0, host_sleep(ACE_Time_Value(3600)));
  took = ACE_OS::gettimeofday() - start;
  EXPECT_LT(took.msec(), 100);
  set_host_sleep_scale(1.0);
  start = ACE_OS::gettimeofday();
  EXPECT_EQ(0, host_sleep(ACE_Time_Value(0, 50000)));
  EXPECT_GE((ACE_OS::gettimeofday() - start).msec(), 49);
}

TEST(JobEventManager, QueueKeepsOrderWaitsBoundedAndRefusesWhenFull) {
  Job_Event_Manager* q = Job_Event_Manager::instance();
  q->drain();
  Job_Definition def;
  def.id("d");
  EXPECT_EQ(1, q->putq(new Job_Progress_Event(def, 5, 0, 0, 0, 0)));
  EXPECT_EQ(2, q->putq(new Job_Progress_Event(def, 6, 0, 0, 0, 0)));
  EXPECT_EQ(-1, q->putq(nullptr));
  std::unique_ptr<Job_Event> e = q->getq(ACE_Time_Value(1));
  ASSERT_TRUE(e);
  EXPECT_EQ(5, static_cast<Job_Progress_Event&>(*e).progress());
  EXPECT_EQ("d", e->definition_id());
  EXPECT_EQ(1u, q->drain().size());

  const ACE_Time_Value start = ACE_OS::gettimeofday();
  EXPECT_FALSE(q->getq(ACE_Time_Value(0, 100000)));
  EXPECT_GE((ACE_OS::gettimeofday() - start).msec(), 90);

  std::thread producer([q, &def] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q->putq(new Job_State_Event(def, JOB_STATE_RUNNING));
  });
  e = q->getq(ACE_Time_Value(5));
  producer.join();
  ASSERT_TRUE(e);
  EXPECT_EQ(Job_Event::STATE, e->kind());

  for (std::size_t i = 0; i < Job_Event_Manager::CAPACITY; ++i)
    ASSERT_GT(q->putq(new Job_Progress_Event(def, 1, 0, 0, 0, 0)), 0);
  EXPECT_EQ(-1, q->putq(new Job_Progress_Event(def, 1, 0, 0, 0, 0)));
  EXPECT_EQ(EWOULDBLOCK, errno);
  q->drain();
}

TEST(HostManager, AccessKeyHeaderAndSettingsRoundTrip) {
  Test_Sandbox sandbox;
  Host_Manager* h = Host_Manager::instance();
  ASSERT_NE(nullptr, h->http_head_string(Host_Manager::HTTP_HEAD_ACCESS_KEY));
  EXPECT_STREQ("X-Access-Key", h->http_head_string(48));
  EXPECT_EQ(nullptr, h->http_head_string(47));
  EXPECT_FALSE(h->name().empty());

  h->name("node-a");
  h->on_backupd(true);
  h->access_key("ak");
  h->node_access_key("nak");
  ASSERT_EQ(0, h->save());
  struct stat st;
  ASSERT_EQ(0, stat(sandbox.state_file("host.json").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  h->name("other");
  h->on_backupd(false);
  ASSERT_EQ(0, h->load());
  EXPECT_EQ("node-a", h->name());
  EXPECT_TRUE(h->on_backupd());
  EXPECT_EQ("nak", h->node_access_key());

  ASSERT_TRUE(write_file(sandbox.state_file("host.json"), "{\"on_backupd\": \"yes\"}"));
  EXPECT_EQ(-1, h->load());
  EXPECT_TRUE(h->on_backupd());
}

TEST(JobDefNames, SubtypesAndTypesRoundTripAndUnknownsFallBack) {
  EXPECT_EQ("full", job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, 0));
  EXPECT_EQ("incremental", job_def_subtype_to_string(2, 0));
  EXPECT_EQ("cumulative", job_def_subtype_to_string(3, 0));
  EXPECT_EQ("export", job_def_subtype_to_string(5, 0));
  EXPECT_EQ("import", job_def_subtype_to_string(14, 0));
  EXPECT_EQ("", job_def_subtype_to_string(4, 0));
  EXPECT_EQ("?", job_def_subtype_to_string(99, "?"));
  Job_Definition_Subtype st = JOB_DEFINITION_SUBTYPE_NONE;
  EXPECT_TRUE(job_def_subtype_from_string("import", st));
  EXPECT_EQ(JOB_DEFINITION_SUBTYPE_IMPORT, st);
  EXPECT_FALSE(job_def_subtype_from_string("Import", st));
  EXPECT_EQ(JOB_DEFINITION_SUBTYPE_IMPORT, st);
  Job_Definition_Type t = JOB_DEFINITION_NONE;
  EXPECT_TRUE(job_def_type_from_string("restore", t));
  EXPECT_EQ(JOB_DEFINITION_RESTORE, t);
  EXPECT_EQ("standby", job_def_type_to_string(3, 0));
}

}  // namespace
