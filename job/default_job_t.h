#ifndef JOB_DEFAULT_JOB_T_H
#define JOB_DEFAULT_JOB_T_H

#include <ace/Thread_Manager.h>

#include <cerrno>
#include <memory>
#include <new>

#include "host/base/uuid_util.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/jobs/job_schedule.h"
#include "tollix/thread_helper.h"

// A job of the module: adapts the host's job life cycle to an executor E
// (a Job_Executor_T). A run executes on a detached thread of its own; a
// rollback on a further detached thread; every other operation builds a
// short-lived E on the calling thread. Stop and resume are not supported.
//
// Lifetime: a Default_Job_T must be owned through a Job_var. The run
// thread and the rollback thread each hold a counted reference to the job
// for as long as they use it, so the host may release its own reference
// while a run or rollback is in progress: the job is then destroyed by the
// thread that releases the last reference, after the run has completed.
// The destructor does not wait for anything.
template <typename E>
class Default_Job_T : public Job {
 public:
  // Flags of the run and rollback threads: new lightweight process,
  // detached, inherited scheduling.
  static const long THREAD_FLAGS = THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED;

  explicit Default_Job_T(Job_Definition_var def) : Job(def), thr_id_(ACE_OS::NULL_thread) {
    const Job_Schedule* schedule = definition().schedule();
    if (schedule != nullptr && schedule->type() == Job_Schedule::TYPE_ONDEMAND) {
      E executor(*this);
      executor.setup_ondemand();
    }
  }

  ~Default_Job_T() override {}

  int handle_exception(ACE_HANDLE) override { return 0; }

  // Entry of the run thread; `arg` is the Run_Options, which it owns.
  static ACE_THR_FUNC_RETURN run(void* arg) {
    std::unique_ptr<Run_Options> ro(static_cast<Run_Options*>(arg));
    Default_Job_T* self = static_cast<Default_Job_T*>(ro->job.get());
    self->run_i(ro->opts.empty() ? nullptr : &ro->opts);
    return 0;
  }

  // Body of the rollback thread: one executor's rollback().
  void* run_rollback() {
    E executor(*this);
    executor.rollback();
    return nullptr;
  }

 protected:
  int start_i(const Action_Options* opts) override {
    Run_Options* ro = new (std::nothrow) Run_Options();
    if (ro == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    ro->job = Job_var(this);
    if (opts != nullptr) ro->opts = *opts;
    if (ACE_Thread_Manager::instance()->spawn(run, ro, THREAD_FLAGS, &thr_id_, nullptr, ACE_DEFAULT_THREAD_PRIORITY, -1,
                                              nullptr, 0) == -1) {
      delete ro;
      return -1;
    }
    return 0;
  }

  int stop_i(const Action_Options*) override { return -1; }
  int resume_i(const Action_Options*) override { return -1; }

  int abort_i(const Action_Options*) override {
    const int rc = state_i(JOB_STATE_CANCELING);
    // Thread ids are reused at once: mark the run thread only while it is
    // known to run.
    if (rc == 0 && running()) ACE_Thread_Manager::instance()->cancel(thr_id_, 0);
    return rc;
  }

  int remove_i(int, const Action_Options*) override {
    const Job_Schedule* schedule = definition().schedule();
    if (schedule != nullptr && schedule->type() == Job_Schedule::TYPE_ONDEMAND) {
      E executor(*this);
      executor.remove_ondemand();
    }
    E executor(*this);
    executor.remove();
    return 0;
  }

  int update_i(const Job_Definition_var& pre_def) override {
    E executor(*this);
    executor.update(pre_def);
    return 0;
  }

  int rollback_i() override {
    Job_var self(this);
    Thread_Helper helper(THREAD_FLAGS, ACE_DEFAULT_THREAD_PRIORITY);
    return helper.spawn(std::function<void()>([self]() { static_cast<Default_Job_T*>(self.get())->run_rollback(); })) ==
                   -1
               ? -1
               : 0;
  }

  void* run_i(const Action_Options* opts) override {
    set_job_thread();
    if (!definition().uid().empty()) uuid_string_to_binary(definition().uid(), activity().uid);
    {
      E executor(*this);
      executor.execute(opts);
    }
    complete();
    return nullptr;
  }

 private:
  // What carries a run to its thread: a counted reference to the job and a
  // copy of the run options. Made by start_i, owned and freed by run().
  struct Run_Options {
    Job_var job;
    Action_Options opts;
  };

  ACE_thread_t thr_id_;
};

#endif
