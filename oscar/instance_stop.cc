#include "oscar/instance_stop.h"

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_signal.h>
#include <ace/Time_Value.h>

#include <cerrno>

#include "host/base/sleep.h"
#include "oscar/job_alerts.h"
#include "oscar/server_process.h"
#include "oscar/utils.h"

namespace oscar {

namespace {

// Whether pid is gone, checked up to `checks` times a second apart.
bool wait_gone(int pid, int checks) {
  for (int i = 0; i < checks; ++i) {
    if (process_gone(pid)) return true;
    host_sleep(ACE_Time_Value(1));
  }
  return false;
}

}  // namespace

bool stop_instance_server(Job& job, const std::string& oscar_home, const std::string& instance,
                          const Server_Stop& how) {
  int pid = 0;
  if (!instance_running(oscar_home.c_str(), instance.c_str(), pid)) return true;
  if (!is_instance_server(pid, oscar_home, instance)) {
    ACE_DEBUG((LM_INFO,
               ACE_TEXT("%N:%l Process %d of the process-id file is not the server of instance %s; "
                        "the instance is not running\n"),
               pid, instance.c_str()));
    return true;
  }
  if (!how.ask(pid)) return false;
  if (wait_gone(pid, how.checks)) return true;
  if (!how.kill_after_checks) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Server process %d of instance %s did not end after it was asked to stop\n"),
               pid, instance.c_str()));
    return fail_with_alert(job, ALERT_INSTANCE_STOP);
  }
  if (ACE::terminate_process(pid) != 0 && errno != ESRCH) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to kill pid %d with SIGKILL, errno=%d, %m\n"), pid, errno));
    return fail_with_alert(job, ALERT_INSTANCE_STOP);
  }
  if (wait_gone(pid, how.checks)) return true;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Server process %d of instance %s did not end after SIGKILL\n"), pid,
             instance.c_str()));
  return fail_with_alert(job, ALERT_INSTANCE_STOP);
}

Server_Stop stop_by_signals(Job& job) {
  Server_Stop how;
  how.ask = [&job](int pid) {
    if (ACE_OS::kill(pid, SIGTERM) == 0 || errno == ESRCH) return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Failed to kill pid %d with SIGTERM, errno=%d, %m\n"), pid, errno));
    return fail_with_alert(job, ALERT_INSTANCE_STOP);
  };
  how.checks = 10;
  how.kill_after_checks = true;
  return how;
}

}  // namespace oscar
