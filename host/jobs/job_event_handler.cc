#include "host/jobs/job_event_handler.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <vector>

#include "host/jobs/job.h"
#include "host/jobs/job_event_manager.h"

Job_Event_Handler::Job_Event_Handler(Job& job) : job_(job) {}

void Job_Event_Handler::handle_start_job() {
  Job_Activity& act = job_.activity();
  Job_State current = act.state.load();
  while (current != JOB_STATE_CANCELING) {
    if (act.state.compare_exchange_weak(current, JOB_STATE_RUNNING)) {
      Job_Event_Manager::instance()->putq(new (std::nothrow) Job_State_Event(job_.definition(), JOB_STATE_RUNNING));
      return;
    }
  }
}

void Job_Event_Handler::handle_success() { job_.state(JOB_STATE_COMPLETED); }

void Job_Event_Handler::handle_failure(int code, const char* fmt, ...) {
  std::string message;
  if (fmt != nullptr) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    if (n > 0) {
      std::vector<char> buf(static_cast<std::size_t>(n) + 1);
      std::vsnprintf(buf.data(), buf.size(), fmt, again);
      message.assign(buf.data(), static_cast<std::size_t>(n));
    }
    va_end(again);
    va_end(args);
  }
  Job_Activity& act = job_.activity();
  act.code = code;
  act.message = message;
  ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l Job %C failed, code=%d%C%C\n"), act.id.c_str(), code,
             message.empty() ? "" : ": ", message.c_str()));
  job_.state(JOB_STATE_ERROR);
}

void Job_Event_Handler::handle_canceled() { job_.state(JOB_STATE_CANCELED); }

int Job_Event_Handler::handle_progress(int percent, unsigned long long total, unsigned long long processed,
                                       unsigned long long speed) {
  job_.activity().progress = percent;
  Job_Progress_Event* event =
      new (std::nothrow) Job_Progress_Event(job_.definition(), percent, total, processed, speed, 0);
  if (event == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  return Job_Event_Manager::instance()->putq(event);
}
