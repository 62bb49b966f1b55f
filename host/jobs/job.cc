#include "host/jobs/job.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "host/base/agent_state.h"
#include "host/jobs/job_event_manager.h"

namespace {

// A definition id as a file name: path separators and a leading dot are
// replaced, so an id can never name a file outside the log directory.
std::string log_file_name(const std::string& id) {
  std::string name = id.empty() ? std::string("job") : id;
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name[0] == '.') name[0] = '_';
  return name;
}

// The log file of one run: logs/<id>.<YYYYmmdd-HHMMSS>.<pid>.<n>.log, where
// n counts the logs this process named. Runs of one definition in one
// agent or in several at once thus never share a file, and a listing of
// the directory sorts a definition's runs by start time.
std::string job_log_path(const Job_Definition_var& def) {
  static std::atomic<unsigned long> named{0};
  const std::string& dir = agent_state_dir();
  if (dir.empty() || def.null()) return std::string();
  const std::time_t now = std::time(nullptr);
  struct tm tmv;
  char stamp[32] = "00000000-000000";
  if (localtime_r(&now, &tmv) != nullptr) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmv);
  return dir + "/logs/" + log_file_name(def->id()) + "." + stamp + "." + std::to_string(::getpid()) + "." +
         std::to_string(++named) + ".log";
}

}  // namespace

Job::Job(const Job_Definition_var& def)
    : completed_(lock_), def_(def), log_callback_(std::make_shared<Job_Log_Callback>(job_log_path(def))) {
  if (!def_.null()) activity_.id = def_->id();
}

Job::~Job() {}

int Job::start(const Action_Options* opts) {
  if (!enabled_.load()) {
    errno = EPERM;
    return -1;
  }
  bool idle = false;
  if (!running_.compare_exchange_strong(idle, true)) {
    errno = EBUSY;
    return -1;
  }
  {
    // Every run after the first gets a log of its own; the first keeps the
    // one named at construction, whose path a caller may have taken
    // before starting it.
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
    if (log_used_) log_callback_ = std::make_shared<Job_Log_Callback>(job_log_path(def_));
    log_used_ = true;
  }
  activity_.start_time = ACE_OS::gettimeofday().sec();
  activity_.progress = 0;
  activity_.code = 0;
  activity_.message.clear();
  cancel_->reset();
  const int rc = start_i(opts);
  if (rc != 0) {
    running_.store(false);
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, rc);
    completed_.broadcast();
  }
  return rc;
}

int Job::stop(const Action_Options* opts) { return stop_i(opts); }
int Job::enable(const Action_Options* opts) { return enable_i(opts); }
int Job::disable(const Action_Options* opts) { return disable_i(opts); }
int Job::pause(const Action_Options* opts) { return pause_i(opts); }
int Job::resume(const Action_Options* opts) { return resume_i(opts); }
int Job::abort(const Action_Options* opts) {
  const int rc = abort_i(opts);
  if (rc == 0 && running_.load()) cancel_->request();
  return rc;
}
int Job::switch_over(const Action_Options* opts) { return switch_i(opts); }
int Job::remove(int flag, const Action_Options* opts) { return remove_i(flag, opts); }
int Job::rollback() { return rollback_i(); }

int Job::update(const Job_Definition_var& def) {
  if (def.null() || running_.load()) {
    errno = def.null() ? EINVAL : EBUSY;
    return -1;
  }
  Job_Definition_var previous;
  {
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, -1);
    previous = def_;
    def_ = def;
  }
  return update_i(previous);
}

int Job::handle_timeout(const ACE_Time_Value&, const void*) {
  start(nullptr);
  return 0;
}

Job_Definition& Job::definition() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, *def_);
  return *def_;
}

Job_Definition_var Job::definition_var() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, def_);
  return def_;
}

void Job::state(Job_State s) {
  if (state_i(s) != 0) return;
  Job_Event_Manager::instance()->putq(new (std::nothrow) Job_State_Event(definition(), s));
}

int Job::state_i(Job_State s) {
  if (s != JOB_STATE_CANCELING) {
    activity_.state = s;
    return 0;
  }
  Job_State current = activity_.state.load();
  for (;;) {
    const bool cancellable = running_.load() && current != JOB_STATE_COMPLETED && current != JOB_STATE_ERROR &&
                             current != JOB_STATE_CANCELED;
    if (!cancellable) {
      errno = EINVAL;
      return -1;
    }
    if (activity_.state.compare_exchange_weak(current, JOB_STATE_CANCELING)) return 0;
  }
}

void Job::complete() {
  if (running_.load()) {
    Job_State current = activity_.state.load();
    Job_State final_state = current;
    if (current == JOB_STATE_RUNNING || current == JOB_STATE_COMPLETING)
      final_state = JOB_STATE_ERROR;
    else if (current == JOB_STATE_CANCELING)
      final_state = JOB_STATE_CANCELED;
    activity_.last_run_time = ACE_OS::gettimeofday().sec();
    if (final_state != current) {
      activity_.state = final_state;
      Job_Event_Manager::instance()->putq(new (std::nothrow) Job_State_Event(definition(), final_state));
    }
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("%N:%l Job %C completed, state=%d\n"), activity_.id.c_str(),
               static_cast<int>(final_state)));
    ++completed_runs_;
  }
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  running_.store(false);
  completed_.broadcast();
}

bool Job::wait_for_completion(const ACE_Time_Value& timeout) {
  const ACE_Time_Value deadline = ACE_OS::gettimeofday() + timeout;
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, false);
  while (running_.load()) {
    if (completed_.wait(&deadline) == -1) break;
  }
  return !running_.load();
}

void Job::set_job_thread() {
  job_thread_.store(ACE_Thread::self());
  bind_log_callback(log_msg_callback());
  bind_job_cancel(cancel_);
}

ACE_Log_Msg_Callback_var Job::log_msg_callback() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, log_callback_);
  return log_callback_;
}

std::string Job::log_file_path() const {
  const ACE_Log_Msg_Callback_var cb = log_msg_callback();
  return static_cast<const Job_Log_Callback*>(cb.get())->path();
}

std::vector<Job_Alert> Job::alerts() const {
  ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, std::vector<Job_Alert>());
  return alerts_;
}

void Job::add_alert(const Job_Alert& alert) {
  ACE_GUARD(ACE_Thread_Mutex, guard, lock_);
  alerts_.push_back(alert);
}

int Job::enable_i(const Action_Options*) {
  enabled_.store(true);
  return 0;
}

int Job::disable_i(const Action_Options*) {
  enabled_.store(false);
  return 0;
}

int Job::pause_i(const Action_Options*) {
  errno = ENOTSUP;
  return -1;
}

int Job::switch_i(const Action_Options*) {
  errno = ENOTSUP;
  return -1;
}

void Job::intrusive_add_ref(Job* job) {
  if (job != nullptr) job->refs_.fetch_add(1);
}

void Job::intrusive_remove_ref(Job* job) {
  if (job != nullptr && job->refs_.fetch_sub(1) == 1) delete job;
}
