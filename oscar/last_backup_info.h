#ifndef OSCAR_LAST_BACKUP_INFO_H
#define OSCAR_LAST_BACKUP_INFO_H

#include <cstdint>
#include <string>

#include "host/jobs/job_types.h"

namespace oscar {

// The backup chain of one instance as the database's chain state file
// (HOME/agent/lastlsn.dat) describes it: the last full backup and the last
// backup of any type. A fresh record has empty texts and zero numbers.
struct Last_Backup_Info {
  std::string last_full_backup_id;
  std::uint64_t last_full_backup_lsn = 0;
  std::uint64_t last_full_backup_scn = 0;
  std::string last_backup_id;
  std::uint64_t last_backup_lsn = 0;
  std::uint64_t last_backup_scn = 0;
};

// HOME/agent/lastlsn.dat.
std::string chain_state_path(const std::string& oscar_home);

// Reads the chain state of `instance` from the chain state file of
// `oscar_home` into info (filled in place). Lines are
// INSTANCE_lastfullbackupid=..., INSTANCE_lastfullbackuplsn=... and so on
// for the six keys; other lines are ignored and a later line for a key
// wins. True only when both ids are set and none of the four numbers is 0.
// With log, a file that cannot be opened or holds no complete chain is
// logged at LM_ERROR; without it nothing is logged. Thread-safe.
bool read_last_backup_info(const std::string& oscar_home, const std::string& instance, Last_Backup_Info& info,
                           bool log);

// Whether the catalogue holds the backup `backup_id` with that LSN and SCN,
// for the resource `resource_id`, in a usable state (a non-empty "state"
// array) in the pool `pool_id`; only the newest matching record counts.
// False, not logged, when the catalogue does not answer or its rows are not
// of the expected shape. Thread-safe.
bool backup_set_catalogued(const std::string& backup_id, std::uint64_t lsn, std::uint64_t scn,
                           const std::string& resource_id, const std::string& pool_id, int max_seconds_retry);

// backup_set_catalogued for the last full backup of info.
bool check_full_backup_set_state(const Last_Backup_Info& info, const std::string& resource_id,
                                 const std::string& pool_id, int max_seconds_retry);

// Whether a run of `subtype` may extend the chain of info in the pool: a
// differential rests on the last full backup only, so that one must be
// catalogued; an incremental rests on the last backup of any type, so that
// one must be catalogued too. When a backup ran but was never recorded (its
// commit failed after the tool moved the chain state), the chain names it
// as the last one, and an incremental on top of it could not be restored:
// this answers false and the run becomes a full one. False for any other
// subtype. Thread-safe.
bool chain_usable(Job_Definition_Subtype subtype, const Last_Backup_Info& info, const std::string& resource_id,
                  const std::string& pool_id, int max_seconds_retry);

}  // namespace oscar

#endif
