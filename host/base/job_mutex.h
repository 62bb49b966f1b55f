#ifndef HOST_JOB_MUTEX_H
#define HOST_JOB_MUTEX_H

#include <ace/Thread_Mutex.h>
#include <ace/Time_Value.h>

#include <string>

class Job_Cancel;

// Process-wide mutexes keyed by text (a job source's id), so that runs on
// the same resource are serialised. Thread-safe.
class Job_Mutex {
 public:
  // The mutex for `key`: the same object for equal keys, for the life of
  // the process (mutexes are never freed, so a reference may be kept).
  static ACE_Thread_Mutex& get(const std::string& key);
};

// Exclusion of the runs on one resource across threads and processes: the
// process's Job_Mutex::get(key) and an advisory flock on the lock file
// <state dir>/locks/<XXH3-128 of key in hex>.lock (created mode 0600), taken
// in that order and held until destruction. The kernel drops the file lock
// when its holder dies, so a killed agent never leaves a resource locked.
//
// The holder writes "<pid> <holder>" into the lock file once it has the
// lock. A run that has to wait logs once (LM_INFO) whom it waits for, as
// read from that file: "Job <holder> waits for the lock of <key>, held by
// <that text>". Without a state directory only the thread mutex is taken.
//
// A wait ends at the time-out, or as soon as the job's cancel mark is set
// (checked between polls at most a second apart), with nothing held.
//
// Use on one thread: construct, check locked(), let it go out of scope.
class Job_Lock {
 public:
  // Default bound of a wait: a job's default run time limit.
  static const int DEFAULT_TIMEOUT_SECONDS = 21600;

  // Blocks until the resource `key` is locked, `timeout` has passed, or
  // cancel (may be null; must stay alive while the constructor runs) is
  // requested. holder says who takes the lock (a job name), for the
  // waiters' log.
  Job_Lock(const std::string& key, const std::string& holder,
           const ACE_Time_Value& timeout = ACE_Time_Value(DEFAULT_TIMEOUT_SECONDS), const Job_Cancel* cancel = nullptr);
  ~Job_Lock();
  Job_Lock(const Job_Lock&) = delete;
  Job_Lock& operator=(const Job_Lock&) = delete;

  // Whether both locks are held. When false nothing is held and error()
  // says why: "timed out after N seconds waiting for the lock of KEY, held
  // by ...", "cancelled while waiting for the lock of KEY, held by ...",
  // or the lock file's system error.
  bool locked() const { return locked_; }
  const std::string& error() const { return error_; }

  // The lock file of a key under the current state directory; empty when
  // the state directory is not set.
  static std::string lock_file_path(const std::string& key);

 private:
  ACE_Thread_Mutex& mutex_;
  bool locked_ = false;
  bool have_mutex_ = false;
  int fd_ = -1;
  std::string error_;
};

#endif
