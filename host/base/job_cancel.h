#ifndef HOST_JOB_CANCEL_H
#define HOST_JOB_CANCEL_H

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>

// What a job's abort reaches: the mark that the run in progress is being
// cancelled, and the things started for the run that the mark must end
// (the tool processes). A run cannot be stopped by marking its thread: it
// is blocked in a child's pipe or a fifo. Ending its children instead makes
// every such wait return, and the run leaves through its ordinary failure
// path, with the clean-up that path does.
//
// Threads: every operation may be called from any thread.
class Job_Cancel {
 public:
  // Something request() ends. cancel() must not block for long and must
  // not call back into the Job_Cancel.
  class Target {
   public:
    virtual ~Target() = default;
    virtual void cancel() = 0;
  };

  // Marks the run cancelled and cancels every enlisted target, on the
  // calling thread. Later calls do nothing until reset().
  void request();
  bool requested() const { return requested_.load(); }
  // Clears the mark for a new run.
  void reset();

  // Enlists a target until withdraw(); false (not enlisted) when the mark
  // is already set, so that nothing new starts in a cancelled run.
  bool enlist(Target* target);
  // Withdraws a target; waits while request() is cancelling targets, so a
  // target may be destroyed once this returns.
  void withdraw(Target* target);

 private:
  std::mutex mutex_;
  std::atomic<bool> requested_{false};
  std::set<Target*> targets_;  // guarded by mutex_
};

// The cancel state of the job the calling thread works for, kept in
// thread-local storage like the job's log callback (bind_log_callback):
// the job's run thread and every worker thread of the job bind it, so that
// a child process started on any of them is enlisted. Empty when the
// thread works for no job.
void bind_job_cancel(const std::shared_ptr<Job_Cancel>& cancel);
std::shared_ptr<Job_Cancel> bound_job_cancel();

// Marks the calling thread, while it lives, as running a step that puts
// things back after its job's work (restarting an instance the job
// stopped, finishing a shutdown already under way): such a step must run
// also when the job is being cancelled, or a stopped backup would leave a
// database down. A child started on the thread meanwhile may start in a
// cancelled job and is not enlisted in the job's abort; in exchange it is
// bounded by the scope's own limit: ended (SIGTERM, then SIGKILL) once it
// has run that long. Scopes nest; the innermost one holds. Lives on the
// stack of one thread; the limit must be positive.
class Cleanup_Scope {
 public:
  explicit Cleanup_Scope(std::chrono::milliseconds limit);
  ~Cleanup_Scope();
  Cleanup_Scope(const Cleanup_Scope&) = delete;
  Cleanup_Scope& operator=(const Cleanup_Scope&) = delete;

  // The innermost scope of the calling thread, or null outside any.
  static const Cleanup_Scope* current();
  std::chrono::milliseconds limit() const { return limit_; }

 private:
  std::chrono::milliseconds limit_;
  const Cleanup_Scope* outer_;
};

#endif
