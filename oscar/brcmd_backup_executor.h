#ifndef OSCAR_BRCMD_BACKUP_EXECUTOR_H
#define OSCAR_BRCMD_BACKUP_EXECUTOR_H

#include <atomic>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "host/catalog/backup_set.h"
#include "host/jobs/job.h"
#include "host/jobs/job_event_handler.h"
#include "host/jobs/job_types.h"
#include "job/job_executor_t.h"
#include "oscar/backup_job_options.h"
#include "oscar/backup_job_source.h"
#include "oscar/backup_source_collector.h"
#include "oscar/last_backup_info.h"
#include "tollix/secure_allocator.h"

class Execute_Cmd_Line_Handler;

namespace oscar {

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
  // Collects the sources; false (ALERT_NO_SOURCE) when there is none, and for a
  // clustered resource when this node is not the one chosen to run it.
  bool is_active(const Action_Options* options) override;

  // On the worker thread: starts brcmd with cmd through cmd_handler and
  // stores in succeeded whether it started.
  bool execute_backup(const char* cmd, std::atomic<bool>& succeeded, Execute_Cmd_Line_Handler& cmd_handler);
  // Shuts the instance down with isql's "shutdown immediate" (true also
  // when it was not running) and waits up to 60 seconds for its server
  // process to end; false (ALERT_INSTANCE_STOP) when it did not.
  bool stop_instance();
  // The chain state of the instance (logged on failure).
  bool get_last_backup_info(Last_Backup_Info& info);
  // Whether the chain's full backup is recorded, usable, in this job's pool.
  bool check_full_backup_set_state(const Last_Backup_Info& info);
  // The catalogue record of the run from the record map (ALERT_CATALOG_DATA when a
  // value is missing).
  bool build_oscar_brcmd_backup_set(const nlohmann::json& cat, Oscar_Brcmd_Backup_Set& bset);
  // The backup size that the info data announces.
  std::uint64_t get_backup_set_size(const char* buf, unsigned long len);

 private:
  bool run_backup(nlohmann::json& cat, const Last_Backup_Info& prior);

  std::string _oscar_home;
  std::string _instance;
  std::string _username;
  secure_string _password;
  std::uint16_t _port;
  Job_Definition_Subtype _job_type;
  bool _in_cluster;
  Backup_Source_Collector _collector;
};

}  // namespace oscar

#endif
