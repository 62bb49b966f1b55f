#ifndef HOST_JOB_H
#define HOST_JOB_H

#include <ace/Condition_Thread_Mutex.h>
#include <ace/Event_Handler.h>
#include <ace/Intrusive_Auto_Ptr.h>
#include <ace/Thread.h>
#include <ace/Thread_Mutex.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "host/base/job_cancel.h"
#include "host/base/job_log.h"
#include "host/jobs/job_activity.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_types.h"

// The run options the agent hands to a job operation (text to text); passed
// as a possibly null pointer.
typedef std::map<std::string, std::string> Action_Options;

// One alert a job raised (write_job_alert).
struct Job_Alert {
  std::time_t time = 0;
  int severity = 0;
  int code = 0;
  int arg = 0;
  std::string detail;  // the detail value as JSON text
};

// The host's job: one job definition, its activity record, its log, and the
// life-cycle operations the agent calls. A module derives from Job and
// implements the _i hooks; the agent calls the public operations (start,
// abort, ...), which check the job's state and then call the hook.
//
// Lifetime: counted intrusively (Job_var); the last release deletes the job.
// Anything that uses a job on a thread of its own (a run, a rollback) must
// hold a Job_var for as long as it does.
//
// Threads: the public operations may be called from any thread. A run
// executes on a thread of the module's choosing, which calls
// set_job_thread() first and complete() last. state(), state_i(),
// activity() and log_msg_callback() are safe from any thread.
class Job : public ACE_Event_Handler {
 public:
  explicit Job(const Job_Definition_var& def);
  ~Job() override;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Public operations. start() refuses (-1, errno EBUSY) while a run is in
  // progress and (-1, errno EPERM) while the job is disabled; otherwise it
  // resets the activity's progress, code and message, sets start_time and
  // calls start_i. update() refuses while a run is in progress; it makes
  // `def` the job's definition and calls update_i with the one it
  // replaced. The others forward to their hook and answer its result.
  int start(const Action_Options* opts = nullptr);
  int stop(const Action_Options* opts = nullptr);
  int enable(const Action_Options* opts = nullptr);
  int disable(const Action_Options* opts = nullptr);
  int pause(const Action_Options* opts = nullptr);
  int resume(const Action_Options* opts = nullptr);
  // abort() calls abort_i and, when that accepts, ends the tool processes
  // started for the run in progress (Job_Cancel): the run then fails where
  // it waits for them and ends through its ordinary failure path. Nothing
  // started for the run after that starts.
  int abort(const Action_Options* opts = nullptr);
  int switch_over(const Action_Options* opts = nullptr);
  int remove(int flag, const Action_Options* opts = nullptr);
  int update(const Job_Definition_var& def);
  int rollback();

  // A timer of the agent's reactor fired: start a run. Answers 0 (the
  // timer stays registered whether or not the run could start).
  int handle_timeout(const ACE_Time_Value& now, const void* act) override;

  // The current definition. The reference stays valid while the caller
  // holds a Job_var; definition_var() gives a counted reference that stays
  // valid across update().
  Job_Definition& definition() const;
  Job_Definition_var definition_var() const;
  Job_Activity& activity() { return activity_; }
  const Job_Activity& activity() const { return activity_; }

  // Records a state change and posts a Job_State_Event.
  void state(Job_State s);
  // Records a state change. CANCELING is accepted only while a run is in
  // progress and has not yet ended (-1 with errno EINVAL otherwise); every
  // other state is stored as given. Answers 0 or -1.
  int state_i(Job_State s);

  // Ends a run, on the run's thread: a run still RUNNING or COMPLETING
  // without an outcome becomes ERROR, a CANCELING one CANCELED (each with a
  // Job_State_Event); the activity's last_run_time is set and every waiter
  // of wait_for_completion() wakes. Calling it with no run in
  // progress (a run that failed to start) only wakes the waiters.
  void complete();

  // Waits at most `timeout` for the run in progress to complete. Answers
  // true when no run is in progress on return.
  bool wait_for_completion(const ACE_Time_Value& timeout);
  bool running() const { return running_.load(); }
  // Number of runs that called complete().
  unsigned long completed_runs() const { return completed_runs_.load(); }

  // Binds the calling thread to this job: it becomes the job's thread, its
  // log messages go to the job's log (bind_log_callback) and the children
  // it starts end when the job is aborted (bind_job_cancel).
  void set_job_thread();
  // Whether the run in progress was aborted; runs check it before a step
  // that must not begin in a cancelled run (a commit, a restart of work).
  bool cancel_requested() const { return cancel_->requested(); }
  // The run's cancel state, for the job's worker threads to bind
  // (bind_job_cancel); the same object for the job's whole life.
  const std::shared_ptr<Job_Cancel>& cancel_state() const { return cancel_; }
  ACE_thread_t job_thread() const { return job_thread_.load(); }

  // The log callback of the current (or next) run; never empty. Each run
  // has a file of its own, logs/<definition id>.<YYYYmmdd-HHMMSS>.<pid>.<n>.log
  // under the agent state directory (no file when that is unset): the
  // first run uses the one named when the job was made, so its path may be
  // taken before start(); every later start() names a new one.
  ACE_Log_Msg_Callback_var log_msg_callback() const;
  // Path of that log file (empty without a state directory).
  std::string log_file_path() const;

  // Alerts raised for this job so far, oldest first.
  std::vector<Job_Alert> alerts() const;
  void add_alert(const Job_Alert& alert);

  bool enabled() const { return enabled_.load(); }

  // Intrusive counting for Job_var. The count starts at 0; the release that
  // brings it back to 0 deletes the job.
  static void intrusive_add_ref(Job* job);
  static void intrusive_remove_ref(Job* job);

 protected:
  // Life-cycle hooks; 0 for success, -1 for failure.
  virtual int start_i(const Action_Options* opts) = 0;
  virtual int stop_i(const Action_Options* opts) = 0;
  // The base enable_i and disable_i switch whether start() accepts runs.
  virtual int enable_i(const Action_Options* opts);
  virtual int disable_i(const Action_Options* opts);
  // The base cannot pause a run or switch a job over: -1, errno ENOTSUP.
  virtual int pause_i(const Action_Options* opts);
  virtual int resume_i(const Action_Options* opts) = 0;
  virtual int abort_i(const Action_Options* opts) = 0;
  virtual int switch_i(const Action_Options* opts);
  virtual int remove_i(int flag, const Action_Options* opts) = 0;
  virtual int update_i(const Job_Definition_var& pre_def) = 0;
  virtual int rollback_i() = 0;
  // One run, on the run thread; answers null.
  virtual void* run_i(const Action_Options* opts) = 0;

 private:
  mutable ACE_Thread_Mutex lock_;
  ACE_Condition_Thread_Mutex completed_;
  Job_Definition_var def_;  // guarded by lock_
  Job_Activity activity_;
  ACE_Log_Msg_Callback_var log_callback_;  // guarded by lock_
  bool log_used_ = false;                  // guarded by lock_: a run has started with log_callback_
  std::shared_ptr<Job_Cancel> cancel_ = std::make_shared<Job_Cancel>();
  std::vector<Job_Alert> alerts_;  // guarded by lock_
  std::atomic<long> refs_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> enabled_{true};
  std::atomic<unsigned long> completed_runs_{0};
  std::atomic<ACE_thread_t> job_thread_{};
};

// The host's intrusive counted pointer to a job.
typedef ACE_Intrusive_Auto_Ptr<Job> Job_var;

#endif
