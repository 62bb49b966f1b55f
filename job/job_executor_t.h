#ifndef JOB_JOB_EXECUTOR_T_H
#define JOB_JOB_EXECUTOR_T_H

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>

#include "host/base/job_log.h"
#include "host/jobs/job.h"
#include "host/jobs/job_definition.h"
#include "host/process/execute_script.h"

// The fixed order of one run of a job, around the work of a concrete
// executor (execute_i) and its activity gate (is_active):
//   activity gate, precondition script, condition check, start event,
//   pre-action script, execute_i, post-action script, final event.
//
// S and O are the executor's job source and job options types, H the event
// handler type (constructed from the job). An executor is short-lived: the
// job builds one for every operation, calls one operation and destroys it,
// on the thread of that operation. It borrows the job (which must outlive
// it), the job's definition (kept alive by the executor itself, so a
// definition replaced by Job::update stays valid) and the source and
// options that the definition owns. src_ is null when the definition has no
// source or one of another type than S; opts_ likewise for O.
template <typename S, typename O, typename H>
class Job_Executor_T {
 public:
  explicit Job_Executor_T(Job& job)
      : def_hold_(job.definition_var()),
        job_(job),
        def_(*def_hold_),
        tgt_(def_.target()),
        act_(job.activity()),
        evt_handler_(job),
        src_(dynamic_cast<S*>(def_.source())),
        opts_(dynamic_cast<O*>(def_.options())) {}

  virtual ~Job_Executor_T() {}

  // Operations of the job's life cycle; the base ones do nothing and
  // answer true.
  virtual bool remove() { return true; }
  virtual bool setup_ondemand() { return true; }
  virtual bool remove_ondemand() { return true; }
  virtual bool update(Job_Definition_var pre_def) {
    (void)pre_def;
    return true;
  }
  virtual bool rollback() { return true; }

  // The executor's own work; true for success.
  virtual bool execute_i(const Action_Options* options) = 0;

  // Runs the pre-action script into the job's log. True when it succeeded
  // (or its failure is ignored) and the job is still RUNNING: a job
  // cancelled while the script ran fails here.
  virtual bool execute_pre_action() {
    const bool ok = execute_script(def_.pre_action(), false, job_.log_msg_callback());
    if (ok || def_.ignore_pre_action_failure()) return act_.state == JOB_STATE_RUNNING;
    return false;
  }

  // Runs the post-action script into the job's log, after moving the job to
  // COMPLETING. An empty script succeeds and changes nothing.
  virtual bool execute_post_action() {
    if (def_.post_action().empty()) return true;
    if (act_.state != JOB_STATE_COMPLETING) job_.state(JOB_STATE_COMPLETING);
    return execute_script(def_.post_action(), false, job_.log_msg_callback()) || def_.ignore_post_action_failure();
  }

  virtual bool check_condition() { return true; }
  virtual bool is_active(const Action_Options* options) {
    (void)options;
    return true;
  }

  // One run, in the order above. Answers true for a run that succeeded or
  // was skipped (inactive, precondition or condition not met), false for a
  // failed or cancelled run and for a definition without a usable source.
  bool execute(const Action_Options* options) {
    if (src_ == nullptr) {
      ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, src_ is NULL:\n%?\n")));
      return false;
    }
    if (!is_active(options)) {
      act_.last_run_time = ACE_OS::gettimeofday().sec();
      act_.state = JOB_STATE_SKIPPED;
      return true;
    }
    if (!execute_precondition() || !check_condition()) {
      act_.last_run_time = ACE_OS::gettimeofday().sec();
      act_.state = JOB_STATE_IDLE;
      return true;
    }
    evt_handler_.handle_start_job();
    const bool pre = execute_pre_action();
    const bool work = pre ? execute_i(options) : false;
    bool post = true;
    if (work || def_.run_post_action_always()) post = execute_post_action();
    if (pre && work && post) {
      evt_handler_.handle_success();
      return true;
    }
    if (act_.state != JOB_STATE_CANCELING)
      evt_handler_.handle_failure(-1, nullptr);
    else
      evt_handler_.handle_canceled();
    return false;
  }

  // Runs the precondition script; its output is not logged.
  bool execute_precondition() { return execute_script(def_.precondition(), false, ACE_Log_Msg_Callback_var()); }

 protected:
  Job_Definition_var def_hold_;
  Job& job_;
  Job_Definition& def_;
  const Job_Target& tgt_;
  Job_Activity& act_;
  H evt_handler_;
  S* src_;
  O* opts_;
};

#endif
