#ifndef OSCAR_BRCMD_RESTORE_EXECUTOR_H
#define OSCAR_BRCMD_RESTORE_EXECUTOR_H

#include <atomic>
#include <string>

#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "job/job_executor_t.h"
#include "oscar/restore_job_options.h"
#include "oscar/restore_job_source.h"

class Execute_Cmd_Line_Handler;

namespace oscar {

// A physical restore: the catalogue names the backup sets that lead to the
// restore point (the full backup first); the instance is shut down and,
// set by set, brcmd restores from a fifo that the job thread feeds with the
// set's storage file. The instance is started again when every set was fed
// and every brcmd run exited 0; after a failure it stays stopped. Built
// afresh for every operation of its job, on that operation's thread.
class Oscar_Brcmd_Restore_Executor : public Job_Executor_T<Restore_Job_Source, Restore_Job_Options, Job_Event_Handler> {
 public:
  explicit Oscar_Brcmd_Restore_Executor(Job& job);
  ~Oscar_Brcmd_Restore_Executor() override;

  // The run; true when every set was restored and the instance started.
  bool execute_i(const Action_Options* options) override;
  // Takes the target instance; for a clustered resource, whether this node
  // is the one chosen to run the restore.
  bool is_active(const Action_Options* options) override;

  // Starts brcmd with cmd through cmd_handler and stores in succeeded
  // whether it started.
  bool execute_restore(const char* cmd, std::atomic<bool>& succeeded, Execute_Cmd_Line_Handler& cmd_handler);
  // Stops the instance's server process: SIGTERM, after 10 seconds SIGKILL
  // (stop_instance_server).
  bool stop_instance();
  // Makes the newest physical backup of the resource the restore point.
  bool get_latest_info_from_catalog();

 private:
  std::string _oscar_home;
  std::string _instance;
  bool _in_cluster;
};

}  // namespace oscar

#endif
