#ifndef OSCAR_EVENT_HANDLERS_H
#define OSCAR_EVENT_HANDLERS_H

#include "host/fileset/mtf.h"
#include "host/jobs/job_activity.h"
#include "host/jobs/job_definition.h"

namespace oscar {

// Queues a progress event of `progress` percent for the job of `def` on the
// host's Job_Event_Manager, with the bytes of the work in all, those done and
// the bytes per second (0 when not known). Answers the queue's result, or -1
// with errno ENOMEM when the event cannot be allocated. Thread-safe.
int put_progress_event(const Job_Definition& def, int progress, unsigned long long total = 0,
                       unsigned long long processed = 0, unsigned long long speed = 0);

// The file-set writer's progress sink of an export backup: each new
// percentage goes into the job's activity record and onto the host's event
// queue. Neither pointer is owned; both must outlive the handler. The
// writer may call it from its own thread; two calls with the same
// percentage post one event.
class Backup_Event_Handler : public MTF::Event_Handler {
 public:
  Backup_Event_Handler(const Job_Definition* def, Job_Activity* act);

  // Answers 0 when progress is the recorded one, else put_progress_event's
  // answer (the sizes and speed go into the event); -1 (logged) when built on
  // a null pointer.
  int handle_progress(int progress, unsigned long total, unsigned long processed, unsigned long speed) override;

 private:
  const Job_Definition* def_;
  Job_Activity* act_;
};

// The file-set reader's progress sink of an import restore; behaves as
// Backup_Event_Handler.
class Restore_Event_Handler : public MTF::Event_Handler {
 public:
  Restore_Event_Handler(const Job_Definition* def, Job_Activity* act);

  int handle_progress(int progress, unsigned long total, unsigned long processed, unsigned long speed) override;

 private:
  const Job_Definition* def_;
  Job_Activity* act_;
};

}  // namespace oscar

#endif
