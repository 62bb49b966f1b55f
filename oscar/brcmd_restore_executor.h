#ifndef OSCAR_BRCMD_RESTORE_EXECUTOR_H
#define OSCAR_BRCMD_RESTORE_EXECUTOR_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_run_options.h"
#include "host/storage/client_io_base.h"
#include "job/job_executor_t.h"
#include "oscar/restore_job_options.h"
#include "oscar/restore_job_source.h"

namespace oscar {

class Stream_Progress;
struct Restore_Set;

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

 private:
  // Steps of execute_i, in their order; each false is a failed run (its
  // alert raised and its reason logged where the step says so).

  // The sets the catalogue names for the restore point, in feed order, and
  // their total size (ALERT_CATALOG_DATA for malformed rows,
  // ALERT_BACKUP_INFO for a total of 0; a catalogue that does not answer
  // fails without alert).
  bool load_sets(std::vector<Restore_Set>& sets, std::uint64_t& total);
  // Every set's pool (ALERT_NO_POOL), options (ALERT_STORAGE_OPTIONS) and
  // stored file (ALERT_STORAGE_OPEN; ALERT_STREAM_READ when its size or,
  // unless the options turn verifying off, its recorded digest does not
  // match), checked before the instance is stopped.
  bool check_sets(std::vector<Restore_Set>& sets, const Client_IO_Base::Options& opts);
  // Stops the instance and lets brcmd restore one set fed from `fifo`.
  bool restore_set(const Restore_Set& set, const std::string& fifo, Stream_Progress& progress);
  // Says, when the instance is not running after a failed feed, that it was
  // left stopped with partly restored data files.
  void report_left_stopped();
  // Stops the instance's server process: SIGTERM, after 10 seconds SIGKILL
  // (stop_instance_server).
  bool stop_instance();
  // Makes the newest physical backup of the resource the restore point.
  bool get_latest_info_from_catalog();

  std::string oscar_home_;
  std::string instance_;
  bool in_cluster_;
  int stall_seconds_ = DEFAULT_STALL_TIMEOUT_SECONDS;  // the run's stall limit (stall_limit_seconds)
};

}  // namespace oscar

#endif
