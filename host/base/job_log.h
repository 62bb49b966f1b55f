#ifndef HOST_JOB_LOG_H
#define HOST_JOB_LOG_H

#include <ace/Log_Msg_Callback.h>
#include <ace/Thread_Mutex.h>

#include <memory>
#include <string>

// A job's log-message callback as a shared pointer: the job keeps one, and
// so does every thread that logs for it and every child-process reader
// that copies a tool's output into the job's log.
typedef std::shared_ptr<ACE_Log_Msg_Callback> ACE_Log_Msg_Callback_var;

// The callback behind a job's log: every record it receives becomes one
// line "YYYY-MM-DD HH:MM:SS.mmm PRIORITY text" (INFO, ERROR, ...) appended to the job's log
// file. The file is created (with its directory) on the first record; when
// it cannot be opened the record is dropped (logging never fails a job).
// log() may be called from any thread; lines from different threads do not
// interleave.
class Job_Log_Callback : public ACE_Log_Msg_Callback {
 public:
  explicit Job_Log_Callback(const std::string& path);
  ~Job_Log_Callback() override;

  void log(ACE_Log_Record& record) override;
  const std::string& path() const { return path_; }

 private:
  ACE_Thread_Mutex lock_;
  std::string path_;
  int fd_ = -1;  // guarded by lock_
};

// ACE keeps the message callback per thread, while the flag that enables
// callbacks is process-wide. A thread that logs for a job must therefore
// install that job's callback itself; bind_log_callback does that for the
// calling thread: it installs `callback` into the thread's ACE_Log_Msg,
// enables callbacks process-wide, and keeps a reference to `callback` in
// thread-local storage until the thread ends or binds another one, so the
// callback outlives its last use on the thread even when the job goes away
// first. An empty `callback` unbinds the thread. Threads that never bound a
// callback keep ACE's other outputs (stderr) unchanged.
void bind_log_callback(const ACE_Log_Msg_Callback_var& callback);

// The callback bound to the calling thread, empty when none.
ACE_Log_Msg_Callback_var bound_log_callback();

#endif
