#ifndef OSCAR_BRCMD_BACKUP_EXECUTOR_H
#define OSCAR_BRCMD_BACKUP_EXECUTOR_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "host/catalog/backup_set.h"
#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_run_options.h"
#include "host/jobs/job_types.h"
#include "job/job_executor_t.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/backup_source_collector.h"
#include "oscar/last_backup_info.h"
#include "tollix/secure_allocator.h"

class Client_IO_Ex;
struct Pool_Info;

namespace oscar {

class Brcmd_Process;
struct Backup_Run_Names;

// brcmd's name of a backup subtype: "full", "incr" or "diff"; null for any
// other subtype.
const char* type_to_cmd_name(Job_Definition_Subtype subtype);

// A physical backup of one database instance: brcmd writes the backup
// stream into a fifo, the job thread copies it unchanged into one storage
// file and, when brcmd has exited 0 and recorded a new backup in the chain
// state file, commits the catalogue record. An incremental or differential
// run whose chain is not usable runs as full. An instance that does not
// archive its logs is shut down for the backup and started again after it.
// Built afresh for every operation of its job, on that operation's thread.
class Oscar_Brcmd_Backup_Executor : public Job_Executor_T<Backup_Job_Source, Backup_Job_Options, Job_Event_Handler> {
 public:
  explicit Oscar_Brcmd_Backup_Executor(Job& job);
  ~Oscar_Brcmd_Backup_Executor() override;

  // The run; true when the backup was taken and recorded. Failures raise
  // the job alert of their step and are logged once.
  bool execute_i(const Action_Options* options) override;
  // Collects the sources; false (ALERT_NO_SOURCE) when there is none, and
  // for a clustered resource when this node is not the one chosen to run it.
  bool is_active(const Action_Options* options) override;

 private:
  // Steps of execute_i, in their order; each false is a failed run (its
  // alert raised and its reason logged where the step says so).

  // An incremental or differential run keeps its type when the chain is
  // usable (its values go into `cat`); otherwise it runs as full.
  void choose_backup_type(nlohmann::json& cat);
  // The backup name, storage file name, brcmd log and command line.
  void make_run_names(const std::string& fifo, Backup_Run_Names& names);
  // The instance's log archive mode, tried 5 times (ALERT_LOG_MODE).
  bool read_log_mode(bool& archivelog);
  // Shuts the instance down with isql's "shutdown immediate" (true also
  // when it was not running) and waits up to 60 seconds for its server
  // process to end; false (ALERT_INSTANCE_STOP) when it did not.
  bool stop_instance();
  // Storage options (ALERT_STORAGE_OPTIONS), connection and a new storage
  // file open for writing (ALERT_STORAGE_OPEN).
  bool open_storage_file(const Pool_Info& info, Backup_Run_Names& names, Client_IO_Ex& io);
  // Copies brcmd's stream from the fifo into io (ALERT_FIFO when the fifo
  // does not open), then waits for brcmd to exit 0.
  bool stream_to_storage(Brcmd_Process& brcmd, const std::string& fifo, Client_IO_Ex& io);
  // After the stream: the new chain state (ALERT_BACKUP_INFO), the storage
  // file closed (ALERT_WRITE), the activity's sizes and the record committed.
  bool commit_backup(nlohmann::json& cat, const Last_Backup_Info& prior, Client_IO_Ex& io,
                     const std::string& backup_file);

  // The chain state of the instance (logged on failure).
  bool get_last_backup_info(Last_Backup_Info& info);
  // Whether this run's type may extend the chain: the backups it rests on
  // are recorded, usable, in this job's pool (oscar::chain_usable).
  bool chain_usable(const Last_Backup_Info& info);
  // The catalogue record of the run from the record map (ALERT_CATALOG_DATA
  // when a value is missing).
  bool build_oscar_brcmd_backup_set(const nlohmann::json& cat, Oscar_Brcmd_Backup_Set& bset);

  std::string oscar_home_;
  std::string instance_;
  std::string username_;
  secure_string password_;
  std::uint16_t port_;
  Job_Definition_Subtype job_type_;
  bool in_cluster_;
  Backup_Source_Collector collector_;
  int stall_seconds_ = DEFAULT_STALL_TIMEOUT_SECONDS;  // the run's stall limit (stall_limit_seconds)
};

}  // namespace oscar

#endif
