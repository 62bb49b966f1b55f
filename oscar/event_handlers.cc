#include "oscar/event_handlers.h"

#include <cerrno>
#include <new>

#include "host/jobs/job_event.h"
#include "host/jobs/job_event_manager.h"
#include "oscar/arg_check.h"

namespace oscar {

namespace {

// The exchange makes the check and the update one step, so that two threads
// reporting the same new percentage post it once.
int record_progress(const Job_Definition* def, Job_Activity* act, int progress, unsigned long total,
                    unsigned long processed, unsigned long speed) {
  OSCAR_CHECK_PTR_ARG(def, -1);
  OSCAR_CHECK_PTR_ARG(act, -1);
  if (act->progress.exchange(progress) == progress) return 0;
  return put_progress_event(*def, progress, total, processed, speed);
}

}  // namespace

int put_progress_event(const Job_Definition& def, int progress, unsigned long long total, unsigned long long processed,
                       unsigned long long speed) {
  Job_Progress_Event* event = new (std::nothrow) Job_Progress_Event(def, progress, total, processed, speed, 0);
  if (event == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  return Job_Event_Manager::instance()->putq(event);
}

Backup_Event_Handler::Backup_Event_Handler(const Job_Definition* def, Job_Activity* act)
    : Event_Handler(PRM_FILE_SIZE), def_(def), act_(act) {}

int Backup_Event_Handler::handle_progress(int progress, unsigned long total, unsigned long processed,
                                          unsigned long speed) {
  return record_progress(def_, act_, progress, total, processed, speed);
}

Restore_Event_Handler::Restore_Event_Handler(const Job_Definition* def, Job_Activity* act)
    : Event_Handler(PRM_FILE_SIZE), def_(def), act_(act) {}

int Restore_Event_Handler::handle_progress(int progress, unsigned long total, unsigned long processed,
                                           unsigned long speed) {
  return record_progress(def_, act_, progress, total, processed, speed);
}

}  // namespace oscar
