// The host's services for jobs: the Job_Event_Manager queue, the per-key
// Job_Mutex and the names of job definition types and subtypes.

#include "host/jobs/job_event_manager.h"

#include <ace/OS_NS_sys_time.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/base/job_mutex.h"
#include "host/jobs/job_def_names.h"
#include "host/jobs/job_definition.h"

namespace {

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

TEST(JobMutex, EqualKeysShareOneMutexAndOthersDoNot) {
  ACE_Thread_Mutex& a = Job_Mutex::get("oscar/DB1");
  EXPECT_EQ(&a, &Job_Mutex::get(std::string("oscar/") + "DB1"));
  EXPECT_NE(&a, &Job_Mutex::get("oscar/DB2"));

  std::atomic<ACE_Thread_Mutex*> seen{nullptr};
  std::thread other([&seen] { seen = &Job_Mutex::get("oscar/DB1"); });
  other.join();
  EXPECT_EQ(&a, seen.load());
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
