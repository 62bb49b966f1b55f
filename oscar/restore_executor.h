#ifndef OSCAR_RESTORE_EXECUTOR_H
#define OSCAR_RESTORE_EXECUTOR_H

#include <cstdint>
#include <string>

#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_types.h"
#include "job/job_executor_t.h"
#include "oscar/restore_job_options.h"
#include "oscar/restore_job_source.h"
#include "tollix/secure_allocator.h"

class MTF_Restore;
struct Restore_Input;

namespace oscar {

// An import restore: the export backup set named in the job source (for a
// periodic job the newest database-level set of the resource) is read back
// from storage by the host's file-set reader, whose post-action imports the
// dump file with osrimp. The user tablespaces the export recorded and the
// target instance lacks are created first. Every name that reaches a tool
// (the restore_as names, the recorded tablespaces) must pass the object
// name rule, and the dump file must lie in an export run directory strictly
// inside the dump spool, before any tool runs or anything is read; that run
// directory is removed when the run ends, on every path once the read was
// asked for. Built afresh for every operation of its job, on that
// operation's thread; not shared between threads.
class Restore_Executor : public Job_Executor_T<Restore_Job_Source, Restore_Job_Options, Job_Event_Handler> {
 public:
  explicit Restore_Executor(Job& job);
  ~Restore_Executor() override;

  // The run; true when the dump file was read back and imported.
  bool execute_i(const Action_Options* options) override;
  // True unless the resource is clustered and this node is not the one
  // chosen to run the import.
  bool is_active(const Action_Options* options) override;

 private:
  // Steps of execute_i, in their order; each false is a failed run (its
  // alert raised and its reason logged where the step says so).

  // The resource whose set the run reads: the job source's own for a
  // periodic job (its newest export), else the one the catalogue records
  // for the set named by the job source; the source's own when the
  // catalogue holds no such set (the run then fails reading its record).
  std::string set_owner();
  // The restore point (for a periodic job the newest export,
  // ALERT_NO_LATEST_BACKUP), the target names (check_target_names) and the
  // dump file's run directory strictly inside the dump spool into run_dir
  // (ALERT_EXPORT_RECORD).
  bool choose_dump_file(std::string& run_dir);
  // Whether the ids that name the set's folder in storage (the backup's
  // host and definition, from the document or the catalogue) pass the id
  // check; one line logged when not. Runs before any storage path is made.
  bool check_set_ids();
  // The target instance's account (ALERT_NO_ACCOUNT), database home
  // (ALERT_NO_HOME) and port (ALERT_NO_PORT).
  bool load_account();
  // What the import needs, from the job source and the loaded account.
  void init_input(Restore_Input& input);
  // The pool the set is read from (for a job that is not periodic the job
  // source's, checked: ALERT_NO_POOL) and the set to read.
  bool configure_reader(MTF_Restore& reader);
  // Reads the selection back, the import as the reader's post-action, and
  // fills in the activity's sizes; run_dir is removed whatever the outcome.
  bool read_back(MTF_Restore& reader, const std::string& run_dir);

  // Makes the newest database-level export of the resource the restore
  // point: its dump file of the original database (kept from the job source
  // when it lists none), pool, definition, catalogue id and sequence number
  // go into the job source and pool_uuid_. False without a row (not logged) or for
  // a malformed one (logged).
  bool get_latest_info_from_catalog();
  // Whether every restore_as name the import passes to a tool obeys the
  // name rule (ALERT_INVALID_NAME, logged, when not).
  bool check_target_names();
  // Creates the tablespaces the export recorded that the instance lacks, in
  // the recorded order (ALERT_TABLESPACES when the existing ones cannot be
  // read, ALERT_EXPORT_RECORD for a malformed record or a failed creation;
  // a catalogue without the record fails without alert).
  bool create_tablespaces();
  // Ends the run as cancelled when the job was aborted (logged), so that no
  // further tool starts.
  bool cancelled();

  Job_Definition_Subtype type_;
  bool in_cluster_;
  std::string pool_uuid_;
  std::string oscar_home_;
  std::string instance_;
  std::string username_;
  secure_string password_;
  std::uint16_t port_ = 0;
};

}  // namespace oscar

#endif
