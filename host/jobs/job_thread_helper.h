#ifndef HOST_JOB_THREAD_HELPER_H
#define HOST_JOB_THREAD_HELPER_H

#include "host/base/job_log.h"
#include "host/jobs/job.h"
#include "tollix/thread_helper.h"

// A worker thread of a job (a tool runner, a storage thread): a
// Thread_Helper whose new thread adopts the job's log callback and cancel
// state before it runs its function, so that everything the worker logs
// lands in the job's log and the tools it starts end when the job is
// aborted. ACE keeps the message callback per thread; a worker that did not
// adopt it would log to stderr only (or nowhere once stderr is off).
//
// The helper holds a counted reference to the job for its own lifetime,
// and the worker keeps the callback alive for as long as the thread lives
// (bind_log_callback). For a joinable worker the destructor joins it.
// Header-only, for the module's code; not thread-safe (one owner).
class Job_Thread_Helper : public Thread_Helper {
 public:
  Job_Thread_Helper(Job& job, long flag, long priority)
      : Thread_Helper(flag, priority), job_(&job), callback_(job.log_msg_callback()), cancel_(job.cancel_state()) {}
  ~Job_Thread_Helper() override { join(); }

 protected:
  void handle_starting() override {
    bind_log_callback(callback_);
    bind_job_cancel(cancel_);
  }

 private:
  Job_var job_;
  ACE_Log_Msg_Callback_var callback_;
  std::shared_ptr<Job_Cancel> cancel_;
};

#endif
