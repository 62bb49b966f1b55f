#include "oscar/brcmd_run.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Thread.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <cerrno>
#include <functional>

#include "host/base/fs_util.h"
#include "host/base/sleep.h"
#include "host/jobs/job.h"
#include "host/jobs/job_thread_helper.h"
#include "host/services/instance_manager.h"
#include "oscar/job_alerts.h"
#include "oscar/utils.h"

namespace oscar {

const char BRCMD_FIFO_DIR[] = "/var/opt/corvane/vantrel4/$COMPONENT/oscar";
const char BRCMD_LOG_DIR[] = "/var/log/vantrel4";
const long BRCMD_WORKER_FLAGS = THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED;

namespace {
const int BRCMD_EXIT_CHECKS = 60;
// How often the start waits for the worker's answer, in microseconds.
const long START_POLL_USEC = 20000;
}  // namespace

bool load_instance(Job& job, const std::string& instance, const std::string& uid, bool alert_unregistered,
                   std::string& username, secure_string& password, std::string& oscar_home) {
  Instance_Manager* manager = Instance_Manager::instance();
  if (manager == nullptr) {
    ACE_ERROR((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, manager is NULL:\n%?\n")));
    return false;
  }
  if (manager->get_account("oscar", instance, uid, username, password, nullptr) < 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get account.\n")));
    return fail_with_alert(job, ALERT_NO_ACCOUNT);
  }
  Instance_ptr registered = manager->find("oscar", instance);
  if (!registered) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to invoke execute_i, can't find instance.\n")));
    return alert_unregistered ? fail_with_alert(job, ALERT_NO_INSTANCE) : false;
  }
  if (!get_from_instance_options(registered, "oscar_home", oscar_home)) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to get oscar home.\n")));
    return fail_with_alert(job, ALERT_NO_HOME);
  }
  return true;
}

Brcmd_Fifo::Brcmd_Fifo(std::time_t start_time) : conf_(BRCMD_FIFO_DIR, true, make_fifo_name(start_time), 0700) {}

Brcmd_Fifo::~Brcmd_Fifo() {
  if (created_) ACE_OS::unlink(path().c_str());
}

bool Brcmd_Fifo::create(Job& job) {
  // Another user who can write the directory could put their own file in
  // the fifo's place and read the backup or feed the restore.
  std::string why;
  if (check_private_dir(conf_.dir(), why) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Refused the fifo directory: %C\n"), why.c_str()));
    return fail_with_alert(job, ALERT_FIFO);
  }
  remove_stale_fifos(conf_.dir());
  if (ACE_OS::mkfifo(path().c_str(), 0640) != 0) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to create fifo %s, errno=%d, %m\n"), path().c_str(), errno));
    return fail_with_alert(job, ALERT_FIFO);
  }
  created_ = true;
  return true;
}

Brcmd_Process::Brcmd_Process(Job& job, bool logging_stdout, bool note_end)
    : job_(job), handler_(nullptr, logging_stdout), note_end_(note_end) {}

Brcmd_Process::~Brcmd_Process() {
  if (!started_) return;
  handler_.terminate(600);
  if (note_end_) ACE_DEBUG((LM_INFO, ACE_TEXT("%N:%l Process brcmd terminate.\n")));
}

bool Brcmd_Process::start(const std::string& oscar_home, const char* cmd, int pause_seconds, const char* password) {
  std::atomic<bool> ret(true);
  std::atomic<bool> done(false);
  Job_Thread_Helper worker(job_, BRCMD_WORKER_FLAGS, ACE_DEFAULT_THREAD_PRIORITY);
  const std::function<void()> run = [&]() {
    ret = spawn_brcmd(oscar_home.c_str(), cmd, password, job_.log_msg_callback(), handler_) == 0;
    done = true;
  };
  if (worker.spawn(run) == -1) {
    ret = false;
    done = true;
  }
  // The pause bounds the wait for the worker's answer; it ends as soon as the
  // worker has one, since brcmd waits on its fifo and a longer pause only
  // delays the backup (and every cancel asked meanwhile).
  const ACE_Time_Value step(0, START_POLL_USEC);
  for (long waited = 0; !done && waited < pause_seconds * 1000000L; waited += START_POLL_USEC) host_sleep(step);
  worker.join();
  started_ = ret;
  return started_;
}

Peer_Alive Brcmd_Process::alive() {
  return [this]() { return !job_.cancel_requested() && handler_.running(); };
}

int Brcmd_Process::wait_exit() { return wait_for_brcmd_exit(handler_); }

bool connect_storage(Job& job, Client_IO_Ex& io, const std::string& target_uri, const Client_IO_Base::Options& opts) {
  if (io.connect(target_uri, opts)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to connect to storage: %s.\n"), io.error()));
  return fail_with_alert(job, ALERT_STORAGE_CONNECT);
}

int wait_for_brcmd_exit(Execute_Cmd_Line_Handler& handler) {
  for (int i = 0; i < BRCMD_EXIT_CHECKS; ++i) {
    const int rc = handler.wait(ACE_Time_Value(0, 100000));
    if (rc != -1 || errno != ETIME) return rc;
    host_sleep(ACE_Time_Value(1));
  }
  return -1;
}

void log_node_not_selected(const std::string& state, const char* what) {
  if (state == "failed") {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l No node is selected to %s\n"), what));
  } else if (state == "success") {
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("%N:%l This node is not selected to %s\n"), what));
  } else {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Wrong node selection state: %s\n"), state.c_str()));
  }
}

}  // namespace oscar
