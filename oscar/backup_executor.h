#ifndef OSCAR_BACKUP_EXECUTOR_H
#define OSCAR_BACKUP_EXECUTOR_H

#include <string>
#include <vector>

#include "host/catalog/backup_set.h"
#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_run_options.h"
#include "host/jobs/job_types.h"
#include "host/services/http_request.h"
#include "host/services/http_session.h"
#include "job/job_executor_t.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/backup_source_collector.h"
#include "oscar/oscar_backup_restore_types.h"
#include "oscar/oscar_metadata.h"

class MTF_Backup;

namespace oscar {

// The spool under which every export run dumps its files, before the host
// root prefix; each run uses the directory named by its definition's id.
extern const char EXPORT_SPOOL_DIR[];

// A logical backup (subtype EXPORT): osrexp dumps the selected databases,
// schemas or tables of one instance into the run directory, the file-set
// writer stores that directory as one backup set (the export runs as the
// writer's pre-action), and an "oscar_backup_set" record is committed to
// the catalogue. The run directory is emptied before the run and removed
// after it, whatever its outcome; a failed or aborted run records nothing
// and leaves no stored set. Built afresh for every operation of its job, on
// that operation's thread.
class Backup_Executor : public Job_Executor_T<Backup_Job_Source, Backup_Job_Options, Job_Event_Handler> {
 public:
  explicit Backup_Executor(Job& job);
  ~Backup_Executor() override;

  // The run; true when the set was stored and recorded. Failures raise the
  // job alert of their step and are logged once. The run options are not
  // read.
  bool execute_i(const Action_Options* options) override;
  // Collects the sources; false (ALERT_NO_SOURCE) when there is none, and
  // for a clustered resource when this node is not the one chosen to run it.
  bool is_active(const Action_Options* options) override;

 private:
  // Steps of execute_i, in their order; each false is a failed run (its
  // alert raised and its reason logged where the step says so).

  // Before anything is made: the catalogue can take the record
  // (ALERT_CATALOG_COMMIT, logged by the check), there is a source
  // (ALERT_NO_SOURCE) and every source's names obey the name rule.
  bool check_run_start();
  // The instance's account (ALERT_NO_ACCOUNT; ALERT_EMPTY_ACCOUNT when the
  // user or password is empty) and database home (ALERT_NO_HOME) into
  // `input`, whose instance is set.
  bool load_account(Backup_Input& input);
  // The job's pool (ALERT_NO_POOL), then the writer set up to store
  // dump_dir as set `seq` of this definition, the export as its pre-action.
  bool configure_writer(const Backup_Input& input, const std::string& dump_dir, unsigned int seq, MTF_Backup& writer);
  // After the writer stored the set: the activity's sizes, the instance's
  // tablespaces and the record committed (ALERT_CATALOG_COMMIT); an
  // aborted job records nothing. The stored set is removed unless recorded.
  bool record_set(const Backup_Input& input, const MTF_Backup& writer, Oscar_Metadata& metadata);
  // The instance's port (ALERT_NO_PORT) and its user tablespaces
  // (ALERT_TABLESPACES) into the metadata.
  bool read_tablespaces(const Backup_Input& input, Oscar_Metadata& metadata);

  // A session to the backup server named by WebSocket_Options, whose
  // cookie goes into request_; false (ALERT_NO_SESSION) when none can be
  // made. Contacts nothing.
  bool init_session();
  // The highest sequence number catalogued for this definition; 0 when
  // there is none or the catalogue cannot answer.
  unsigned int last_seq();
  // One dump file per source, in the sources' order, each in a
  // subdirectory INSTANCE_DATABASE (blanks, ":", "/" and "\" made "_") of
  // dump_dir, named by level, subtype, start time and seq. A subdirectory
  // that cannot be made is logged; its export then fails.
  void init_destination_files(const std::string& instance, unsigned int seq, const std::string& dump_dir,
                              const std::vector<Backup_Source_Collector::Source>& sources,
                              std::vector<Backup_File>& files);
  // The set's metadata: ids, names, type, start time and "dbinstance".
  bool init_metadata(const std::string& instance, Oscar_Metadata& metadata);
  // The catalogue record from the metadata (after the writer filled in its
  // seq and sizes) and the dump files.
  void build_oscar_backup_set(const Oscar_Metadata& metadata, const std::vector<Backup_File>& files,
                              Oscar_Backup_Set& bset);
  // Every name a source hands to the tools and to paths (instance,
  // database, schema, table by level) obeys the object name rule; the first
  // that does not is logged naming its kind and fails (ALERT_NO_SOURCE).
  bool check_source_names();

  Job_Definition_Subtype type_;
  bool in_cluster_;
  std::string uuid_;  // the set's uuid: 32 lower-case hex digits, new for every run
  JSON_HTTP_Session session_;
  HTTP_Request request_;
  Backup_Source_Collector collector_;
};

}  // namespace oscar

#endif
