#ifndef HOST_JOB_MUTEX_H
#define HOST_JOB_MUTEX_H

#include <ace/Thread_Mutex.h>

#include <string>

// Process-wide mutexes keyed by text (a job source's id), so that runs on
// the same resource are serialised. Thread-safe.
class Job_Mutex {
 public:
  // The mutex for `key`: the same object for equal keys, for the life of
  // the process (mutexes are never freed, so a reference may be kept).
  static ACE_Thread_Mutex& get(const std::string& key);
};

#endif
