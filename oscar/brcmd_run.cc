#include "oscar/brcmd_run.h"

#include <ace/Log_Msg.h>
#include <ace/Thread.h>
#include <ace/Time_Value.h>

#include <cerrno>

#include "host/base/sleep.h"
#include "oscar/oscar_cmd_handler.h"

namespace oscar {

const char BRCMD_FIFO_DIR[] = "/var/opt/corvane/vantrel4/$COMPONENT/oscar";
const char BRCMD_LOG_DIR[] = "/var/log/vantrel4";
const long BRCMD_WORKER_FLAGS = THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED;

namespace {
const int BRCMD_EXIT_CHECKS = 60;
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
