#ifndef HOST_JOB_EVENT_MANAGER_H
#define HOST_JOB_EVENT_MANAGER_H

#include <ace/Condition_Thread_Mutex.h>
#include <ace/Thread_Mutex.h>
#include <ace/Time_Value.h>

#include <deque>
#include <memory>
#include <vector>

#include "host/jobs/job_event.h"

// The process-wide queue of job events, from the jobs (any thread) to the
// agent (usually one reader). Bounded: when CAPACITY events wait, putq
// refuses further ones, so a stalled reader cannot exhaust memory.
// All members are thread-safe.
class Job_Event_Manager {
 public:
  static const std::size_t CAPACITY = 65536;

  // The one manager of the process; never null.
  static Job_Event_Manager* instance();

  // Appends `event` and takes ownership of it in every case: on failure the
  // event is destroyed. `timeout` is accepted for the queue's usual form and
  // not waited on: a full queue fails at once (errno EWOULDBLOCK), a null
  // event fails with EINVAL. Answers the number of queued events, or -1.
  int putq(Job_Event* event, ACE_Time_Value* timeout = nullptr);

  // Takes the oldest event, waiting at most `timeout` for one to arrive;
  // empty when none came in time.
  std::unique_ptr<Job_Event> getq(const ACE_Time_Value& timeout);

  // Takes every queued event at once, oldest first, without waiting.
  std::vector<std::unique_ptr<Job_Event>> drain();

  std::size_t size();

 private:
  Job_Event_Manager();
  ACE_Thread_Mutex lock_;
  ACE_Condition_Thread_Mutex ready_;
  std::deque<std::unique_ptr<Job_Event>> queue_;  // guarded by lock_
};

#endif
