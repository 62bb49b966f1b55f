#ifndef HOST_JOB_EVENT_HANDLER_H
#define HOST_JOB_EVENT_HANDLER_H

class Job;

// How a run reports its course to the host: each call records the state or
// progress on the job's activity and posts an event for the agent. Bound to
// one job, which must outlive it. Safe from any thread (the storage layer
// reports progress from its own threads).
class Job_Event_Handler {
 public:
  explicit Job_Event_Handler(Job& job);

  // The run has begun: the state becomes RUNNING unless an abort already
  // moved it to CANCELING (the cancellation wins).
  void handle_start_job();
  // The run succeeded: state COMPLETED.
  void handle_success();
  // The run failed: the activity's code and message (printf-style `fmt`,
  // which may be null for no message) are recorded, the failure is logged
  // and the state becomes ERROR.
  void handle_failure(int code, const char* fmt, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;
  // The run ended because it was cancelled: state CANCELED.
  void handle_canceled();
  // Progress in percent (the sizes and speed go into the event). Answers
  // the event queue's result, or -1 when no event could be made.
  int handle_progress(int percent, unsigned long long total, unsigned long long processed, unsigned long long speed);

 private:
  Job& job_;
};

#endif
